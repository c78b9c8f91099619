#!/usr/bin/env python3
"""Writes ostrik_template.yaml, the Zabbix 6.0 template "Apache by ostrik SNMP".

The OIDs and SNMP types come from mib/OSTRIK-MIB.txt; this file says how each
column is presented (name, units, preprocessing) and adds the triggers,
graphs and dashboard. Identifiers (UUIDs) are derived from the item keys and
names, so the output is the same on every run.

  generate.py           rewrites ostrik_template.yaml
  generate.py --check   fails when the committed file differs
"""
import hashlib
import os
import re
import sys

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = os.path.join(HERE, "..", "..", "mib", "OSTRIK-MIB.txt")
OUT = os.path.join(HERE, "ostrik_template.yaml")
TEMPLATE = "Apache by ostrik SNMP"
T = "/" + TEMPLATE + "/"

MACROS = [
    ("{$OSTRIK.INTERVAL}", "1m", "How often the status, footprint and health columns are polled."),
    ("{$OSTRIK.CONFIG.INTERVAL}", "5m", "How often the configuration columns are polled (the agent reads "
     "/server-info every 300 s)."),
    ("{$OSTRIK.LLD.INTERVAL}", "1h", "How often the servers are discovered."),
    ("{$OSTRIK.STATUS.FAILURES.MAX}", "3", "Failed fetches of a server's status page in a row that make it "
     "'not answering'."),
    ("{$OSTRIK.RESTART.WINDOW}", "15m", "How long a restart stays reported."),
    ("{$OSTRIK.WORKERS.MAX.WARN}", "90", "Busy workers, in percent of the most the server may run, that "
     "count as near the limit."),
    ("{$OSTRIK.WORKERS.MAX.TIME}", "5m", "How long the workers must stay near the limit."),
    ("{$OSTRIK.CPU.HIGH.WARN}", "80", "CPU share of the machine, in percent, that counts as high."),
    ("{$OSTRIK.CPU.HIGH.TIME}", "10m", "How long the CPU share must stay high."),
    ("{$OSTRIK.MEMORY.HIGH.WARN}", "50", "Share of physical memory, in percent, that counts as high."),
    ("{$OSTRIK.MEMORY.HIGH.TIME}", "10m", "How long the memory share must stay high."),
    ("{$OSTRIK.LOGS.GROWTH.WARN}", "1G", "Growth of the log files, in bytes per hour, that counts as fast."),
    ("{$OSTRIK.LOGS.GROWTH.TIME}", "30m", "The period over which the log growth is averaged."),
    ("{$OSTRIK.AGENT.UNREACHABLE.TIME}", "5m", "How long the agent must fail to answer before it is "
     "reported unreachable."),
    ("{$OSTRIK.VHOST.LLD.INTERVAL}", "10m", "How often the virtual hosts of the access logs are discovered."),
    ("{$OSTRIK.ERRORS.WARN}", "5", "Share of the requests in the access logs, in percent, answered with a 5xx "
     "status code that counts as high."),
    ("{$OSTRIK.ERRORS.TIME}", "5m", "The period over which the share of 5xx answers is averaged."),
    ("{$OSTRIK.ERRORS.MIN.RATE}", "0.1", "Requests per second below which the share of 5xx answers is not "
     "judged (a few errors of an idle server)."),
    ("{$OSTRIK.LOG.UNREAD.TIME}", "15m", "How long an access log must stay unread before it is reported."),
    ("{$OSTRIK.MEMBER.DOWN.TIME}", "5m", "How long a balancer member must stay in error or disabled before "
     "it is reported."),
    ("{$OSTRIK.CERT.LLD.INTERVAL}", "1h", "How often the HTTPS sites and their names are discovered."),
    ("{$OSTRIK.CERT.EXPIRY.WARN}", "1209600", "Seconds before a certificate expires (14 days) from which it "
     "is reported."),
    ("{$OSTRIK.CERT.EXPIRY.CRIT}", "259200", "Seconds before a certificate expires (3 days) from which it is "
     "reported as high."),
    ("{$OSTRIK.LOG.BACKLOG.TIME}", "15m", "How long the agent must stay behind the access logs before it is "
     "reported."),
]

# Column presentation: MIB object -> (key, name, kind, units, extra).
# kind: text     a string, stored as it changes (inventory-like)
#       value    a number as the agent answers it
#       rate     a counter, stored as change per second
# extra: mult (multiplier applied first), map (value map), optional (the
# agent may answer noSuchInstance for it: such polls are discarded), fast
# (polled at {$OSTRIK.INTERVAL} although in the configuration table or text).
COLUMNS = [
    ("apacheConfigVersion", "config.version", "Version", "text", "", {}),
    ("apacheConfigPID", "config.pid", "Main process ID", "value", "", {}),
    ("apacheConfigRunMode", "config.runmode", "Run mode", "text", "", {}),
    ("apacheConfigUser", "config.user", "User", "text", "", {}),
    ("apacheConfigGroup", "config.group", "Group", "text", "", {}),
    ("apacheConfigHostname", "config.hostname", "Host name", "text", "", {}),
    ("apacheConfigStartProcs", "config.startprocs", "Processes at start", "value", "", {}),
    ("apacheConfigMinIdleProcs", "config.minidleprocs", "Idle processes, minimum", "value", "", {}),
    ("apacheConfigMaxIdleProcs", "config.maxidleprocs", "Idle processes, maximum", "value", "", {}),
    ("apacheConfigMaxProcs", "config.maxprocs", "Processes, maximum", "value", "", {}),
    ("apacheConfigRequestsMaxPerChild", "config.requestsperchild", "Requests per child process", "value", "", {}),
    ("apacheConfigRequestsKeepAlive", "config.keepalive", "Keep-alive", "value", "", {"map": "keepalive"}),
    ("apacheConfigRequestsMaxPerConn", "config.requestsperconn", "Requests per connection", "value", "", {}),
    ("apacheConfigThreadsPerChild", "config.threadsperchild", "Threads per child process", "value", "", {}),
    ("apacheConfigConnectionTimeout", "config.timeout", "Time-out", "value", "s", {}),
    ("apacheConfigKeepAliveTimeout", "config.keepalivetimeout", "Keep-alive time-out", "value", "s", {}),
    ("apacheConfigServerRoot", "config.serverroot", "Server root", "text", "", {}),
    ("apacheConfigConfigFile", "config.configfile", "Configuration file", "text", "", {}),
    ("apacheConfigPIDFile", "config.pidfile", "PID file", "text", "", {}),
    ("apacheConfigScoreboardFile", "config.scoreboardfile", "Scoreboard file", "text", "", {}),
    ("apacheConfigDocumentRoot", "config.documentroot", "Document root", "text", "", {}),
    ("apacheConfigAccessLog", "config.accesslog", "Access log", "text", "", {}),
    ("apacheConfigErrorLog", "config.errorlog", "Error log", "text", "", {}),
    ("apacheConfigScriptLog", "config.scriptlog", "Script log", "text", "", {}),
    # Every footprint column is a Counter32 in the MIB; only the CPU time
    # and the page faults really count up. CPU centiseconds per second are
    # percent of one CPU.
    ("apacheFootprintCPUTime", "footprint.cputime", "CPU time, share of one CPU", "rate", "%", {}),
    ("apacheFootprintPercentCPU", "footprint.cpushare", "CPU share of the machine", "value", "%", {"mult": "0.01"}),
    ("apacheFootprintTotalMEMSize", "footprint.vsz", "Virtual memory", "value", "B", {"mult": "1024"}),
    ("apacheFootprintTotalRSS", "footprint.rss", "Resident memory", "value", "B", {"mult": "1024"}),
    ("apacheFootprintPercentMEM", "footprint.memshare", "Memory share", "value", "%", {}),
    ("apacheFootprintNumThreads", "footprint.threads", "Threads", "value", "", {}),
    ("apacheFootprintMajorPgFlts", "footprint.pagefaults", "Page faults per second", "rate", "", {}),
    ("apacheFootprintTotalLogSize", "footprint.logsize", "Log files size", "value", "B", {"mult": "1024"}),
    ("apacheFootprintDocSize", "footprint.docsize", "Document root size", "value", "B", {"mult": "1024"}),
    ("apacheFootprintTotalDiskSize", "footprint.disksize", "Disk space", "value", "B", {"mult": "1024"}),
    ("apacheServerPerfUptime", "perf.uptime", "Uptime", "value", "uptime", {}),
    ("apacheServerPerfTotalAccesses", "perf.requests", "Requests per second", "rate", "rps", {}),
    ("apacheServerPerfTotalTraffic", "perf.traffic", "Traffic", "rate", "Bps", {"mult": "1024"}),
    ("apacheServerPerfCurrentUsers", "perf.users", "Workers serving requests", "value", "", {}),
    ("apacheServerPerfCurrentIdleProcs", "perf.idle", "Workers idle", "value", "", {}),
    ("apacheServerPerfCurrentStartupProcs", "perf.starting", "Workers starting up", "value", "", {}),
    ("apacheServerPerfCurrentReadProcs", "perf.reading", "Workers reading a request", "value", "", {}),
    ("apacheServerPerfCurrentReplyProcs", "perf.replying", "Workers sending a reply", "value", "", {}),
    ("apacheServerPerfCurrentKeepAliveProcs", "perf.keepalive", "Workers in keep-alive", "value", "", {}),
    ("apacheServerPerfCurrentDNSProcs", "perf.dns", "Workers looking up DNS", "value", "", {}),
    ("apacheServerPerfCurrentLoggingProcs", "perf.logging", "Workers logging", "value", "", {}),
    ("apacheServerPerfCurrentFinishingProcs", "perf.finishing", "Workers finishing", "value", "", {}),
    ("apacheServerPerfCurrentTotalProcs", "perf.total", "Workers, total", "value", "", {}),
    ("apacheServerPerfCurrentBusyProcs", "perf.busy", "Workers busy", "value", "", {}),
    # Lines of Apache 2.4's status page; a line the server does not show has
    # no instance (prefork shows no connection counts).
    ("apacheServerPerfExtMPM", "ext.mpm", "MPM", "text", "", {"optional": 1, "fast": 1}),
    ("apacheServerPerfExtTotalAccesses", "ext.requests", "Requests per second (64-bit count)", "rate", "rps",
     {"optional": 1}),
    ("apacheServerPerfExtTotalTraffic", "ext.traffic", "Traffic (64-bit count)", "rate", "Bps",
     {"optional": 1, "mult": "1024"}),
    ("apacheServerPerfExtTotalDuration", "ext.duration", "Time spent serving, per second", "rate", "s",
     {"optional": 1, "mult": "0.001"}),
    ("apacheServerPerfExtCPULoad", "ext.cpuload", "CPU load since start", "value", "%",
     {"optional": 1, "mult": "0.01"}),
    ("apacheServerPerfExtLoad1", "ext.load1", "Load average, 1 minute", "value", "", {"optional": 1, "mult": "0.01"}),
    ("apacheServerPerfExtLoad5", "ext.load5", "Load average, 5 minutes", "value", "", {"optional": 1, "mult": "0.01"}),
    ("apacheServerPerfExtLoad15", "ext.load15", "Load average, 15 minutes", "value", "",
     {"optional": 1, "mult": "0.01"}),
    ("apacheServerPerfExtProcesses", "ext.processes", "Child processes", "value", "", {"optional": 1}),
    ("apacheServerPerfExtStoppingProcs", "ext.stopping", "Child processes stopping", "value", "", {"optional": 1}),
    ("apacheServerPerfExtGracefulWorkers", "ext.graceful", "Workers finishing gracefully", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtConnsTotal", "ext.conns", "Connections", "value", "", {"optional": 1}),
    ("apacheServerPerfExtConnsAsyncWriting", "ext.conns.writing", "Connections writing", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtConnsAsyncKeepAlive", "ext.conns.keepalive", "Connections kept alive", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtConnsAsyncClosing", "ext.conns.closing", "Connections closing", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtConnsAsyncWaitIO", "ext.conns.waitio", "Connections waiting for I/O", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtIdleCleanupSlots", "ext.idlecleanup", "Workers in idle clean-up", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtClosingSlots", "ext.closing", "Workers closing a connection", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtOpenSlots", "ext.open", "Scoreboard slots open", "value", "", {"optional": 1}),
    ("apacheServerPerfExtScoreboardSize", "ext.scoreboard", "Scoreboard size", "value", "", {"optional": 1}),
    ("apacheServerPerfExtConfigGeneration", "ext.configgen", "Configuration generation", "value", "",
     {"optional": 1}),
    ("apacheServerPerfExtMPMGeneration", "ext.mpmgen", "MPM generation", "value", "", {"optional": 1}),
    ("apacheServerHealthStatusAge", "health.status.age", "Status page, age of last read", "value", "s",
     {"optional": 1}),
    ("apacheServerHealthStatusOutcome", "health.status.outcome", "Status page, last fetch", "value", "",
     {"map": "outcome"}),
    ("apacheServerHealthStatusHttpCode", "health.status.httpcode", "Status page, HTTP code", "value", "", {}),
    ("apacheServerHealthStatusFailures", "health.status.failures", "Status page, failed fetches in a row", "value",
     "", {}),
    ("apacheServerHealthInfoAge", "health.info.age", "Info page, age of last read", "value", "s", {"optional": 1}),
    ("apacheServerHealthInfoOutcome", "health.info.outcome", "Info page, last fetch", "value", "",
     {"map": "outcome"}),
    ("apacheServerHealthInfoHttpCode", "health.info.httpcode", "Info page, HTTP code", "value", "", {}),
    ("apacheServerHealthInfoFailures", "health.info.failures", "Info page, failed fetches in a row", "value", "",
     {}),
    ("apacheLogFiles", "log.files", "Access logs", "value", "", {}),
    ("apacheLogFilesUnreadable", "log.unreadable", "Access logs not read", "value", "", {}),
    ("apacheLogState", "log.state", "Access log state", "text", "", {"fast": 1}),
    ("apacheLogBacklog", "log.backlog", "Access log backlog", "value", "B", {"mult": "1024"}),
]


def log_columns(table, prefix, buckets):
    """The counters that both access log tables have, from the MIB object
    prefix: every one a rate, and absent until a log is known (the bytes and
    times also when the log format gives none)."""
    opt = {"optional": 1}
    cols = [
        (table + "Lines", prefix + "lines", "Log lines per second", "rate", "", opt),
        (table + "LinesUnparsed", prefix + "unparsed", "Log lines not understood per second", "rate", "", opt),
    ]
    cols += [(table + "Requests%dxx" % c, prefix + "requests.%dxx" % c, "Requests %dxx per second" % c, "rate",
              "rps", opt) for c in range(1, 6)]
    cols += [
        (table + "BytesSent", prefix + "bytes", "Bytes sent", "rate", "Bps", opt),
        (table + "TimedRequests", prefix + "timed", "Timed requests per second", "rate", "rps", opt),
        (table + "TimeSum", prefix + "time", "Time spent serving, per second", "rate", "s",
         dict(opt, mult="0.000001")),
    ]
    if buckets:
        cols += [(table + "TimeLe" + b, prefix + "time.le" + b, "Requests served within %s per second" % words,
                  "rate", "rps", opt) for b, words in TIME_BUCKETS]
    return cols


# The response time buckets: Zabbix keeps each as a rate of its own.
TIME_BUCKETS = [("5ms", "5 ms"), ("10ms", "10 ms"), ("25ms", "25 ms"), ("50ms", "50 ms"), ("100ms", "100 ms"),
                ("250ms", "250 ms"), ("500ms", "500 ms"), ("1s", "1 s"), ("2500ms", "2.5 s"), ("5s", "5 s"),
                ("10s", "10 s")]
COLUMNS += log_columns("apacheLog", "log.", True)
# A row per server and virtual host, without the buckets (many items per
# virtual host); their key is indexed like the server's by {#SNMPINDEX}, the
# port then the host's name.
VHOST_COLUMNS = log_columns("apacheVhostLog", "vhost.", False)
# A row per server, balancer and member, indexed by the port, the
# balancer's name and the member's URL.
MEMBER_COLUMNS = [
    ("apacheBalancerMemberState", "member.state", "State", "value", "", {"map": "memberstate", "fast": True}),
    ("apacheBalancerMemberFlags", "member.flags", "Status flags", "text", "", {"fast": True}),
    ("apacheBalancerMemberElected", "member.elected", "Requests sent to it per second", "rate", "rps", {}),
    ("apacheBalancerMemberBusy", "member.busy", "Requests in progress", "value", "", {}),
    ("apacheBalancerMemberSent", "member.sent", "Bytes sent to it", "rate", "Bps", {}),
    ("apacheBalancerMemberReceived", "member.received", "Bytes received from it", "rate", "Bps", {}),
]

# A row per HTTPS site and name (apacheCertTable), indexed by the TLS port
# and the name; the columns without an instance before a certificate was
# read are optional.
CERT_COLUMNS = [
    ("apacheCertOutcome", "cert.outcome", "Last handshake", "value", "", {"map": "certoutcome", "fast": 1}),
    ("apacheCertSubject", "cert.subject", "Certificate subject", "text", "", {"optional": 1}),
    ("apacheCertIssuer", "cert.issuer", "Certificate issuer", "text", "", {"optional": 1}),
    ("apacheCertSecondsLeft", "cert.secondsleft", "Certificate time left", "value", "s", {"optional": 1}),
    ("apacheCertChainVerified", "cert.verified", "Certificate chain verified", "value", "",
     {"optional": 1, "map": "truth"}),
    ("apacheCertNameMatch", "cert.namematch", "Certificate covers the name", "value", "",
     {"optional": 1, "map": "namematch"}),
    ("apacheCertProblem", "cert.problem", "Certificate problem", "text", "", {"fast": 1}),
]

VALUEMAPS = {
    "outcome": ("OSTRIK-MIB::OstrikFetchOutcome",
                ["notTried", "ok", "connectFailed", "timedOut", "cutShort", "httpError", "notThePage"]),
    "keepalive": ("ostrik keep-alive", ["off", "on"]),
    "available": ("zabbix.host.available", ["not available", "available", "unknown"]),
    "memberstate": ("OSTRIK-MIB::apacheBalancerMemberState",
                    [None, "ok", "error", "disabled", "stopped", "draining", "hotStandby", "hotSpare",
                     "healthCheckFailed", "other"]),
    "certoutcome": ("OSTRIK-MIB::apacheCertOutcome", ["notTried", "ok", "connectFailed", "timedOut", "tlsFailed"]),
    "truth": ("SNMPv2-TC::TruthValue", ["unknown", "true", "false"]),
    "namematch": ("OSTRIK-MIB::apacheCertNameMatch", ["unknown", "matches", "notCovered", "noName"]),
}


def key(name):
    return "ostrik.%s[{#SNMPINDEX}]" % name


def uuid(*parts):
    """A UUIDv4-shaped identifier derived from parts."""
    h = bytearray(hashlib.md5(("ostrik-zabbix:" + ":".join(parts)).encode()).digest())
    h[6] = (h[6] & 0x0F) | 0x40
    h[8] = (h[8] & 0x3F) | 0x80
    return h.hex()


def read_mib(path):
    """Maps every OBJECT-TYPE and OBJECT IDENTIFIER of the MIB to (oid, syntax)."""
    with open(path) as f:
        text = re.sub(r"--[^\n]*", "", f.read())
    parents = {"enterprises": ("1.3.6.1.4.1", None)}
    defs = re.finditer(r"^(\w+)[ \t]+(OBJECT-TYPE|OBJECT IDENTIFIER|MODULE-IDENTITY)(.*?)::=\s*\{\s*(\w+)\s+(\d+)\s*\}",
                       text, re.S | re.M)
    pending = [(m.group(1), m.group(3), m.group(4), m.group(5)) for m in defs]
    while pending:
        left = []
        for name, body, parent, arc in pending:
            if parent in parents:
                syntax = re.search(r"SYNTAX\s+(\w+)", body)
                parents[name] = (parents[parent][0] + "." + arc, syntax and syntax.group(1))
            else:
                left.append((name, body, parent, arc))
        if len(left) == len(pending):
            raise SystemExit("unresolved MIB parents: %s" % [p[2] for p in left])
        pending = left
    return parents


def step(kind, *params, on_fail=None):
    s = {"type": kind, "parameters": list(params) or [""]}
    if on_fail:
        s["error_handler"] = on_fail
    return s


def prototype(mib, obj, kname, name, kind, units, extra):
    oid, syntax = mib[obj]
    if kind == "rate" and not syntax.startswith("Counter"):
        raise SystemExit("%s is a %s, not a counter" % (obj, syntax))
    if kind == "text" and syntax not in ("OstrikText", "DisplayString"):
        raise SystemExit("%s is a %s, not text" % (obj, syntax))
    config = obj.startswith("apacheConfig") or kind == "text"
    item = {
        "uuid": uuid("item", kname),
        "name": ("Apache {#PORT} {#VHOST}: " if kname.startswith("vhost.") else
                 "Apache {#PORT} {#BALANCER} {#MEMBER}: " if kname.startswith("member.") else
                 "HTTPS {#CERTPORT} {#CERTNAME}: " if kname.startswith("cert.") else
                 "Apache {#PORT}: ") + name,
        "type": "SNMP_AGENT",
        "snmp_oid": oid + ".{#SNMPINDEX}",
        "key": key(kname),
        "delay": "{$OSTRIK.INTERVAL}" if extra.get("fast") or not config else "{$OSTRIK.CONFIG.INTERVAL}",
        "history": "7d",
    }
    steps = []
    if extra.get("optional"):
        steps.append(step("CHECK_NOT_SUPPORTED", on_fail="DISCARD_VALUE"))
    if kind == "text":
        item.update(trends="0", value_type="CHAR")
    elif kind == "rate" or "." in extra.get("mult", ""):
        item["value_type"] = "FLOAT"
    if "mult" in extra:
        steps.append(step("MULTIPLIER", extra["mult"]))
    if kind == "rate":
        steps.append(step("CHANGE_PER_SECOND"))
    if config:
        # The configuration changes seldom: keep a value when it changes,
        # and once a day.
        steps.append(step("DISCARD_UNCHANGED_HEARTBEAT", "1d"))
    if units:
        item["units"] = units
    item["description"] = "%s (OSTRIK-MIB::%s)." % (name, obj)
    if "map" in extra:
        item["valuemap"] = {"name": VALUEMAPS[extra["map"]][0]}
    if steps:
        item["preprocessing"] = steps
    item["tags"] = [{"tag": "component", "value": kname.split(".")[0]},
                    {"tag": "port", "value": "{#CERTPORT}" if kname.startswith("cert.") else "{#PORT}"}]
    if kname.startswith("cert."):
        item["tags"].append({"tag": "certname", "value": "{#CERTNAME}"})
    if kname.startswith("vhost."):
        item["tags"].append({"tag": "vhost", "value": "{#VHOST}"})
    if kname.startswith("member."):
        item["tags"] += [{"tag": "balancer", "value": "{#BALANCER}"}, {"tag": "member", "value": "{#MEMBER}"}]
    return item


def trigger(name, expression, priority, description, scope="availability", **more):
    t = {"uuid": uuid("trigger", name), "expression": expression, "name": name, "priority": priority,
         "description": description}
    t.update(more)
    t["tags"] = [{"tag": "scope", "value": scope}]
    return t


def last(kname, fn="last", *args):
    return "%s(%s%s%s)" % (fn, T, key(kname), "".join("," + a for a in args))


def errors_trigger(prefix, who):
    """More than {$OSTRIK.ERRORS.WARN}% of the requests answered 5xx over
    {$OSTRIK.ERRORS.TIME}, at no less than {$OSTRIK.ERRORS.MIN.RATE} requests
    a second; compared without a division, so that no traffic is no error."""
    avg = ["avg(%s%s,{$OSTRIK.ERRORS.TIME})" % (T, key(prefix + "requests.%dxx" % c)) for c in range(1, 6)]
    total = "(" + "+".join(avg) + ")"
    return trigger(who + ": many server errors",
                   "%s*100>{$OSTRIK.ERRORS.WARN}*%s and %s>={$OSTRIK.ERRORS.MIN.RATE}" % (avg[4], total, total),
                   "WARNING", "More than {$OSTRIK.ERRORS.WARN}% of the requests that the access logs recorded over "
                   "{$OSTRIK.ERRORS.TIME} were answered with a 5xx status code.", scope="performance",
                   opdata="5xx: {ITEM.LASTVALUE1}")


def trigger_prototypes():
    busy, maxprocs, threads = key("perf.busy"), key("config.maxprocs"), key("config.threadsperchild")
    return [
        trigger("Apache {#PORT}: status page not answering",
                last("health.status.failures") + ">={$OSTRIK.STATUS.FAILURES.MAX}", "HIGH",
                "The agent failed to read the server's /server-status page {$OSTRIK.STATUS.FAILURES.MAX} times "
                "in a row: the server is stopped, hung or refuses the agent's credentials. The item "
                "'Status page, last fetch' tells which.",
                opdata="Failed fetches: {ITEM.LASTVALUE1}"),
        # Uptime only falls when the server starts again: a value in the
        # window above the latest one is a restart.
        trigger("Apache {#PORT}: has been restarted",
                last("perf.uptime", "max", "{$OSTRIK.RESTART.WINDOW}") + ">" + last("perf.uptime"), "INFO",
                "The server's uptime fell within the last {$OSTRIK.RESTART.WINDOW}.", manual_close="YES",
                scope="notice"),
        # Busy workers against the most the server may run: its maximum of
        # processes times its threads per process (0 for prefork). A server
        # that reports no maximum is left out.
        trigger("Apache {#PORT}: workers near the maximum",
                "min(%s%s,{$OSTRIK.WORKERS.MAX.TIME})>{$OSTRIK.WORKERS.MAX.WARN}/100*last(%s%s)"
                "*max(last(%s%s),1) and last(%s%s)>0" % (T, busy, T, maxprocs, T, threads, T, maxprocs),
                "WARNING", "Busy workers stayed above {$OSTRIK.WORKERS.MAX.WARN}% of the most the server may "
                "run for {$OSTRIK.WORKERS.MAX.TIME}.", scope="capacity"),
        trigger("Apache {#PORT}: high CPU use",
                last("footprint.cpushare", "min", "{$OSTRIK.CPU.HIGH.TIME}") + ">{$OSTRIK.CPU.HIGH.WARN}",
                "WARNING", "The server's processes used more than {$OSTRIK.CPU.HIGH.WARN}% of the machine's CPU "
                "for {$OSTRIK.CPU.HIGH.TIME}.", scope="performance"),
        trigger("Apache {#PORT}: high memory use",
                last("footprint.memshare", "min", "{$OSTRIK.MEMORY.HIGH.TIME}") + ">{$OSTRIK.MEMORY.HIGH.WARN}",
                "WARNING", "The server's processes held more than {$OSTRIK.MEMORY.HIGH.WARN}% of physical memory "
                "for {$OSTRIK.MEMORY.HIGH.TIME}.", scope="performance"),
        trigger("Apache {#PORT}: logs growing fast",
                last("footprint.loggrowth", "avg", "{$OSTRIK.LOGS.GROWTH.TIME}") + "*3600>{$OSTRIK.LOGS.GROWTH.WARN}",
                "WARNING", "The log files grew by more than {$OSTRIK.LOGS.GROWTH.WARN} bytes an hour over "
                "{$OSTRIK.LOGS.GROWTH.TIME}: a flood of requests or errors, and a disk that will fill.",
                scope="capacity"),
        errors_trigger("log.", "Apache {#PORT}"),
        trigger("Apache {#PORT}: access logs not read",
                last("log.unreadable", "min", "{$OSTRIK.LOG.UNREAD.TIME}") + ">0", "INFO",
                "Access logs of the server (piped, sent to syslog, missing, not a regular file or denied to the "
                "agent) have not been read for {$OSTRIK.LOG.UNREAD.TIME}: their requests are not counted. The "
                "item 'Access log state' names the first of them.", opdata="Logs not read: {ITEM.LASTVALUE1}"),
        trigger("Apache {#PORT}: access logs read behind",
                last("log.backlog", "min", "{$OSTRIK.LOG.BACKLOG.TIME}") + ">0", "WARNING",
                "For {$OSTRIK.LOG.BACKLOG.TIME} every refresh left part of what was appended to the access "
                "logs for the next: the logs grow faster than the agent reads them, and the request counts lag.",
                scope="capacity", opdata="Backlog: {ITEM.LASTVALUE1}"),
    ]


GRAPHS = [
    ("Requests", ["perf.requests"]),
    ("Traffic", ["perf.traffic"]),
    ("Workers", ["perf.busy", "perf.idle", "perf.users"]),
    ("Scoreboard", ["perf.starting", "perf.reading", "perf.replying", "perf.keepalive", "perf.dns", "perf.logging",
                    "perf.finishing", "ext.idlecleanup", "ext.closing", "perf.idle", "ext.open"]),
    ("Connections", ["ext.conns", "ext.conns.writing", "ext.conns.keepalive", "ext.conns.closing",
                     "ext.conns.waitio"]),
    ("CPU and memory share", ["footprint.cpushare", "footprint.memshare"]),
    ("Memory", ["footprint.rss", "footprint.vsz"]),
    ("Disk", ["footprint.logsize", "footprint.docsize"]),
    ("Requests by status", ["log.requests.1xx", "log.requests.2xx", "log.requests.3xx", "log.requests.4xx",
                            "log.requests.5xx"]),
]
COLORS = ["199C0D", "F63100", "2774A4", "F7941D", "FC6EA3", "6C59DC", "C7A72D", "BA2A5D", "2B5429", "A54F10",
          "7E57C2"]


def graph_prototypes():
    graphs = []
    for title, keys in GRAPHS:
        stacked = title == "Scoreboard"
        g = {"uuid": uuid("graph", title), "name": "Apache {#PORT}: " + title}
        if stacked:
            g["type"] = "STACKED"
        g["graph_items"] = [{"sortorder": str(i), "color": COLORS[i], "item": {"host": TEMPLATE, "key": key(k)}}
                            for i, k in enumerate(keys)]
        if not stacked:
            for gi in g["graph_items"]:
                gi["drawtype"] = "GRADIENT_LINE" if len(keys) == 1 else "BOLD_LINE"
        graphs.append(g)
    return graphs


def dashboard():
    widgets = []
    for i, (title, _) in enumerate(GRAPHS):
        widgets.append({
            "type": "GRAPH_PROTOTYPE", "name": title, "x": str(12 * (i % 2)), "y": str(5 * (i // 2)),
            "width": "12", "height": "5",
            "fields": [
                {"type": "INTEGER", "name": "source_type", "value": "2"},
                {"type": "INTEGER", "name": "columns", "value": "1"},
                {"type": "INTEGER", "name": "rows", "value": "1"},
                {"type": "GRAPH_PROTOTYPE", "name": "graphid",
                 "value": {"host": TEMPLATE, "name": "Apache {#PORT}: " + title}},
            ]})
    return {"uuid": uuid("dashboard"), "name": "Apache by ostrik", "pages": [{"widgets": widgets}]}


def template():
    mib = read_mib(MIB)
    prototypes = [prototype(mib, *c) for c in COLUMNS]
    # The growth of the log files, from the size item rather than a second
    # poll of the same OID.
    prototypes.append({
        "uuid": uuid("item", "footprint.loggrowth"),
        "name": "Apache {#PORT}: Log files growth",
        "type": "DEPENDENT",
        "key": key("footprint.loggrowth"),
        "delay": "0",
        "history": "7d",
        "value_type": "FLOAT",
        "units": "Bps",
        "description": "How fast the log files grow; a rotation (a fall in size) is passed over.",
        "preprocessing": [step("CHANGE_PER_SECOND")],
        "master_item": {"key": key("footprint.logsize")},
        "tags": [{"tag": "component", "value": "footprint"}, {"tag": "port", "value": "{#PORT}"}],
    })
    config_port = mib["apacheConfigPort"][0]
    items = [
        {"uuid": uuid("item", "ostrik.version"), "name": "ostrik: module version", "type": "SNMP_AGENT",
         "snmp_oid": mib["ostrikVersion"][0] + ".0", "key": "ostrik.version", "delay": "{$OSTRIK.CONFIG.INTERVAL}",
         "history": "7d", "trends": "0", "value_type": "CHAR",
         "description": "The monitoring module's title and version (OSTRIK-MIB::ostrikVersion).",
         "preprocessing": [step("DISCARD_UNCHANGED_HEARTBEAT", "1d")],
         "tags": [{"tag": "component", "value": "agent"}]},
        {"uuid": uuid("item", "snmp.available"), "name": "ostrik: SNMP agent availability", "type": "INTERNAL",
         "key": "zabbix[host,snmp,available]", "history": "7d", "delay": "{$OSTRIK.INTERVAL}",
         "description": "Whether Zabbix reaches the host's SNMP agent: 0 not available, 1 available, 2 unknown.",
         "valuemap": {"name": VALUEMAPS["available"][0]},
         "tags": [{"tag": "component", "value": "agent"}],
         "triggers": [trigger("ostrik agent unreachable",
                              "max(%szabbix[host,snmp,available],{$OSTRIK.AGENT.UNREACHABLE.TIME})=0" % T, "HIGH",
                              "The host's SNMP agent has not answered Zabbix for {$OSTRIK.AGENT.UNREACHABLE.TIME}.")]},
    ]
    vhost_port, vhost_name = mib["apacheVhostLogPort"][0], mib["apacheVhostLogName"][0]
    vhosts = {
        "uuid": uuid("discovery", "vhost"),
        "name": "Apache virtual hosts",
        "type": "SNMP_AGENT",
        "snmp_oid": "discovery[{#PORT},%s,{#VHOST},%s]" % (vhost_port, vhost_name),
        "key": "ostrik.apache.vhost.discovery",
        "delay": "{$OSTRIK.VHOST.LLD.INTERVAL}",
        "lifetime": "7d",
        "description": "One virtual host of a server for each row of apacheVhostLogTable: where the server's "
                       "log format carries %v or a virtual host logs to a file of its own ({#PORT} is the "
                       "server's port, {#VHOST} the host's name).",
        "item_prototypes": [prototype(mib, *c) for c in VHOST_COLUMNS],
        "trigger_prototypes": [errors_trigger("vhost.", "Apache {#PORT} {#VHOST}")],
    }
    member_oids = tuple(mib[o][0] for o in ("apacheBalancerMemberPort", "apacheBalancerMemberBalancer",
                                            "apacheBalancerMemberName"))
    members = {
        "uuid": uuid("discovery", "member"),
        "name": "Apache balancer members",
        "type": "SNMP_AGENT",
        "snmp_oid": "discovery[{#PORT},%s,{#BALANCER},%s,{#MEMBER},%s]" % member_oids,
        "key": "ostrik.apache.member.discovery",
        "delay": "{$OSTRIK.VHOST.LLD.INTERVAL}",
        "lifetime": "7d",
        "description": "One member of a proxy balancer of a server for each row of apacheBalancerMemberTable "
                       "({#PORT} is the server's port, {#BALANCER} the balancer's name, {#MEMBER} the "
                       "member's URL). Apache lists them where its configuration sets ProxyStatus On.",
        "item_prototypes": [prototype(mib, *c) for c in MEMBER_COLUMNS],
        "trigger_prototypes": [trigger(
            "Apache {#PORT} {#BALANCER}: member {#MEMBER} out of service",
            "min(%s%s,{$OSTRIK.MEMBER.DOWN.TIME})>=2 and max(%s%s,{$OSTRIK.MEMBER.DOWN.TIME})<=3"
            % (T, key("member.state"), T, key("member.state")), "WARNING",
            "The balancer member has been in error (the proxy found it failing) or disabled for "
            "{$OSTRIK.MEMBER.DOWN.TIME}: the balancer serves with one backend fewer.",
            opdata="State: {ITEM.LASTVALUE1}")],
    }
    cert_port, cert_name = mib["apacheCertPort"][0], mib["apacheCertName"][0]
    site = "HTTPS {#CERTPORT} {#CERTNAME}"
    left = last("cert.secondsleft")
    certs = {
        "uuid": uuid("discovery", "cert"),
        "name": "HTTPS sites",
        "type": "SNMP_AGENT",
        "snmp_oid": "discovery[{#CERTPORT},%s,{#CERTNAME},%s]" % (cert_port, cert_name),
        "key": "ostrik.apache.cert.discovery",
        "delay": "{$OSTRIK.CERT.LLD.INTERVAL}",
        "lifetime": "7d",
        "description": "One HTTPS site and name for each row of apacheCertTable: the certificate the agent's "
                       "own hourly handshake was served ({#CERTPORT} is the TLS port, {#CERTNAME} the name "
                       "sent, empty when none is known).",
        "item_prototypes": [prototype(mib, *c) for c in CERT_COLUMNS],
        "trigger_prototypes": [
            trigger(site + ": certificate expires within 3 days", left + "<{$OSTRIK.CERT.EXPIRY.CRIT}", "HIGH",
                    "The certificate served for this name expires within {$OSTRIK.CERT.EXPIRY.CRIT} seconds, "
                    "or has expired.", scope="security", opdata="Left: {ITEM.LASTVALUE1}"),
            trigger(site + ": certificate expires within 14 days",
                    left + "<{$OSTRIK.CERT.EXPIRY.WARN} and " + left + ">={$OSTRIK.CERT.EXPIRY.CRIT}", "WARNING",
                    "The certificate served for this name expires within {$OSTRIK.CERT.EXPIRY.WARN} seconds.",
                    scope="security", opdata="Left: {ITEM.LASTVALUE1}"),
            trigger(site + ": certificate does not cover the name", last("cert.namematch") + "=2", "WARNING",
                    "The site serves, for this name, a certificate made for other names: clients that ask for "
                    "it refuse the connection.", scope="security"),
        ],
    }
    discovery = {
        "uuid": uuid("discovery"),
        "name": "Apache servers",
        "type": "SNMP_AGENT",
        "snmp_oid": "discovery[{#PORT},%s]" % config_port,
        "key": "ostrik.apache.discovery",
        "delay": "{$OSTRIK.LLD.INTERVAL}",
        "lifetime": "7d",
        "description": "One server for each row of the agent's tables ({#PORT} is its port, which indexes "
                       "every table).",
        "item_prototypes": prototypes,
        "trigger_prototypes": trigger_prototypes(),
        "graph_prototypes": graph_prototypes(),
    }
    tpl = {
        "uuid": uuid("template"),
        "template": TEMPLATE,
        "name": TEMPLATE,
        "description": "The Apache HTTP servers that an ostrik agent (varnockd) watches, over SNMP: their "
                       "configuration, requests and workers, resource use, how the agent's reads of their "
                       "pages go and what their access logs record, per server and virtual host. Link it to a "
                       "host with an SNMP interface pointing at the agent.",
        "groups": [{"name": "Templates/Applications"}],
        "items": items,
        "discovery_rules": [discovery, vhosts, members, certs],
        "tags": [{"tag": "class", "value": "software"}, {"tag": "target", "value": "apache"}],
        "macros": [{"macro": m, "value": v, "description": d} for m, v, d in MACROS],
        "dashboards": [dashboard()],
        "valuemaps": [{"uuid": uuid("valuemap", name), "name": name,
                       "mappings": [{"value": str(i), "newvalue": v} for i, v in enumerate(values)
                                    if v is not None]}
                      for name, values in VALUEMAPS.values()],
    }
    return {"zabbix_export": {"version": "6.0", "date": "2026-12-09T00:00:00Z",
                              "groups": [{"uuid": "a571c0d144b14fd4a87a9d9b2aa9fcd6",
                                          "name": "Templates/Applications"}],
                              "templates": [tpl]}}


def render():
    return ("# Generated by generate.py from mib/OSTRIK-MIB.txt: edit generate.py, not this file.\n" +
            yaml.safe_dump(template(), sort_keys=False, allow_unicode=True, width=4096))


def main():
    text = render()
    if sys.argv[1:] == ["--check"]:
        with open(OUT) as f:
            if f.read() != text:
                sys.exit("ostrik_template.yaml is not what generate.py makes; run integrations/zabbix/generate.py")
        return
    if sys.argv[1:]:
        sys.exit(__doc__)
    with open(OUT, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
