#!/usr/bin/env python3
"""What an account change costs with a million accounts: bench/accounts_scale.sh
runs this inside a private network namespace. Figures are printed, never
judged (the targets stand beside them).

  accounts_scale.py run OUT SERVER COMMITS SIZES [--postgres URI...] [--seconds S]
                    [--only PHASE,...]
      OUT      a folder for the databases, logs and the table
      SERVER   tovix-server (host-release)
      COMMITS  bench_sqlite_commits, for the disk's rate of single commits
      SIZES    comma-separated account counts, e.g. 10,1000000
      --postgres URI...  one empty database per size and one more for
               pgbench: two nodes share each (PostgreSQL mode)
      --only   just these of the phases below, by name: start, changes,
               token, latency, throughput, many, views, activity (start is
               always measured; the rest need it only to run)

For each size a database is made: the server lays it out on its first start
(then stops), `account add` makes one Argon2id hash that every account gets,
and the accounts a0000001..., their hosts h001.bench.example... with an A
record each, and one token per host (t000...0I, whose digest is its BLAKE2b)
are inserted in bulk. N accounts own max(N, 1024) hosts (round robin), so
the load of 1024 hosts is the same at every size. Account a0000001 is an
operator. Then, against a server started on it (two nodes on PostgreSQL):

  start -> listening, RSS after start; server CPU per account change (a
  token added or removed with the command line, one every 0.3 s); a token
  made on the command line until it works (curl-like polls), a removed one
  until it stops; on PostgreSQL the same across the nodes and through node
  A's web page; one update's latency; durable updates/s at 32 clients and
  p99 at 128 (wrk, load.lua, each host with its own token) beside the disk's
  single-commit rate or pgbench's; RSS over 1,000 account changes (token
  add/remove, account add/remove, in rounds of four); the operator's views
  (account list, list, the operator pages) timed; and, on a fresh server,
  the update p99 while the activity of 100,000 hosts is written (the
  server's once-a-minute write, --activity-interval left at its default).
"""
import base64
import hashlib
import http.client
import json
import os
import random
import re
import signal
import sqlite3
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse

ZONE = "bench.example"
PASSWORD = "bench-Pw-52"
LOAD_HOSTS = 1024
ACTIVE_HOSTS = 100000
CHANGES = 1000
CHANGES_BOUND = 240.0  # seconds for the 1,000 changes, whatever came first
POLL_BOUND = 60.0  # seconds a token is polled for
HERE = os.path.dirname(os.path.abspath(__file__))


def account_name(i):
    return "a%07d" % i


def host_name(i):
    return "h%03d.%s" % (i, ZONE)  # as load.lua names them


def token_of(i):
    return "t%025d" % i


def digest(token):
    return hashlib.blake2b(token.encode(), digest_size=32).hexdigest()


def address_of(i):
    return "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)


def basic(user, password):
    return base64.b64encode(f"{user}:{password}".encode()).decode()


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def percentile(values, p):
    if not values:
        return 0.0
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(round(p * len(s) + 0.5)) - 1))]


# ---- databases ------------------------------------------------------------------


class SqliteDb:
    kind = "sqlite"

    def __init__(self, path):
        self.where = path
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)

    def scalar(self, sql):
        con = sqlite3.connect(f"file:{self.where}?mode=ro", uri=True, timeout=10)
        try:
            return con.execute(sql).fetchone()[0]
        finally:
            con.close()

    def fill(self, accounts, hosts, password_hash, now):
        con = sqlite3.connect(self.where, isolation_level=None)
        con.execute("PRAGMA synchronous=OFF")
        con.execute("PRAGMA cache_size=-400000")
        zone_id = con.execute("SELECT id FROM domains WHERE name = ?", (ZONE,)).fetchone()[0]
        con.execute("BEGIN")
        con.executemany("INSERT INTO accounts (name, password_hash, admin) VALUES (?, ?, ?)",
                        ((account_name(i), password_hash, int(i == 1))
                         for i in range(1, accounts + 1)))
        owner = lambda i: account_name((i - 1) % accounts + 1)
        con.executemany("INSERT INTO account_hosts (host, account) VALUES (?, ?)",
                        ((host_name(i), owner(i)) for i in range(1, hosts + 1)))
        con.executemany("INSERT INTO hosts (name, account, zone, ipv4, updated_at)"
                        " VALUES (?, ?, ?, ?, ?)",
                        ((host_name(i), owner(i), ZONE, address_of(i), now)
                         for i in range(1, hosts + 1)))
        con.executemany("INSERT INTO records (domain_id, name, type, content, ttl, prio,"
                        " disabled, auth) VALUES (?, ?, 'A', ?, 60, 0, 0, 1)",
                        ((zone_id, host_name(i), address_of(i)) for i in range(1, hosts + 1)))
        con.executemany("INSERT INTO tovix_tokens (host, id, digest, label, created)"
                        " VALUES (?, 1, ?, 'bench', ?)",
                        ((host_name(i), digest(token_of(i)), now) for i in range(1, hosts + 1)))
        con.execute("COMMIT")
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        con.close()


class PostgresDb:
    kind = "postgresql"

    def __init__(self, uri):
        self.where = uri

    def psql(self, *args, stdin=None):
        return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                               self.where, *args], input=stdin, check=True, text=True,
                              stdout=subprocess.PIPE).stdout

    def scalar(self, sql):
        return int(self.psql("-c", sql).strip() or 0)

    def fill(self, accounts, hosts, password_hash, now):
        zone_id = self.scalar(f"SELECT id FROM domains WHERE name = '{ZONE}'")
        p = subprocess.Popen(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", self.where],
                             stdin=subprocess.PIPE, text=True, stdout=subprocess.DEVNULL)
        w = p.stdin.write

        def copy(table, rows):
            w(f"COPY {table} FROM STDIN;\n")
            for row in rows:
                w("\t".join(str(v) for v in row) + "\n")
            w("\\.\n")

        owner = lambda i: account_name((i - 1) % accounts + 1)
        w("BEGIN;\n")
        copy("accounts (name, password_hash, admin)",
             ((account_name(i), password_hash, int(i == 1)) for i in range(1, accounts + 1)))
        copy("account_hosts (host, account)",
             ((host_name(i), owner(i)) for i in range(1, hosts + 1)))
        copy("hosts (name, account, zone, ipv4, updated_at)",
             ((host_name(i), owner(i), ZONE, address_of(i), now) for i in range(1, hosts + 1)))
        copy("records (domain_id, name, type, content, ttl, prio, disabled, auth)",
             ((zone_id, host_name(i), "A", address_of(i), 60, 0, "f", "t")
              for i in range(1, hosts + 1)))
        copy("tovix_tokens (host, id, digest, label, created)",
             ((host_name(i), 1, digest(token_of(i)), "bench", now) for i in range(1, hosts + 1)))
        # A database that has grown has been analysed by autovacuum.
        w("COMMIT;\nVACUUM ANALYZE accounts, account_hosts, hosts, records, tovix_tokens;\n")
        p.stdin.close()
        if p.wait() != 0:
            raise RuntimeError("psql could not load the rows")


# ---- processes ------------------------------------------------------------------


def cpu_ticks(pid):
    """utime + stime of the process (every thread, exited ones too), in ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


TICK = 1.0 / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Server:
    """One tovix-server on 127.0.0.1:PORT, its standard error in a file."""

    def __init__(self, out, name, server, db, port, metrics_port, extra=()):
        self.name, self.port, self.metrics_port = name, port, metrics_port
        self.log_path = os.path.join(out, f"{name}.server.log")
        self.err = open(self.log_path, "w")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(
            [server, "--listen", f"127.0.0.1:{port}", "--db", db, "--zone", ZONE,
             "--no-default-account", "--metrics-listen", f"127.0.0.1:{metrics_port}", *extra],
            stdin=subprocess.DEVNULL, stdout=self.err, stderr=self.err)
        self.pid = self.proc.pid
        self.listening = None

    def wait_listening(self, bound=600.0):
        """Seconds from the start to the line saying it listens."""
        deadline = self.started + bound
        with open(self.log_path) as f:
            seen = ""
            while time.monotonic() < deadline:
                seen += f.read()
                if "listening on" in seen:
                    self.listening = time.monotonic()
                    return self.listening - self.started
                if self.proc.poll() is not None:
                    raise RuntimeError(f"{self.name} exited: {seen[-2000:]}")
                time.sleep(0.002)
        raise RuntimeError(f"{self.name} did not listen within {bound} s")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()

    def metric(self, name):
        c = http.client.HTTPConnection("127.0.0.1", self.metrics_port, timeout=10)
        try:
            c.request("GET", "/metrics")
            text = c.getresponse().read().decode()
        finally:
            c.close()
        m = re.search(r"^" + re.escape(name) + r" ([0-9.e+]+)$", text, re.M)
        return float(m.group(1)) if m else 0.0


def cli(server, db, *args, stdin=None):
    """Runs a command of tovix-server: (status, stdout, stderr, seconds)."""
    t = time.monotonic()
    done = subprocess.run([server, *args, "--db", db], input=stdin, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.returncode, done.stdout, done.stderr, time.monotonic() - t


def http_call(port, method, path, headers=None, body=None, source="127.0.0.1", timeout=120):
    """(status, headers, body bytes, seconds) of one request on a new connection."""
    t = time.monotonic()
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout,
                                   source_address=(source, 0))
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        return r.status, r.getheaders(), data, time.monotonic() - t
    finally:
        c.close()


def update(port, host, token, address, source="127.0.0.1"):
    status, _, body, seconds = http_call(
        port, "GET", f"/nic/update?hostname={host}&myip={address}",
        {"Authorization": "Basic " + basic(host, token), "User-Agent": "bench/1"}, source=source)
    return status, body.decode(errors="replace"), seconds


def poll_until(port, host, token, works, source, bound=POLL_BOUND):
    """Polls updates with `token` until it works (or, works=False, until it is
    refused); seconds from now until that answer came, or None."""
    t = time.monotonic()
    n = 0
    while time.monotonic() - t < bound:
        n += 1
        address = "fd02::%x" % n if works else "fd02::1"
        try:
            status, body, _ = update(port, host, token, address, source)
        except OSError:
            time.sleep(0.01)
            continue
        good = status == 200 and body.split(" ")[0] in ("good", "nochg")
        if good == works:
            return time.monotonic() - t
    return None


def poll_nodes(servers, host, token, works, source):
    """poll_until on every node at once (node N from source + N * 100 in
    its third byte), each timed from now."""
    found = [None] * len(servers)

    def one(n):
        a, b, c, d = source.split(".")
        found[n] = poll_until(servers[n].port, host, token, works,
                              f"{a}.{b}.{int(c) + 100 * n}.{d}")

    threads = [threading.Thread(target=one, args=(n,)) for n in range(len(servers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return found


class WebSession:
    """An operator signed in to the web page of the server on PORT."""

    def __init__(self, port, user, password, source):
        self.port, self.source = port, source
        form = urllib.parse.urlencode({"user": user, "password": password})
        status, headers, _, _ = http_call(port, "POST", "/signin",
                                          {"Content-Type": "application/x-www-form-urlencoded"},
                                          form, source)
        cookies = [v for k, v in headers if k.lower() == "set-cookie" and "session=" in v]
        if status != 303 and status != 302 or not cookies:
            raise RuntimeError(f"sign-in answered {status}")
        self.cookie = cookies[0].split(";")[0]
        _, _, page, _ = self.get("/password")
        self.csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', page).group(1).decode()

    def get(self, path):
        return http_call(self.port, "GET", path, {"Cookie": self.cookie}, source=self.source)

    def post(self, path, fields):
        form = urllib.parse.urlencode({"csrf": self.csrf, **fields})
        return http_call(self.port, "POST", path,
                         {"Cookie": self.cookie,
                          "Content-Type": "application/x-www-form-urlencoded"}, form, self.source)


def write_token_file(path, hosts):
    with open(path, "w") as f:
        for i in hosts:
            f.write(f"{host_name(i)} {basic(host_name(i), token_of(i))} {address_of(i)}\n")


def wrk(out, name, script, connections, seconds, port, args, enough=None):
    """Runs wrk; its BENCH line as a dict (empty when it failed). `enough`,
    asked every 0.1 s, may end the run early (SIGINT: wrk then reports)."""
    path = os.path.join(out, name + ".wrk")
    with open(path, "w") as f:
        p = subprocess.Popen(["wrk", f"-t{connections}", f"-c{connections}", f"-d{seconds}s",
                              "--timeout", "10s", "-s", script, f"http://127.0.0.1:{port}/",
                              "--", *args], stdout=f, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + seconds + 60
        interrupted = False
        while p.poll() is None:
            if time.monotonic() > deadline:
                p.kill()
            elif not interrupted and enough and enough():
                p.send_signal(signal.SIGINT)
                interrupted = True
            time.sleep(0.1)
    with open(path) as f:
        for line in f:
            if line.startswith("BENCH "):
                return dict(kv.split("=", 1) for kv in line.split()[1:])
    return {}


# ---- the measurements -----------------------------------------------------------


class Bench:
    def __init__(self, out, server, commits, seconds, only=None):
        self.out, self.server, self.commits, self.seconds = out, server, commits, seconds
        self.only = only  # the phases to run; None: all
        self.figures = {}  # label -> {size: text}
        self.notes = []
        self.sizes = []

    def put(self, size, label, value):
        self.figures.setdefault(label, {})[size] = value
        log(f"{size} accounts: {label}: {value}")

    def make(self, db, accounts):
        hosts = max(accounts, LOAD_HOSTS)
        log(f"making the database of {accounts} accounts, {hosts} hosts ({db.kind})")
        t = time.monotonic()
        s = Server(self.out, f"layout-{accounts}", self.server, db.where, 8091, 9191)
        try:
            s.wait_listening()
        finally:
            s.stop()
        status, _, err, _ = cli(self.server, db.where, "account", "add", "seed",
                                "seed." + ZONE, stdin=PASSWORD + "\n")
        if status != 0:
            raise RuntimeError("account add: " + err)
        if db.kind == "sqlite":
            con = sqlite3.connect(db.where)
            password_hash = con.execute(
                "SELECT password_hash FROM accounts WHERE name = 'seed'").fetchone()[0]
            con.close()
        else:
            password_hash = db.psql("-c", "SELECT password_hash FROM accounts"
                                          " WHERE name = 'seed'").strip()
        cli(self.server, db.where, "account", "remove", "seed")
        db.fill(accounts, hosts, password_hash, int(time.time()))
        log(f"made in {time.monotonic() - t:.1f} s")
        return hosts

    def start(self, db, accounts, nodes):
        """Starts the nodes one after the other: their start -> listening."""
        servers = []
        try:
            for n in range(nodes):
                name = "node" + "AB"[n] if nodes > 1 else "server"
                s = Server(self.out, f"{name}-{accounts}", self.server, db.where, 8081 + n,
                           9161 + n)
                servers.append(s)
                seconds = s.wait_listening()
                label = "start -> listening" + (f", node {'AB'[n]}" if nodes > 1 else "")
                self.put(accounts, label, f"{seconds:.2f} s")
        except Exception:
            for s in servers:
                s.stop()
            raise
        return servers

    def rss_after_start(self, accounts, servers):
        time.sleep(1.0)
        for n, s in enumerate(servers):
            label = "RSS after start" + (f", node {'AB'[n]}" if len(servers) > 1 else "")
            self.put(accounts, label, f"{rss_mb(s.pid):.0f} MB")

    def change_cpu(self, db, accounts, servers, count=40):
        """Server CPU per account change: a token added or removed on the
        command line every 0.3 s (after the command), less what the server
        spends idle over the same time: the lower of 3 s before the changes
        and 3 s after them (a server may still be busy with its start just
        before)."""
        host = host_name(7)

        def idle_rates():
            idle_t = time.monotonic()
            idle = [cpu_ticks(s.pid) for s in servers]
            time.sleep(3.0)
            return [(cpu_ticks(s.pid) - i) * TICK / (time.monotonic() - idle_t)
                    for s, i in zip(servers, idle)]

        # The start's own work (looking for hosts outside the zones) first
        # ends: at most 120 s of 1 s looks for a quiet one.
        waited = time.monotonic()
        while time.monotonic() - waited < 120:
            quiet = [cpu_ticks(s.pid) for s in servers]
            time.sleep(1.0)
            if all((cpu_ticks(s.pid) - q) * TICK < 0.02 for s, q in zip(servers, quiet)):
                break
        waited = time.monotonic() - waited
        idle_before = idle_rates()
        t = time.monotonic()
        before = [cpu_ticks(s.pid) for s in servers]
        cli_seconds = []
        for k in range(count):
            if k % 2 == 0:
                status, _, err, seconds = cli(self.server, db.where, "token", "add", host)
            else:
                status, _, err, seconds = cli(self.server, db.where, "token", "remove", host, "2")
            if status != 0:
                raise RuntimeError("token command: " + err)
            cli_seconds.append(seconds)
            time.sleep(0.3)
        time.sleep(1.0)
        wall = time.monotonic() - t
        spent_all = [(cpu_ticks(s.pid) - before[n]) * TICK for n, s in enumerate(servers)]
        idle_after = idle_rates()
        idle_rate = [min(b, a) for b, a in zip(idle_before, idle_after)]
        for n, s in enumerate(servers):
            spent = spent_all[n]
            per = (spent - idle_rate[n] * wall) / count
            node = f", node {'AB'[n]}" if len(servers) > 1 else ""
            self.put(accounts, f"server CPU per account change{node}",
                     f"{per * 1000:.1f} ms")
            self.notes.append(f"{accounts} accounts{node}: {count} changes in {wall:.1f} s took "
                              f"{spent:.2f} s of server CPU; idle {idle_before[n] * 1000:.1f} ms/s "
                              f"before (after {waited:.0f} s for a quiet second), "
                              f"{idle_after[n] * 1000:.1f} ms/s after")
        self.put(accounts, "the command line's token add/remove, median",
                 f"{statistics.median(cli_seconds) * 1000:.0f} ms")

    def token_works(self, db, accounts, servers, trials=5):
        """A token made on the command line until it works, on each node; a
        removed one until it is refused."""
        works = {n: [] for n in range(len(servers))}
        stops = {n: [] for n in range(len(servers))}
        for k in range(trials):
            i = 20 + k
            host = host_name(i)
            status, out, err, _ = cli(self.server, db.where, "token", "add", host)
            if status != 0:
                raise RuntimeError("token add: " + err)
            token = out.strip()
            token_id = re.search(r"token (\d+) of", err).group(1)
            for n, seconds in enumerate(poll_nodes(servers, host, token, True, f"127.0.1.{k}")):
                works[n].append(seconds)
            status, _, err, _ = cli(self.server, db.where, "token", "remove", host, token_id)
            if status != 0:
                raise RuntimeError("token remove: " + err)
            for n, seconds in enumerate(poll_nodes(servers, host, token, False, f"127.0.2.{k}")):
                stops[n].append(seconds)
        for n in works:
            node = f" (node {'AB'[n]})" if len(servers) > 1 else ""
            self.put(accounts, f"token made on the command line works after{node}",
                     spread(works[n]))
            self.put(accounts, f"token removed on the command line refused after{node}",
                     spread(stops[n]))

    def token_through_web(self, accounts, servers, trials=5):
        """On two nodes: a token made on node A's web page until it works on
        node B, and revoked there until node B refuses it."""
        a, b = servers
        web = WebSession(a.port, account_name(1), PASSWORD, "127.0.3.1")
        works, stops = [], []
        host = host_name(1)
        for k in range(trials):
            status, headers, page, _ = web.post(f"/host/{host}/token", {"label": "bench"})
            if status == 303:
                # The host's page shows the new token once, from a cookie the
                # redirect to it sets.
                location = [v for h, v in headers if h.lower() == "location"] or ["/"]
                sealed = [v.split(";")[0] for h, v in headers
                          if h.lower() == "set-cookie" and v.startswith("tovix_new_token=")]
                status, _, page, _ = http_call(a.port, "GET", location[0],
                                               {"Cookie": "; ".join([web.cookie] + sealed)},
                                               source=web.source)
            m = re.search(rb'id="token" readonly value="([a-z0-9]+)"', page)
            if status != 200 or not m:
                raise RuntimeError(f"token through the web page: {status}")
            token = m.group(1).decode()
            works.append(poll_until(b.port, host, token, True, f"127.0.3.{10 + k}"))
            ids = re.findall(rb'name="id" value="(\d+)"', page)
            web.post(f"/host/{host}/revoke", {"id": max(ids, key=int).decode()})
            stops.append(poll_until(b.port, host, token, False, f"127.0.3.{20 + k}"))
        self.put(accounts, "token made on node A's page works on node B after", spread(works))
        self.put(accounts, "token revoked on node A's page refused on node B after",
                 spread(stops))

    def latency(self, accounts, hosts, server, count=50):
        rng = random.Random(52)
        seconds = []
        for k in range(count):
            i = rng.randint(LOAD_HOSTS + 1, hosts) if hosts > LOAD_HOSTS else rng.randint(1, hosts)
            status, body, s = update(server.port, host_name(i), token_of(i),
                                     "fd03::%x" % (k + 1), "127.0.4.1")
            if not body.startswith("good"):
                raise RuntimeError(f"update answered {status} {body}")
            seconds.append(s)
        self.put(accounts, "one update (new connection, token), median / p90 / max",
                 " / ".join(f"{v * 1000:.1f}" for v in (statistics.median(seconds),
                                                       percentile(seconds, .9),
                                                       max(seconds))) + " ms")

    def disk_rate(self):
        path = os.path.join(self.out, "commits.db")
        done = subprocess.run([self.commits, path, "3"], stdout=subprocess.PIPE, text=True,
                              check=True)
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
        kv = dict(x.split("=", 1) for x in done.stdout.split()[1:])
        return int(kv["commits"]) / (int(kv["duration_us"]) / 1e6)

    def throughput(self, db, accounts, server, pg_commits):
        tokens = os.path.join(self.out, "load-tokens.txt")
        with open(tokens, "w") as f:
            for i in range(1, LOAD_HOSTS + 1):
                f.write(f"{host_name(i)} {basic(host_name(i), token_of(i))}\n")
        # Every host updated a few times first, not counted: each token is
        # looked up once after a start, and the measure is the steady state.
        wrk(self.out, f"warm-{accounts}", os.path.join(HERE, "load.lua"), 32, 3, server.port,
            [str(10 * len(self.sizes)), "32", str(LOAD_HOSTS), "@" + tokens])
        disk = [] if db.kind != "sqlite" else [self.disk_rate()]
        rate = {}
        for level, clients in ((1, 32), (2, 128)):
            r = wrk(self.out, f"load-{accounts}-{clients}", os.path.join(HERE, "load.lua"),
                    clients, self.seconds, server.port,
                    [str(level + 10 * len(self.sizes)), str(clients), str(LOAD_HOSTS),
                     "@" + tokens])
            if not r:
                self.put(accounts, f"durable updates/s, {clients} clients", "wrk failed")
                continue
            rate[clients] = int(r["good"]) / (int(r["duration_us"]) / 1e6)
            self.put(accounts, f"durable updates/s, {clients} clients", f"{rate[clients]:,.0f}")
            self.put(accounts, f"p50 / p99, {clients} clients",
                     f"{int(r['p50_us']) / 1000:.1f} / {int(r['p99_us']) / 1000:.1f} ms")
            other = int(r["other"]) + int(r["nochg"])
            if other:
                self.notes.append(f"{accounts} accounts, {clients} clients: {other} answers "
                                  "were not good")
            if db.kind == "sqlite":
                time.sleep(0.5)
                disk.append(self.disk_rate())
        if disk:
            self.put(accounts, "disk: single-row durable SQLite commits/s",
                     " / ".join(f"{d:,.0f}" for d in disk))
            if 32 in rate:
                self.put(accounts, "updates/s at 32 clients / disk's commits/s",
                         f"{rate[32] / statistics.mean(disk):.2f}")
        if pg_commits and 32 in rate:
            self.put(accounts, "updates/s at 32 clients / pgbench's 1-client commits/s",
                     f"{rate[32] / pg_commits:.2f}")
        return rate.get(32)

    def many_changes(self, db, accounts, servers):
        """RSS over 1,000 account changes on the command line (token add,
        token remove, account add, account remove), bounded in time."""
        host = host_name(8)
        before = [rss_mb(s.pid) for s in servers]
        peak = list(before)
        t = time.monotonic()
        done = 0
        while done < CHANGES and time.monotonic() - t < CHANGES_BOUND:
            step = done % 4
            extra = f"b{done // 4:07d}"
            if step == 0:
                r = cli(self.server, db.where, "token", "add", host)
            elif step == 1:
                r = cli(self.server, db.where, "token", "remove", host, "2")
            elif step == 2:
                r = cli(self.server, db.where, "account", "add", extra, f"x{done // 4}.{ZONE}",
                        stdin=PASSWORD + "\n")
            else:
                r = cli(self.server, db.where, "account", "remove", extra)
            if r[0] != 0:
                raise RuntimeError("change: " + r[2])
            done += 1
            if done % 20 == 0:
                peak = [max(p, rss_mb(s.pid)) for p, s in zip(peak, servers)]
        wall = time.monotonic() - t
        time.sleep(1.0)
        for n, s in enumerate(servers):
            after = rss_mb(s.pid)
            node = f", node {'AB'[n]}" if len(servers) > 1 else ""
            self.put(accounts, f"RSS before / after / peak over 1,000 account changes{node}",
                     f"{before[n]:.0f} / {after:.0f} / {max(peak[n], after):.0f} MB" +
                     (f" ({done} done in {CHANGES_BOUND:.0f} s)" if done < CHANGES else ""))
        self.notes.append(f"{accounts} accounts: {done} account changes on the command line "
                          f"in {wall:.1f} s")

    def views(self, db, accounts, hosts, server):
        """The operator's views: the command line's listings, the operator
        pages, the page of the operator's hosts. Where they page (a server
        whose --help names --prefix): the first page, a search by prefix
        and a page from the middle."""
        paged = "--prefix" in subprocess.run([self.server, "--help"], stdout=subprocess.PIPE,
                                             text=True).stdout
        middle_account, middle_host = account_name(accounts // 2), host_name(hosts // 2)
        prefix_account, prefix_host = account_name(accounts // 3)[:-2], host_name(hosts // 3)[:-15]
        listings = [("account", "list"), ("list",)]
        if paged:
            listings += [("account", "list", "--prefix", prefix_account),
                         ("account", "list", "--after", middle_account),
                         ("list", "--prefix", prefix_host), ("list", "--after", middle_host)]
        for args in listings:
            status, out, err, seconds = cli(self.server, db.where, *args)
            words = [a for i, a in enumerate(args) if i == 0 or not args[i - 1].startswith("--")]
            self.put(accounts, "`" + " ".join(words) + "`",
                     f"{seconds * 1000:,.0f} ms, {out.count(chr(10)):,} lines"
                     if status == 0 else f"failed: {err.strip()}")
        web = WebSession(server.port, account_name(1), PASSWORD, "127.0.5.1")
        pages = ["/admin/accounts"]
        if paged:
            pages += [f"/admin/accounts?prefix={prefix_account}",
                      f"/admin/accounts?after={middle_account}"]
        for path in pages + ["/admin/server", "/hosts", f"/host/{host_name(1)}"]:
            status, _, body, seconds = web.get(path)
            label = path.replace(middle_account, "MIDDLE").replace(prefix_account, "PREFIX")
            self.put(accounts, f"GET {label}",
                     f"{seconds * 1000:,.0f} ms, {len(body):,} bytes" if status == 200
                     else f"answered {status}")

    def activity(self, db, accounts, hosts, nodes):
        """A fresh server (node A): 100,000 hosts each send one nochg, then
        32 clients update while the server writes their activity. The write
        is seen from outside: it starts when the server's pending-hosts gauge
        falls, and ends when the database holds every host's row."""
        if hosts < ACTIVE_HOSTS:
            self.put(accounts, "update p99 while 100,000 hosts' activity is written",
                     "n/a (fewer hosts)")
            return
        touch = os.path.join(self.out, "touch.txt")
        write_token_file(touch, range(1, ACTIVE_HOSTS + 1))
        loaders = os.path.join(self.out, "record.txt")
        write_token_file(loaders, range(ACTIVE_HOSTS + 1 - LOAD_HOSTS, ACTIVE_HOSTS + 1))
        servers = self.start_quietly(db, accounts, nodes)
        s = servers[0]
        try:
            t = time.monotonic()
            since = int(time.time())
            r = wrk(self.out, f"touch-{accounts}", os.path.join(HERE, "accounts.lua"), 32, 120,
                    s.port, ["touch", touch, "32"],
                    enough=lambda: s.metric("tovix_activity_pending_hosts") >= ACTIVE_HOSTS)
            touched = time.monotonic() - t
            pending = s.metric("tovix_activity_pending_hosts") or 0
            self.notes.append(f"{accounts} accounts: 100,000 hosts touched in {touched:.1f} s "
                              f"({r.get('nochg', '?')} nochg); {pending:.0f} hosts pending")
            # The write comes a minute after the server started its writer
            # (just before it listened): record from 8 s before that on.
            due = s.listening + 60.0
            time.sleep(max(0.0, due - 8.0 - time.monotonic()))
            samples = []
            sampling = threading.Event()

            def sample():
                while not sampling.wait(0.02):
                    try:
                        samples.append((time.monotonic(),
                                        s.metric("tovix_activity_pending_hosts"),
                                        db.scalar("SELECT COUNT(*) FROM tovix_activity"
                                                  f" WHERE seen_at >= {since}")))
                    except Exception as e:  # a busy moment: the next sample
                        samples.append((time.monotonic(), None, None))
                        log(f"sample: {e}")

            sampler = threading.Thread(target=sample)
            sampler.start()
            prefix = os.path.join(self.out, f"record-{accounts}")
            # Until 3 s after the write (seen by the samples), at most 180 s.
            r = wrk(self.out, f"record-{accounts}", os.path.join(HERE, "accounts.lua"), 32, 180,
                    s.port, ["record", loaders, "32", "7", prefix],
                    enough=lambda: write_seen(samples, pending, 3.0))
            sampling.set()
            sampler.join()
        finally:
            for x in servers:
                x.stop()
        start, end = write_window(samples, pending)
        answers = []
        for n in range(32):
            try:
                with open(f"{prefix}.{n}") as f:
                    for line in f:
                        at, us, status, good = line.split()
                        answers.append((int(at) / 1e6, int(us) / 1000, int(good)))
            except FileNotFoundError:
                pass
        if start is None or end is None or not answers:
            self.put(accounts, "update p99 while 100,000 hosts' activity is written",
                     f"not seen (write start {start}, end {end}, {len(answers)} answers)")
            return
        # Every update under way at some moment of the write: one held up
        # by it started before and ended after.
        during = [ms for at, ms, _ in answers if at <= end and at + ms / 1000 >= start]
        before = [ms for at, ms, _ in answers if start - 5 <= at and at + ms / 1000 < start]
        self.put(accounts, "update p99 while 100,000 hosts' activity is written",
                 f"{percentile(during, .99):.1f} ms (max {max(during, default=0):.1f}; "
                 f"{len(during)} updates under way in the {end - start:.2f} s of the write)")
        self.put(accounts, "update p99 in the 5 s before the write",
                 f"{percentile(before, .99):.1f} ms ({len(before)} updates)")
        bad = sum(1 for _, _, good in answers if not good)
        if bad:
            self.notes.append(f"{accounts} accounts: {bad} of the recorded updates were not good")

    def start_quietly(self, db, accounts, nodes):
        servers = []
        for n in range(nodes):
            s = Server(self.out, f"activity{'AB'[n]}-{accounts}", self.server, db.where,
                       8081 + n, 9161 + n)
            servers.append(s)
            s.wait_listening()
        return servers

    def size(self, db, accounts, nodes, pg_commits):
        self.sizes.append(accounts)
        hosts = self.make(db, accounts)
        wanted = lambda phase: self.only is None or phase in self.only
        servers = self.start(db, accounts, nodes)
        try:
            self.rss_after_start(accounts, servers)
            if wanted("changes"):
                self.change_cpu(db, accounts, servers)
            if wanted("token"):
                self.token_works(db, accounts, servers)
                if nodes > 1:
                    self.token_through_web(accounts, servers)
            if wanted("latency"):
                self.latency(accounts, hosts, servers[0])
            if wanted("throughput"):
                self.throughput(db, accounts, servers[0], pg_commits)
            if wanted("many"):
                self.many_changes(db, accounts, servers)
            if wanted("views"):
                self.views(db, accounts, hosts, servers[0])
        finally:
            for s in servers:
                s.stop()
        if wanted("activity"):
            self.activity(db, accounts, hosts, nodes)

    def table(self):
        head = ["measure"] + [f"{n:,} accounts" for n in self.sizes]
        rows = [[label] + [by.get(n, "") for n in self.sizes] for label, by in self.figures.items()]
        widths = [max(len(r[c]) for r in rows + [head]) for c in range(len(head))]
        line = lambda r: "| " + " | ".join(v.ljust(w) for v, w in zip(r, widths)) + " |"
        text = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
        text += [line(r) for r in rows]
        return "\n".join(text + [""] + self.notes)


def write_window(samples, pending):
    """When the activity write started (the pending-hosts gauge fell below
    half of what was pending) and ended (the table held a row for each of
    them), from (moment, gauge, rows) samples; None for what was not seen."""
    start = end = None
    for when, gauge, rows in list(samples):
        if start is None and gauge is not None and gauge < pending / 2:
            start = when
        if start is not None and rows is not None and rows >= min(pending, ACTIVE_HOSTS):
            end = when
            break
    return start, end


def write_seen(samples, pending, after):
    end = write_window(samples, pending)[1]
    return end is not None and time.monotonic() > end + after


def spread(values):
    seen = [v for v in values if v is not None]
    missing = len(values) - len(seen)
    if not seen:
        return f"never within {POLL_BOUND:.0f} s"
    text = (f"median {statistics.median(seen) * 1000:,.0f} ms, max {max(seen) * 1000:,.0f} ms"
            f" ({len(values)} tokens)")
    return text + (f"; {missing} never within {POLL_BOUND:.0f} s" if missing else "")


def pgbench_rate(uri, out):
    """PostgreSQL's own rate of single-row durable commits, one client."""
    subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", uri, "-c",
                    "CREATE TABLE t (id serial PRIMARY KEY, v int)"], check=True)
    script = os.path.join(out, "pg-insert.sql")
    with open(script, "w") as f:
        f.write("INSERT INTO t (v) VALUES (1);\n")
    pgbench = os.path.join(os.environ.get("PG_BINDIR", ""), "pgbench")
    done = subprocess.run([pgbench if os.path.exists(pgbench) else "pgbench", "-n", "-f", script,
                           "-c", "1", "-j", "1", "-T", "3", uri], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    m = re.search(r"^tps = ([0-9.]+)", done.stdout, re.M)
    return float(m.group(1)) if m else None


def main():
    args = sys.argv[1:]
    if len(args) < 5 or args[0] != "run":
        sys.exit(__doc__)
    out, server, commits, sizes = args[1], args[2], args[3], [int(s) for s in args[4].split(",")]
    seconds = 5
    only = None
    uris = []
    rest = args[5:]
    while rest:
        if rest[0] == "--seconds":
            seconds = int(rest[1])
            rest = rest[2:]
        elif rest[0] == "--only":
            only = set(rest[1].split(","))
            rest = rest[2:]
        elif rest[0] == "--postgres":
            rest = rest[1:]
            while rest and not rest[0].startswith("--"):
                uris.append(rest.pop(0))
        else:
            sys.exit(f"unknown argument {rest[0]}")
    bench = Bench(out, server, commits, seconds, only)
    pg_commits = None
    if uris and (only is None or "throughput" in only):
        pg_commits = pgbench_rate(uris[-1], out)
        bench.notes.append(f"pgbench, 1 client, single-row commits: {pg_commits:,.0f}/s")
    for n, accounts in enumerate(sizes):
        db = PostgresDb(uris[n]) if uris else SqliteDb(os.path.join(out, f"accounts-{accounts}.db"))
        bench.size(db, accounts, 2 if uris else 1, pg_commits)
    print(bench.table())
    with open(os.path.join(out, "table.txt"), "w") as f:
        f.write(bench.table() + "\n")


if __name__ == "__main__":
    main()
