#!/usr/bin/env python3
"""The Zabbix template of integrations/zabbix with the real programs.

PostgreSQL with the Zabbix schema, zabbix_server, the Zabbix frontend's API
under a private Apache with PHP, and a monitored Apache watched by varnockd,
all on free loopback ports in a scratch directory. Through the API: the
template imports without a message, discovery makes the items for the
Apache's port, their values equal snmpgets made around them, none is
unsupported, no trigger fails to evaluate, and stopping the Apache fires the
status trigger while starting it again resolves it (and reports a restart).

  zabbix_test.py --varnockd PATH --module PATH --base-mibs DIR
"""
import glob
import gzip
import json
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import yaml

from prometheus_test import (APACHE, SOURCE, free_port, http_get, run_main, snmpget,
                             start_apache_and_agent, stop_processes, wait_for)

TEMPLATE_FILE = os.path.join(SOURCE, "integrations", "zabbix", "ostrik_template.yaml")
PG_BIN = sorted(glob.glob("/usr/lib/postgresql/*/bin"))[-1:]
SCHEMA = "/usr/share/zabbix-server-pgsql"
FRONTEND = "/usr/share/zabbix"
ARGS = None
USER, PASSWORD = "monitor", "zbx-secret"
# Polls every 2 s, discovery every 5 s, one failed status fetch is enough.
HOST_MACROS = {"{$OSTRIK.INTERVAL}": "2s", "{$OSTRIK.CONFIG.INTERVAL}": "2s", "{$OSTRIK.LLD.INTERVAL}": "5s",
               "{$OSTRIK.STATUS.FAILURES.MAX}": "1"}


def low_port():
    """A free TCP port below 32768, as zabbix_server's ListenPort must be."""
    for port in random.sample(range(20000, 32768), 200):
        with socket.socket() as sock:
            try:
                sock.bind(("127.0.0.1", port))
                return port
            except OSError:
                pass
    raise AssertionError("no free port below 32768")


def as_user(name, argv):
    """argv run as the unprivileged user name when we are root."""
    return ["runuser", "-u", name, "--"] + argv if os.geteuid() == 0 else argv


class Stack:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ostrik-zabbix-")
        os.chmod(self.dir, 0o755)
        self.procs = []
        self.pg_data = os.path.join(self.dir, "pg")
        self.pg_port, self.web_port, self.apache_port = (free_port() for _ in range(3))
        self.zbx_port = low_port()
        self.agent_port = free_port(socket.SOCK_DGRAM)
        self.agent = "127.0.0.1:%d" % self.agent_port
        self.web_dir = os.path.join(self.dir, "web")
        self.apache_dir = os.path.join(self.dir, "apache")
        self.started = set()
        self.auth = None

    def spawn(self, name, argv):
        with open(os.path.join(self.dir, name + ".log"), "wb") as log:
            self.procs.append((name, subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=self.dir)))

    def logs(self):
        out = []
        for path in glob.glob(os.path.join(self.dir, "*.log")) + glob.glob(os.path.join(self.dir, "*/logs/*")):
            with open(path, errors="replace") as f:
                out.append("--- %s:\n%s" % (path, f.read()[-3000:]))
        return "\n".join(out)

    def check_running(self):
        for name, proc in self.procs:
            if proc.poll() is not None:
                raise AssertionError("%s exited (%s)" % (name, proc.returncode))

    def start_database(self):
        owner = "postgres" if os.geteuid() == 0 else None
        os.mkdir(self.pg_data, 0o700)
        if owner:
            shutil.chown(self.pg_data, owner, owner)
        subprocess.run(as_user(owner, [PG_BIN[0] + "/initdb", "-D", self.pg_data, "-U", "zabbix", "--auth=trust",
                                       "-E", "UTF8", "--locale=C.UTF-8"]), check=True, capture_output=True)
        # Only loopback and a socket in the data directory; durability is
        # of no use to a test.
        options = ("-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off "
                   "-c full_page_writes=off" % (self.pg_port, self.pg_data))
        subprocess.run(as_user(owner, [PG_BIN[0] + "/pg_ctl", "-D", self.pg_data, "-l", self.pg_data + "/log", "-w",
                                       "-o", options, "start"]), check=True, capture_output=True)
        self.started.add("postgres")
        self.psql(["-c", "CREATE DATABASE zabbix ENCODING 'UTF8' TEMPLATE template0"], db="postgres")
        # Foreign keys are not checked while the shipped rows load: they are
        # consistent, and the checks take most of the time.
        sql = [b"SET session_replication_role = replica;\n"]
        sql += [gzip.open(os.path.join(SCHEMA, name + ".sql.gz")).read() for name in ("schema", "images", "data")]
        self.psql(["-f", "-"], stdin=b"".join(sql))
        # The shipped host "Zabbix server" would poll an agent on port 10050.
        self.psql(["-c", "UPDATE hosts SET status = 1 WHERE host = 'Zabbix server'"])

    def psql(self, args, db="zabbix", stdin=None):
        subprocess.run(["psql", "-q", "-X", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p", str(self.pg_port),
                        "-U", "zabbix", "-d", db] + args, input=stdin, check=True, stdout=subprocess.DEVNULL)

    def start_monitored(self):
        start_apache_and_agent(self, ARGS, USER, PASSWORD)

    def start_server(self):
        zdir = os.path.join(self.dir, "zabbix")
        os.mkdir(zdir)
        if os.geteuid() == 0:
            shutil.chown(zdir, "zabbix", "zabbix")  # the server drops root for the user zabbix
        conf = os.path.join(zdir, "zabbix_server.conf")
        settings = dict(
            LogFile=zdir + "/server.log", LogFileSize=0, PidFile=zdir + "/server.pid", SocketDir=zdir, TmpDir=zdir,
            DBHost="127.0.0.1", DBPort=self.pg_port, DBName="zabbix", DBUser="zabbix", ListenIP="127.0.0.1",
            ListenPort=self.zbx_port, Timeout=4, CacheUpdateFrequency=1, HousekeepingFrequency=0,
            StartPollers=1, StartPollersUnreachable=1, StartPreprocessors=1, StartTrappers=1, StartHistoryPollers=1,
            StartDBSyncers=1, StartLLDProcessors=1, StartTimers=1, StartEscalators=1, StartAlerters=1,
            StartPingers=0, StartDiscoverers=0, StartHTTPPollers=0, StartProxyPollers=0, StartODBCPollers=0,
            StartReportWriters=0, StartSNMPTrapper=0, StartJavaPollers=0, StartVMwareCollectors=0,
            StartIPMIPollers=0, UnreachablePeriod=45, UnreachableDelay=5, UnavailableDelay=5)
        with open(conf, "w") as f:
            f.writelines("%s=%s\n" % kv for kv in settings.items())
        self.spawn("zabbix_server", ["zabbix_server", "-f", "-c", conf])

    def start_frontend(self):
        """The frontend copied into a scratch document root and served by PHP's
        own server on a loopback port: no Apache module, so installing the
        test's packages leaves the machine's Apache as it was."""
        htdocs = os.path.join(self.web_dir, "htdocs")
        os.makedirs(self.web_dir)
        os.chmod(self.web_dir, 0o755)
        shutil.copytree(FRONTEND, htdocs, symlinks=True)
        self.php_log = os.path.join(self.dir, "php_error.log")
        with open(self.php_log, "w"):
            pass
        php_user = "www-data" if os.geteuid() == 0 else None
        if php_user:
            shutil.chown(self.php_log, php_user)
        # Debian's frontend reads its configuration from a fixed path in
        # /etc: the copy reads the scratch directory's instead.
        zconf = os.path.join(self.web_dir, "zabbix.conf.php")
        core = os.path.join(htdocs, "include", "classes", "core", "CConfigFile.php")
        with open(core) as f:
            text = f.read()
        with open(core, "w") as f:
            f.write(text.replace("'/etc/zabbix/zabbix.conf.php'", repr(zconf)))
        with open(zconf, "w") as f:
            f.write("<?php\n$DB['TYPE'] = 'POSTGRESQL';\n$DB['SERVER'] = '127.0.0.1';\n$DB['PORT'] = '%d';\n"
                    "$DB['DATABASE'] = 'zabbix';\n$DB['USER'] = 'zabbix';\n$DB['PASSWORD'] = '';\n"
                    "$DB['SCHEMA'] = '';\n$DB['DOUBLE_IEEE754'] = true;\n$ZBX_SERVER = '127.0.0.1';\n"
                    "$ZBX_SERVER_PORT = '%d';\n$ZBX_SERVER_NAME = 'ostrik';\n"
                    "$IMAGE_FORMAT_DEFAULT = IMAGE_FORMAT_PNG;\n" % (self.pg_port, self.zbx_port))
        settings = {"log_errors": "1", "display_errors": "0", "error_log": self.php_log, "error_reporting": "-1",
                    "date.timezone": "UTC", "memory_limit": "512M", "max_execution_time": "300"}
        ini = [arg for k, v in settings.items() for arg in ("-d", "%s=%s" % (k, v))]
        self.spawn("php", as_user(php_user, ["php"] + ini + ["-S", "127.0.0.1:%d" % self.web_port, "-t", htdocs]))

    def stop(self):
        stop_processes(self.procs, 20)
        if os.path.exists(os.path.join(self.apache_dir, "run")):
            subprocess.run([APACHE, "stop", self.apache_dir], check=False)
        if "postgres" in self.started:
            subprocess.run(as_user("postgres" if os.geteuid() == 0 else None,
                                   [PG_BIN[0] + "/pg_ctl", "-D", self.pg_data, "-m", "immediate", "-w", "stop"]),
                           check=False, capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def api(self, method, params):
        body = {"jsonrpc": "2.0", "method": method, "params": params, "id": 1}
        if self.auth:
            body["auth"] = self.auth
        request = urllib.request.Request("http://127.0.0.1:%d/api_jsonrpc.php" % self.web_port,
                                         json.dumps(body).encode(), {"Content-Type": "application/json-rpc"})
        with urllib.request.urlopen(request, timeout=60) as response:
            answer = json.loads(response.read())
        if "error" in answer:
            raise AssertionError("%s: %s" % (method, answer["error"]))
        return answer["result"]


def load_template():
    with open(TEMPLATE_FILE) as f:
        return yaml.safe_load(f)["zabbix_export"]["templates"][0]


class ZabbixIntegration(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.began = time.time()
        s = cls.stack = Stack()
        try:
            for part in (s.start_monitored, s.start_database, s.start_server, s.start_frontend):
                part()
                sys.stderr.write("zabbix integration test: %s done at %.0f s\n"
                                 % (part.__name__, time.time() - cls.began))
            wait_for("the API", lambda: s.api("apiinfo.version", {}), 30)
            s.auth = s.api("user.login", {"username": "Admin", "password": "zabbix"})
            with open(TEMPLATE_FILE) as f:
                cls.import_result = s.api("configuration.import", {"format": "yaml", "source": f.read(), "rules": {
                    **{k: {"createMissing": True, "updateExisting": True} for k in (
                        "groups", "templates", "valueMaps", "templateDashboards", "discoveryRules", "items",
                        "triggers", "graphs")},
                    "templateLinkage": {"createMissing": True}}})
            with open(s.php_log) as f:
                cls.php_messages = f.read()
            template = s.api("template.get", {"filter": {"host": "Apache by ostrik SNMP"}})[0]
            group = s.api("hostgroup.create", {"name": "ostrik test"})["groupids"][0]
            s.hostid = s.api("host.create", {
                "host": "ostrik-agent", "groups": [{"groupid": group}], "templates": [{"templateid":
                                                                                      template["templateid"]}],
                "interfaces": [{"type": 2, "main": 1, "useip": 1, "ip": "127.0.0.1", "dns": "",
                                "port": str(s.agent_port), "details": {"version": 2, "bulk": 1,
                                                                       "community": "public"}}],
                "macros": [{"macro": m, "value": v} for m, v in HOST_MACROS.items()]})["hostids"][0]
            sys.stderr.write("zabbix integration test: host created at %.0f s\n" % (time.time() - cls.began))
            cls.template = load_template()
            cls.prototypes = cls.template["discovery_rules"][0]["item_prototypes"]
            keys = {p["key"].replace("{#SNMPINDEX}", str(s.apache_port)) for p in cls.prototypes}
            wait_for("the discovered items", lambda: s.check_running() or keys <= {
                i["key_"] for i in s.api("item.get", {"hostids": s.hostid, "output": ["key_"]})}, 60)
            sys.stderr.write("zabbix integration test: set up in %.0f s\n" % (time.time() - cls.began))
        except BaseException:
            sys.stderr.write(s.logs())
            s.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()
        sys.stderr.write("zabbix integration test: %.0f s\n" % (time.time() - cls.began))

    def items(self):
        return {i["key_"]: i for i in self.stack.api("item.get", {
            "hostids": self.stack.hostid,
            "output": ["itemid", "key_", "lastvalue", "lastclock", "state", "error", "value_type"],
            "selectPreprocessing": "extend"})}

    def test_0_items_poll_the_mib_objects_they_name(self):
        polled = [p for p in self.prototypes + self.template["items"] if p["type"] == "SNMP_AGENT"]
        names = [re.search(r"\((OSTRIK-MIB::\w+)\)", p["description"]).group(1) for p in polled]
        out = subprocess.run(["snmptranslate", "-M", ARGS.base_mibs + ":" + os.path.join(SOURCE, "mib"),
                              "-m", "OSTRIK-MIB", "-On"] + names, check=True, capture_output=True, text=True).stdout
        self.assertEqual(out.split(), ["." + re.sub(r"\.(\{#SNMPINDEX\}|0)$", "", p["snmp_oid"]) for p in polled])

    def test_1_import_left_no_message(self):
        self.assertIs(self.import_result, True)
        self.assertEqual(self.php_messages, "")

    def snmpget_round(self, polled, oids):
        """Compares the items' latest values with snmpgets made before and
        after a poll of each; returns the mismatches and the items."""
        s = self.stack
        before = snmpget(s.agent, list(oids.values()))
        since = time.time()
        # Every item that stores each poll has been polled since; the others
        # (rates need two polls, unchanged configuration is not stored again)
        # have a value at all.
        fresh = [k for k, p in polled.items() if not any(
            st["type"] in ("DISCARD_UNCHANGED_HEARTBEAT", "CHANGE_PER_SECOND") for st in p.get("preprocessing", []))]
        answered = [k for k in polled if "No Such" not in before[oids[k]]]

        def current():
            items = self.items()
            if all(int(items[k]["lastclock"]) > since for k in fresh if k in answered) and \
                    all(int(items[k]["lastclock"]) > 0 for k in answered):
                return items
            return None
        items = wait_for("a poll of every item after the first snmpget", current, 30)
        after = snmpget(s.agent, list(oids.values()))
        elapsed = time.time() - since
        wrong = {}
        for k, p in polled.items():
            a, b, item = before[oids[k]], after[oids[k]], items[k]
            got = item["lastvalue"]
            steps = {st["type"]: st["params"] for st in item["preprocessing"]}
            if "No Such" in a + b:
                # Absent from the agent (a line this MPM does not show): the
                # poll is discarded, not an unsupported item.
                ok = item["state"] == "0"
            elif "10" in steps:  # change per second
                ok = float(got) >= 0
            elif p.get("value_type") == "CHAR":
                ok = got in (a, b)
            else:
                mult = float(steps.get("1", "1"))
                a, b, got = float(a) * mult, float(b) * mult, float(got)
                if "uptime" in k:
                    ok = a <= got <= b
                elif ".age[" in k:
                    # An age rises and starts again from 0 at each read.
                    ok = 0 <= got <= max(a, b) + elapsed + 1
                else:
                    ok = min(abs(got - a), abs(got - b)) < 1e-6 * max(1, abs(a), abs(b))
            if not ok:
                wrong[k] = (a, got, b)
        return wrong, items

    def test_2_values_equal_snmpget_around_them(self):
        s = self.stack
        port = str(s.apache_port)
        polled = {p["key"].replace("{#SNMPINDEX}", port): p for p in self.prototypes if p["type"] == "SNMP_AGENT"}
        polled["ostrik.version"] = self.template["items"][0]
        oids = {k: p["snmp_oid"].replace("{#SNMPINDEX}", port) for k, p in polled.items()}
        # A busy machine can stretch a round over two of the agent's reads of
        # a page, when a value may be neither snmpget's: such an item is
        # compared again, at most twice.
        for _ in range(3):
            wrong, items = self.snmpget_round(polled, oids)
            if not wrong:
                break
            polled = {k: polled[k] for k in wrong}
        self.assertEqual(wrong, {})
        # The agent's own reads of the status page count as requests: the
        # rate was above 0 between some two polls.
        requests = items["ostrik.perf.requests[%s]" % port]["itemid"]
        wait_for("a request rate above 0", lambda: any(float(r["value"]) > 0 for r in s.api(
            "history.get", {"itemids": requests, "history": 0, "output": ["value"]})), 30)
        self.assertEqual(items["zabbix[host,snmp,available]"]["lastvalue"], "1")

    def test_3_no_item_unsupported_no_trigger_in_error(self):
        s = self.stack
        items = self.items()
        self.assertEqual(len(items), len(self.prototypes) + len(self.template["items"]))
        self.assertEqual({k: i["error"] for k, i in items.items() if i["state"] != "0" or i["error"]}, {})
        expected = 1 + len(self.template["discovery_rules"][0]["trigger_prototypes"])

        def triggers():
            return s.api("trigger.get", {"hostids": s.hostid, "output": ["description", "error", "state", "value"],
                                         "expandDescription": True})
        # Low-level discovery makes the triggers after the items, a moment
        # later on a busy machine.
        wait_for("the discovered triggers", lambda: len(triggers()) >= expected, 60)
        triggers = triggers()
        self.assertEqual(len(triggers), expected)
        self.assertEqual([(t["description"], t["error"]) for t in triggers if t["state"] != "0" or t["error"]], [])
        self.assertEqual([t["description"] for t in triggers if t["value"] != "0"], [])
        graphs = s.api("graph.get", {"hostids": s.hostid, "output": ["name"]})
        self.assertEqual(len(graphs), len(self.template["discovery_rules"][0]["graph_prototypes"]))
        dashboards = s.api("templatedashboard.get", {"output": ["name"], "selectPages": "extend"})
        widgets = [w for d in dashboards if d["name"] == "Apache by ostrik" for p in d["pages"] for w in p["widgets"]]
        self.assertEqual(len(widgets), len(graphs))

    def test_4_stopping_the_server_fires_the_status_trigger(self):
        s = self.stack
        port = s.apache_port

        def value(name):
            t = s.api("trigger.get", {"hostids": s.hostid, "output": ["value"], "expandDescription": True,
                                      "filter": {"description": "Apache %d: %s" % (port, name)}})
            return t[0]["value"] if t else None
        self.assertEqual(value("status page not answering"), "0")
        subprocess.run([APACHE, "stop", s.apache_dir], check=True)
        wait_for("the status trigger to fire", lambda: value("status page not answering") == "1", 90)
        subprocess.run([APACHE, "start", s.apache_dir], check=True)
        wait_for("the status trigger to resolve", lambda: value("status page not answering") == "0", 90)
        wait_for("the restart to be reported", lambda: value("has been restarted") == "1", 60)


if __name__ == "__main__":
    run_main(globals())
