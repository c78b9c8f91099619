#!/usr/bin/env python3
"""The Prometheus integration of integrations/prometheus with the real programs.

A private Apache, varnockd with the ostrik module, prometheus-snmp-exporter
with the committed snmp.yml and Prometheus, configured from the example
prometheus.yml with its rules, all on free loopback ports in a scratch
directory. Through Prometheus's HTTP API: every metric of the module has a
series for the Apache's port, with the value an snmpget of the same OID reads
at the same moment; every rule expression and every dashboard query evaluates,
and every query that is not an alert condition returns data. The Apache has
two name-based HTTPS virtual hosts whose certificates (made here) expire in two
and in ninety days: the expiry alert fires for the short one only.

  prometheus_test.py --varnockd PATH --module PATH --base-mibs DIR
"""
import argparse
import calendar
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import yaml

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
HERE = os.path.join(SOURCE, "integrations", "prometheus")
APACHE = os.path.join(SOURCE, "scripts", "apache-instance.sh")
ARGS = None
# Apache's status page shows CPULoad only once the server has used measurable
# CPU time, which a lightly used test server may not have at a page read.
SHOWN_AT_TIMES = {"apacheServerPerfExtCPULoad"}
USER, PASSWORD = "monitor", "prom-secret"
# The HTTPS virtual hosts: name, days its certificate is valid.
CERT_HOSTS = {"short.test": 2, "long.test": 90}


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_processes(procs, seconds):
    """Terminates (name, Popen) pairs, the last started first; kills one that
    has not ended within seconds."""
    for _, proc in reversed(procs):
        proc.terminate()
    for _, proc in procs:
        try:
            proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def https_hosts_conf(directory, port):
    """Apache configuration of the name-based HTTPS virtual hosts of
    CERT_HOSTS on port, each with a certificate made with openssl in
    directory."""
    mods = "/usr/lib/apache2/modules/"
    conf = ("LoadModule socache_shmcb_module %smod_socache_shmcb.so\nLoadModule ssl_module %smod_ssl.so\n"
            "Listen 127.0.0.1:%d\n" % (mods, mods, port))
    for name, days in CERT_HOSTS.items():
        key, pem = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", key, "-out", pem, "-days", str(days), "-subj", "/CN=" + name,
                        "-addext", "subjectAltName=DNS:" + name], check=True, capture_output=True)
        os.chmod(key, 0o644)
        conf += ("<VirtualHost 127.0.0.1:%d>\n ServerName %s\n SSLEngine on\n SSLCertificateFile %s\n"
                 " SSLCertificateKeyFile %s\n</VirtualHost>\n" % (port, name, pem, key))
    path = os.path.join(directory, "https.conf")
    with open(path, "w") as f:
        f.write(conf)
    return path


def start_apache_and_agent(stack, args, user, password, log_format=None, extra_conf=None):
    """Starts an event-MPM Apache (it reports the asynchronous connection
    counts too) in stack.apache_dir on stack.apache_port, and varnockd
    watching it, serving stack.agent; its document root is measured every
    10 seconds. log_format, when given, replaces the access log's format;
    extra_conf is a configuration file the server includes."""
    subprocess.run([APACHE, "setup", "--mpm", "event", stack.apache_dir, str(stack.apache_port), user, password]
                   + ([extra_conf] if extra_conf else []), check=True)
    if log_format:
        conf = os.path.join(stack.apache_dir, "conf", "httpd.conf")
        with open(conf) as f:
            text = f.read()
        with open(conf, "w") as f:
            f.write(text.replace("CustomLog logs/access_log common\n",
                                 "LogFormat \"%s\" timed\nCustomLog logs/access_log timed\n" % log_format))
    # A balancer whose one member is the server itself, its member on the
    # status page: /app/ is proxied to /.
    mods = "/usr/lib/apache2/modules/"
    with open(os.path.join(stack.apache_dir, "conf", "httpd.conf"), "a") as f:
        for module in ("proxy", "proxy_http", "proxy_balancer", "slotmem_shm", "lbmethod_byrequests"):
            f.write("LoadModule %s_module %smod_%s.so\n" % (module, mods, module))
        f.write("ProxyStatus On\n<Proxy \"balancer://app\">\n  BalancerMember http://127.0.0.1:%d\n"
                "</Proxy>\nProxyPass /app/ balancer://app/\n" % stack.apache_port)
    subprocess.run([APACHE, "start", stack.apache_dir], check=True)
    agent_dir = os.path.join(stack.dir, "agent")
    os.mkdir(agent_dir)
    cf = os.path.join(agent_dir, "ostrik.cf")
    with open(cf, "w") as f:
        f.write("apache %d %s %s 10\n" % (stack.apache_port, user, password))
    os.chmod(cf, 0o600)
    stack.spawn("varnockd", [args.varnockd, "--config-dir", agent_dir, "--module", args.module, "udp:" + stack.agent])


def http_get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read()


def wait_for(what, predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            result = predicate()
            if result:
                return result
        except OSError:
            pass
        time.sleep(0.5)
    raise AssertionError("timed out waiting for " + what)


class Stack:
    """Apache, varnockd, snmp_exporter and Prometheus in one scratch dir."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ostrik-prometheus-")
        # Apache's children (www-data) must reach their password file.
        os.chmod(self.dir, 0o755)
        self.procs = []
        self.apache_dir = None
        self.apache_port = free_port()
        self.tls_port = free_port()
        self.agent = "127.0.0.1:%d" % free_port(socket.SOCK_DGRAM)
        self.exporter = "127.0.0.1:%d" % free_port()
        self.prometheus = "http://127.0.0.1:%d" % free_port()

    def spawn(self, name, argv):
        with open(os.path.join(self.dir, name + ".log"), "wb") as log:
            self.procs.append((name, subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=self.dir)))

    def log_tail(self, name):
        with open(os.path.join(self.dir, name + ".log"), errors="replace") as f:
            return f.read()[-2000:]

    def start(self):
        self.apache_dir = os.path.join(self.dir, "apache")
        # A log format with the virtual host and the time taken, so that
        # every column of the access log tables has an instance.
        start_apache_and_agent(self, ARGS, USER, PASSWORD, r'%v %h %l %u %t \"%r\" %>s %O %D',
                               https_hosts_conf(self.dir, self.tls_port))
        self.spawn("exporter", ["prometheus-snmp-exporter", "--config.file=" + os.path.join(HERE, "snmp.yml"),
                                "--web.listen-address=" + self.exporter])

        # The example configuration, pointed at this stack: the agent comes
        # from a file_sd file, scrapes and rule evaluations every 2 seconds.
        with open(os.path.join(HERE, "prometheus.yml")) as f:
            config = yaml.safe_load(f)
        config["global"].update(scrape_interval="2s", scrape_timeout="2s", evaluation_interval="2s")
        config["rule_files"] = [os.path.join(HERE, "ostrik.rules.yml")]
        jobs = {job["job_name"]: job for job in config["scrape_configs"]}
        ostrik = jobs["ostrik"]
        del ostrik["static_configs"]
        ostrik["file_sd_configs"] = [{"files": [os.path.join(self.dir, "agents", "*.yml")]}]
        os.mkdir(os.path.join(self.dir, "agents"))
        with open(os.path.join(self.dir, "agents", "fleet.yml"), "w") as f:
            yaml.safe_dump([{"targets": [self.agent]}], f)
        for rule in ostrik["relabel_configs"]:
            if rule.get("target_label") == "__address__":
                rule["replacement"] = self.exporter
        jobs["snmp_exporter"]["static_configs"] = [{"targets": [self.exporter]}]
        with open(os.path.join(self.dir, "prometheus.yml"), "w") as f:
            yaml.safe_dump(config, f)
        self.spawn("prometheus", ["prometheus", "--config.file=" + os.path.join(self.dir, "prometheus.yml"),
                                  "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
                                  "--web.listen-address=" + self.prometheus.split("//")[1]])

    def stop(self):
        stop_processes(self.procs, 15)
        if self.apache_dir:
            subprocess.run([APACHE, "stop", self.apache_dir], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)

    def check_running(self):
        for name, proc in self.procs:
            if proc.poll() is not None:
                raise AssertionError("%s exited (%s):\n%s" % (name, proc.returncode, self.log_tail(name)))

    def query(self, expr, at=None):
        """Runs an instant query; returns its result, raising on an error."""
        params = {"query": expr}
        if at is not None:
            params["time"] = "%.3f" % at
        url = self.prometheus + "/api/v1/query?" + urllib.parse.urlencode(params)
        try:
            body = json.loads(http_get(url))
        except urllib.error.HTTPError as e:
            body = json.loads(e.read())
        if body.get("status") != "success":
            raise AssertionError("query %r failed: %s" % (expr, body.get("error")))
        return body["data"]["result"]

    def api(self, path):
        return json.loads(http_get(self.prometheus + path))["data"]

    def request_pages(self, count):
        for _ in range(count):
            http_get("http://127.0.0.1:%d/" % self.apache_port)
            http_get("http://127.0.0.1:%d/app/" % self.apache_port)


def snmpget(agent, oids):
    """Values of numeric OIDs (without the leading dot) as the agent answers them."""
    values = {}
    for i in range(0, len(oids), 16):
        chunk = oids[i:i + 16]
        out = subprocess.run(["snmpget", "-v2c", "-c", "public", "-m", "", "-On", "-Oq", "-t", "2", agent] +
                             chunk, check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            oid, _, value = line.partition(" ")
            if value.startswith('"'):
                value = re.sub(r'\\(.)', r'\1', value[1:-1])
            values[oid.lstrip(".")] = value
    return values


def load_metrics():
    with open(os.path.join(HERE, "snmp.yml")) as f:
        return yaml.safe_load(f)["ostrik"]["metrics"]


def dashboard_queries(host, port):
    """Every query of the dashboard, with its variables filled in: (panel, expr)."""
    with open(os.path.join(HERE, "grafana-dashboard.json")) as f:
        dashboard = json.load(f)
    # Grafana puts a selected value into a regex match escaped, and the
    # escape's backslash escaped again inside the PromQL string.
    host = re.escape(host).replace("\\", "\\\\")
    fill = {"$host": host, "$port": str(port), "$__rate_interval": "30s"}
    queries = []
    for panel in dashboard["panels"]:
        for target in panel["targets"]:
            expr = target["expr"]
            for name, value in fill.items():
                expr = expr.replace(name, value)
            assert "$" not in expr, "unknown variable in " + target["expr"]
            queries.append((panel["title"], expr))
    # The host and port variables: label_values(SELECTOR, LABEL).
    for var in dashboard["templating"]["list"]:
        if var["type"] == "query":
            m = re.fullmatch(r"label_values\((.*), (\w+)\)", var["query"]["query"])
            assert m, var["query"]
            queries.append(("variable " + var["name"], m.group(1).replace("$host", host)))
    return dashboard, queries


class PrometheusIntegration(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = Stack()
        try:
            cls.stack.start()
            cls.metrics = load_metrics()
            # Wait until Prometheus has scraped the agent for a while after
            # the server's pages were read (the version is known) and the
            # rules have been evaluated.
            s = cls.stack
            # Until its storage is open Prometheus answers 503 in plain text.
            wait_for("Prometheus ready", lambda: s.check_running() or http_get(s.prometheus + "/-/ready"), 60)
            wait_for("the agent in Prometheus", lambda: s.check_running() or s.query(
                'up{job="ostrik",instance="%s"} == 1' % s.agent), 60)
            wait_for("the server's version", lambda: s.query(
                'apacheConfigVersion{apacheConfigVersion!="N/A"}'), 60)
            s.request_pages(20)
            time.sleep(12)
            s.request_pages(20)
            # The access log read, and its response time histogram recorded
            # often enough for a rate.
            wait_for("the response time histogram", lambda: s.query(
                'count_over_time(ostrik:apache_log_request_duration_seconds_bucket[30s]) > 1'), 60)
            wait_for("the certificates", lambda: len(s.query("apacheCertSecondsLeft")) == len(CERT_HOSTS), 60)
            wait_for("rules evaluated", lambda: all(
                not r["lastEvaluation"].startswith("0001")  # the zero time: not yet
                for g in s.api("/api/v1/rules")["groups"] for r in g["rules"]), 30)
        except BaseException:
            for name, _ in cls.stack.procs:
                sys.stderr.write("--- %s log:\n%s\n" % (name, cls.stack.log_tail(name)))
            cls.stack.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()

    def test_every_metric_has_a_series_for_the_server(self):
        s = self.stack
        # Each metric is named after the MIB object at its OID.
        names = ["OSTRIK-MIB::" + m["name"] for m in self.metrics]
        out = subprocess.run(["snmptranslate", "-M", ARGS.base_mibs + ":" + os.path.join(SOURCE, "mib"),
                              "-m", "OSTRIK-MIB", "-On"] + names, check=True, capture_output=True, text=True).stdout
        self.assertEqual(out.split(), ["." + m["oid"] for m in self.metrics])
        for metric in self.metrics:
            with self.subTest(metric=metric["name"]):
                result = s.query('%s{job="ostrik",instance="%s"}' % (metric["name"], s.agent))
                if not result and metric["name"] in SHOWN_AT_TIMES:
                    continue
                if metric.get("indexes", [{}])[0].get("labelname") == "apacheCertPort":
                    # A row per HTTPS host: the long one's.
                    self.assertEqual({r["metric"].get("apacheCertName") for r in result}, set(CERT_HOSTS))
                    result = [r for r in result if r["metric"]["apacheCertName"] == "long.test"]
                if metric["type"] == "EnumAsStateSet":
                    # One series per state, 1 for the present one.
                    self.assertEqual(sorted(r["metric"][metric["name"]] for r in result),
                                     sorted(metric["enum_values"].values()))
                    self.assertEqual(sorted(r["value"][1] for r in result), ["0"] * (len(result) - 1) + ["1"])
                    result = [r for r in result if r["value"][1] == "1"]
                self.assertEqual(len(result), 1, result)
                labels = result[0]["metric"]
                if metric.get("indexes", [{}])[0].get("labelname") == "apacheCertPort":
                    self.assertEqual(labels.get("apacheCertPort"), str(s.tls_port))
                elif metric.get("indexes"):
                    self.assertEqual(labels.get("apacheConfigPort"), str(s.apache_port))
                if metric["type"] == "DisplayString":
                    # Text as a label of an info-style series, not as hex.
                    self.assertIn(metric["name"], labels)
                    self.assertEqual(result[0]["value"][1], "1")

    def test_values_equal_snmpget_at_the_same_moment(self):
        s = self.stack
        # A virtual host's row is indexed by the port, then the host's name:
        # its length and its bytes.
        vhost = s.query("apacheVhostLogLines")[0]["metric"]["apacheVhostLogName"].encode()
        vhost_index = ".%d.%s" % (len(vhost), ".".join(str(b) for b in vhost))
        # A balancer member's by the port, then the balancer's name and the
        # member's URL, each its length and bytes.
        member = s.query("apacheBalancerMemberElected")[0]["metric"]
        member_index = "".join(".%d.%s" % (len(n), ".".join(str(b) for b in n)) for n in (
            member["apacheBalancerMemberBalancer"].encode(), member["apacheBalancerMemberName"].encode()))
        oids = {}
        # A certificate's row by the TLS port and the name: the long one's.
        cert_index = ".%d.9.%s" % (s.tls_port, ".".join(str(b) for b in b"long.test"))
        for metric in self.metrics:
            suffix = ".%d" % s.apache_port if metric.get("indexes") else ".0"
            if metric.get("indexes", [{}])[0].get("labelname") == "apacheCertPort":
                suffix = cert_index
            elif len(metric.get("indexes", [])) == 2:
                suffix += vhost_index
            if len(metric.get("indexes", [])) == 3:
                suffix += member_index
            oids[metric["oid"] + suffix] = metric
        # A scrape that falls between two snmpgets: each value is what one of
        # them read; a count that only rises may have risen in between.
        s.request_pages(5)
        before = snmpget(s.agent, list(oids))
        after_before = time.time()
        wait_for("a scrape after the first snmpget", lambda: float(
            s.query('timestamp(up{job="ostrik"})')[0]["value"][1]) > after_before, 10)
        s.request_pages(5)
        # A state set's present state is its series of value 1.
        states = {m["name"] for m in self.metrics if m["type"] == "EnumAsStateSet"}
        scraped = {r["metric"]["__name__"]: r for r in s.query('{job="ostrik",__name__=~"apache.*|ostrik.*"}')
                   if (r["metric"]["__name__"] not in states or r["value"][1] == "1")
                   and r["metric"].get("apacheCertName", "long.test") == "long.test"}
        after = snmpget(s.agent, list(oids))
        for oid, metric in oids.items():
            name = metric["name"]
            with self.subTest(metric=name):
                a, b = before[oid], after[oid]
                if name in SHOWN_AT_TIMES and (a.startswith("No Such") or b.startswith("No Such")):
                    continue
                self.assertIn(name, scraped)
                if metric["type"] == "DisplayString":
                    self.assertIn(scraped[name]["metric"][name], (a, b))
                    continue
                if metric["type"] == "EnumAsStateSet":
                    states = metric["enum_values"]
                    self.assertIn(scraped[name]["metric"][name], (states[int(a)], states[int(b)]))
                    continue
                got = float(scraped[name]["value"][1])
                if metric["type"] == "DateAndTime":
                    # Seconds since the epoch of the octets "07 EA 0C 0C 04 38 3B 00 2B 00 00".
                    self.assertEqual(a, b)
                    o = [int(x, 16) for x in a.split()]
                    self.assertEqual(got, calendar.timegm((o[0] * 256 + o[1], o[2], o[3], o[4], o[5], o[6])))
                    continue
                a, b = float(a), float(b)
                if name == "apacheCertSecondsLeft":
                    a, b = -a, -b  # falls as time goes by
                    got = -got
                # Counts, the uptime and the ages of the last reads rise in
                # between (an age starts again from 0 at the next read).
                rising = metric["type"] == "counter" or re.search("Uptime|Age$", name)
                if not rising:
                    self.assertIn(got, (a, b))
                elif a <= b:
                    self.assertTrue(a <= got <= b, "%s: %s not within %s..%s" % (name, got, a, b))
                else:
                    self.assertTrue(got >= a or got <= b, "%s: %s outside %s.. and ..%s" % (name, got, a, b))

    def test_rule_expressions_evaluate(self):
        s = self.stack
        with open(os.path.join(HERE, "ostrik.rules.yml")) as f:
            rules = [r for g in yaml.safe_load(f)["groups"] for r in g["rules"]]
        self.assertTrue(rules)
        for rule in rules:
            with self.subTest(rule=rule.get("alert") or rule.get("record")):
                s.query(rule["expr"])  # raises on an error
                if "record" in rule:
                    self.assertTrue(s.query(rule["expr"]))
        # Prometheus loaded them and evaluates them without error; against a
        # healthy server only the certificate that expires in two days is
        # alerted on (pending for its 5 minutes).
        loaded = [r for g in s.api("/api/v1/rules")["groups"] for r in g["rules"]]
        self.assertEqual(len(loaded), len(rules))
        for rule in loaded:
            self.assertEqual(rule["health"], "ok", rule)
        alerts = s.api("/api/v1/alerts")["alerts"]
        self.assertEqual([(a["labels"]["alertname"], a["labels"].get("apacheCertName")) for a in alerts],
                         [("ApacheCertificateExpiring", "short.test")], alerts)

    def test_dashboard_queries_return_data(self):
        s = self.stack
        dashboard, queries = dashboard_queries(s.agent, s.apache_port)
        self.assertTrue(dashboard["panels"])
        for title, expr in queries:
            with self.subTest(panel=title, expr=expr):
                result = s.query(expr)
                self.assertTrue(result, "no data")
                self.assertTrue(any(r["metric"].get("apacheConfigPort") == str(s.apache_port)
                                    or r["metric"].get("apacheCertPort") == str(s.tls_port) for r in result)
                                or title.startswith("variable"), result)
        # The requests made show as a rate.
        rps = s.query(queries[0][1])
        self.assertGreater(float(rps[0]["value"][1]), 0)


def run_main(namespace):
    """Reads the programs under test from the command line into namespace's
    ARGS, then runs the tests of the calling script."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--varnockd", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--base-mibs", required=True, help="SNMPv2-SMI, SNMPv2-TC and SNMPv2-CONF")
    args, rest = parser.parse_known_args()
    args.varnockd, args.module = os.path.abspath(args.varnockd), os.path.abspath(args.module)
    namespace["ARGS"] = args
    unittest.main(module=namespace["__name__"], argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    run_main(globals())
