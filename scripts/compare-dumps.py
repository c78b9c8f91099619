#!/usr/bin/env python3
"""Compares the variable table of varnock-walk.exe (the Windows build, under
Wine) with two tables of `varnockd --dump` for the same Apache server, one
taken before and one after it.

    compare-dumps.py BEFORE WINDOWS AFTER PORT

Both programs print NAME INSTANCE TYPE VALUE rows. The Windows table must
hold the same rows in the same order with the same types, every group of the
module (scalars, configuration, footprint, performance) for the server on
PORT with its PID, log and document-root sizes and its counters read, and
the same values, except:
  * the footprint's process columns, which come from each agent's own
    process list (Wine's shows no Linux process), are left aside;
  * totals that only grow while the server runs (uptime, accesses, traffic,
    durations, log and disk sizes) must lie between the two Linux tables;
  * the worker, slot and connection counts of the performance tables may
    move by one around the two Linux tables, as Apache starts or stops a
    child;
  * the ages of the last page reads may be a few seconds (up to 5) more
    than in the Linux tables: the walk under Wine takes its time;
  * the machine's momentary loads (Apache's CPU load and load averages) are
    left aside, and so is when each agent began counting the access logs
    (each run counts from its own start), and so is a row of the extended performance table that
    only one Linux table has: Apache shows such a field only at times (its
    CPU load once it has used some).
Prints every difference; exits 1 when there is one.
"""
import re
import sys

PROCESS_COLUMNS = {
    "apacheFootprintCPUTime", "apacheFootprintPercentCPU", "apacheFootprintTotalMEMSize",
    "apacheFootprintTotalRSS", "apacheFootprintPercentMEM", "apacheFootprintNumThreads",
    "apacheFootprintMajorPgFlts",
}
MOMENTARY = {
    "apacheServerPerfExtCPULoad", "apacheServerPerfExtLoad1", "apacheServerPerfExtLoad5",
    "apacheServerPerfExtLoad15", "apacheLogCountersSince", "apacheVhostLogCountersSince",
}
GROWING = {
    "apacheServerPerfUptime", "apacheServerPerfTotalAccesses", "apacheServerPerfTotalTraffic",
    "apacheServerPerfExtTotalAccesses", "apacheServerPerfExtTotalTraffic",
    "apacheServerPerfExtTotalDuration", "apacheFootprintTotalLogSize",
    "apacheFootprintTotalDiskSize",
}
AGES = {"apacheServerHealthStatusAge", "apacheServerHealthInfoAge"}
WORKERS = re.compile(r"^apacheServerPerf(Current|Ext(Processes|StoppingProcs|GracefulWorkers|"
                     r"Conns|IdleCleanupSlots|ClosingSlots|OpenSlots))")
GROUPS = ("ostrik", "apacheConfig", "apacheFootprint", "apacheServerPerf")
ROW = re.compile(r"^(\S+)\s+(\S+)\s+(\S+)\s+(.*?)\s*$")


def read_table(path):
    rows = []
    with open(path, encoding="latin-1") as f:
        lines = [line.rstrip("\r\n") for line in f if line.strip()]
    if not lines or not lines[0].startswith("NAME"):
        sys.exit(f"{path}: not a variable table")
    for line in lines[1:]:
        m = ROW.match(line)
        if not m:
            sys.exit(f"{path}: unreadable row: {line!r}")
        rows.append(m.groups())
    return rows


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    before, windows, after = (read_table(p) for p in sys.argv[1:4])
    port = sys.argv[4]
    problems = []

    def key(row):
        return row[0], row[1], row[2]

    def optional(k):
        return k[0].startswith("apacheServerPerfExt")

    keys = [key(r) for r in windows]
    linux = [key(r) for r in before], [key(r) for r in after]
    both = set(linux[0]) & set(linux[1])
    if any(k not in both and k not in linux[0] + linux[1] for k in keys):
        problems.append("rows that neither Linux table has: "
                        f"{[k for k in keys if k not in linux[0] + linux[1]][:5]}")
    for label, other in zip(("before", "after"), linux):
        # Rows of both Linux tables, in their order; a row of one alone may
        # be there or not.
        if [k for k in keys if k in both] != [k for k in other if k in both] or any(
                k not in both and not optional(k) for k in set(keys) ^ set(other)):
            missing = sorted(set(other) - set(keys))
            extra = sorted(set(keys) - set(other))
            problems.append(f"rows differ from the Linux table {label}: "
                            f"missing {missing[:5]}, extra {extra[:5]}")
    for group in GROUPS:
        if not any(r[0].startswith(group) and (group == "ostrik" or r[1] == port)
                   for r in windows):
            problems.append(f"no {group}* rows for port {port}")
    values = {r[0]: r[3] for r in windows if r[1] == port}
    if not values.get("apacheConfigVersion", "").startswith('"Apache/2.4'):
        problems.append(f"apacheConfigVersion of port {port} is "
                        f"{values.get('apacheConfigVersion')}: the info page was not read")
    # The test's server has a PID file, logs and a document root of some KB.
    for name in ("apacheConfigPID", "apacheFootprintTotalLogSize", "apacheFootprintDocSize",
                 "apacheServerPerfTotalAccesses"):
        if values.get(name, "0") == "0":
            problems.append(f"{name} of port {port} is {values.get(name)}: nothing was read")

    if not problems:
        linux_values = [{key(r): r[3] for r in table} for table in (before, after)]
        for w in windows:
            name, instance, _, value = w
            where = f"{name}.{instance}"
            if name in PROCESS_COLUMNS or name in MOMENTARY or key(w) not in both:
                continue
            b, a = ((None, None, None, t[key(w)]) for t in linux_values)
            if name in GROWING or name in AGES or WORKERS.match(name):
                low, high = sorted((int(b[3]), int(a[3])))
                if WORKERS.match(name):
                    low, high = low - 1, high + 1
                elif name in AGES:
                    high += 5
                if not low <= int(value) <= high:
                    problems.append(f"{where}: Windows {value}, Linux {b[3]} before, {a[3]} after")
            elif not (value == b[3] == a[3]):
                problems.append(f"{where}: Windows {value}, Linux {b[3]} before, {a[3]} after")

    compared = sum(1 for r in windows if r[0] not in PROCESS_COLUMNS | MOMENTARY)
    for p in problems:
        print("compare-dumps:", p)
    if problems:
        print(f"compare-dumps: {len(problems)} differences")
        return 1
    print(f"compare-dumps: {compared} of {len(windows)} rows agree with varnockd --dump "
          f"({len(windows) - compared} process columns and momentary loads left aside)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
