#!/usr/bin/env python3
"""Large results and uploads, end to end: qorvin-server on PostgreSQL and SQLite against libpq.

    python3 bench/large_data.py [--build DIR] [--large] [--rounds N] [--skip-sqlite]
                                [--link RATE]

Creates the table big_<n> (id integer, big bigint, amount double precision, name varchar(20),
stamp timestamp, note varchar(40)) with 100k and 1M rows (and 10M with --large) in a throw-away
PostgreSQL cluster (scripts/pg-cluster.sh) and in an SQLite file, starts qorvin-server on each and
measures, interleaved, each measurement in its own process (bench/large/bench_large_client):

  libpq         PQexec in text mode, every value read (the reference; PostgreSQL only)
  read T|H      SynchReadData through libQorvinClient.so loaded with dlopen
  dataset T|H   SynchReadDataSet, every row visited
  cli csv       `qorvin --format csv read ... > /dev/null` over T
  psql csv      `psql --csv -c "select ..." > /dev/null` (the CLI's reference)

For each: rows/s, ratio to libpq's rows/s for the same row count, client peak RSS, server peak
RSS above idle and server RSS after the read. Then the record-set image and blob sizes (the
server's blob writer run in process), 4 concurrent 1M-row reads over T (total time, server
peak), and uploads of 100k rows: ExecProcInsertTable through a one-insert procedure beside psql
single-row INSERTs and psql \\copy.

Speeds and memory depend on the machine; compare figures from the same run only. Before and after
each table the script prints how busy the CPUs were (from /proc/stat over a few seconds; the load
average lags), and "machine busy: no verdict" when more than 20% were busy at the start.

--link RATE (for example 100mbit, 1gbit; needs root, ip and tc) runs the whole benchmark in a
network namespace of its own whose loopback is limited to RATE with a token bucket (tc tbf), as a
desktop on that link sees it: libpq, psql and our clients cross the limited link, while
qorvin-server reaches PostgreSQL over the cluster's Unix socket, as a middle tier beside its
database does. The namespace is removed afterwards, however the run ends.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COLUMNS = "id, big, amount, name, stamp, note"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


BUSY_LIMIT = 0.20  # share of CPU time busy at the start past which no verdict is given


def cpu_times():
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle + iowait
    return sum(fields[:8]), idle


def cpu_busy(seconds=3.0):
    """Share of all CPUs' time spent busy over the next `seconds`."""
    total0, idle0 = cpu_times()
    time.sleep(seconds)
    total1, idle1 = cpu_times()
    total = total1 - total0
    return 1.0 - (idle1 - idle0) / total if total > 0 else 0.0


class Load:
    """How busy the machine was around each table; the verdict needs a quiet start."""

    def __init__(self):
        self.start = cpu_busy()
        self.quiet = self.start <= BUSY_LIMIT

    def header(self):
        verdict = "" if self.quiet else " — **machine busy: no verdict**"
        return f"CPUs busy at the start: {self.start:.0%}{verdict}"

    def around(self, title, body):
        before = cpu_busy()
        print(f"\n## {title}\n\nCPUs busy before: {before:.0%}"
              + ("" if before <= BUSY_LIMIT else " (busy)") + "\n")
        body()
        print(f"\nCPUs busy after: {cpu_busy():.0%}")


def parse_rate(text):
    """tc's rate for RATE (100mbit, 1gbit, 500kbit) and its bits per second."""
    m = re.fullmatch(r"(\d+)(k|m|g)bit", text.lower())
    if not m:
        raise argparse.ArgumentTypeError(f"{text!r}: give a rate such as 100mbit or 1gbit")
    bits = int(m.group(1)) * {"k": 10**3, "m": 10**6, "g": 10**9}[m.group(2)]
    return text.lower(), bits


def run_on_link(rate, argv):
    """Runs this script with `argv` inside a namespace whose loopback is limited to `rate`."""
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("tc"):
        sys.exit("--link needs root and the ip and tc programs (iproute2)")
    name, bits = rate
    ns = f"qorvin-bench-{os.getpid()}"
    # A bucket of about 10 ms at the rate, never smaller than loopback's 64 KiB packets.
    burst = max(bits // 8 // 100, 256 * 1024)
    subprocess.run(["ip", "netns", "add", ns], check=True)
    try:
        subprocess.run(["ip", "-n", ns, "link", "set", "lo", "up"], check=True)
        subprocess.run(["tc", "-n", ns, "qdisc", "add", "dev", "lo", "root", "tbf", "rate", name,
                        "burst", str(burst), "latency", "50ms"], check=True)
        log(f"namespace {ns}: loopback limited to {name}")
        status = subprocess.run(["ip", "netns", "exec", ns, sys.executable,
                                 os.path.abspath(__file__), *argv, "--on-link", name]).returncode
    finally:
        subprocess.run(["ip", "netns", "delete", ns], check=False)
    sys.exit(status)


class Cluster:
    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "pg")
        self.url = subprocess.check_output(
            [os.path.join(ROOT, "scripts/pg-cluster.sh"), "start", self.dir], text=True).strip()
        # The same database through the cluster's Unix socket (in its folder), which no link
        # limit touches: what a middle tier beside its database uses.
        m = re.fullmatch(r"postgresql://([^@]+)@127\.0\.0\.1:(\d+)/(\w+)", self.url)
        self.socket_url = (f"postgresql://{m.group(1)}@/{m.group(3)}?host={self.dir}"
                           f"&port={m.group(2)}") if m else self.url

    def allow_socket_passwords(self):
        """Lets the socket URL in with the password (the cluster knows local users by peer)."""
        hba = os.path.join(self.dir, "data", "pg_hba.conf")
        with open(hba) as f:
            rules = f.read()
        with open(hba, "w") as f:
            f.write("local all all scram-sha-256\n" + rules)
        self.psql("-c", "select pg_reload_conf()")

    def psql(self, *args, stdin=None):
        return subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", self.url, *args],
                              input=stdin, text=True, check=True, capture_output=True).stdout

    def stop(self):
        subprocess.run([os.path.join(ROOT, "scripts/pg-cluster.sh"), "stop", self.dir],
                       check=False, capture_output=True)


def sqlite_script(path, script):
    import sqlite3
    db = sqlite3.connect(path)
    try:
        db.executescript(script)
        db.commit()
    finally:
        db.close()


def create_tables(cluster, sqlite_path, sizes):
    table_sql = ("create table {t} (id integer, big bigint, amount double precision, "
                 "name varchar(20), stamp timestamp, note varchar(40))")
    for n in sizes:
        t = f"big_{n}"
        log(f"creating {t}")
        cluster.psql("-c", table_sql.format(t=t))
        cluster.psql("-c", f"insert into {t} select i, i * 1000003::bigint, i * 0.25, "
                     f"'name ' || i, timestamp '2024-01-01' + i * interval '1 second', "
                     f"'note text for row number ' || i from generate_series(1, {n}) i")
        if sqlite_path:
            script = (table_sql.format(t=t) + ";\n"
                      f"with recursive s(i) as (select 1 union all select i + 1 from s "
                      f"where i < {n}) insert into {t} select i, i * 1000003, i * 0.25, "
                      f"'name ' || i, datetime('2024-01-01', '+' || i || ' seconds'), "
                      f"'note text for row number ' || i from s;\n")
            sqlite_script(sqlite_path, script)
    cluster.psql("-c", table_sql.format(t="uploads"))
    if sqlite_path:
        sqlite_script(sqlite_path, table_sql.format(t="uploads") + ";")


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Server:
    def __init__(self, build, db, procedures, max_rows):
        args = [os.path.join(build, "server/qorvin-server"), "--db", db, "--procedures",
                procedures, "--http-port", "0", "--tcp-port", "0", "--udp-port", "-1", "--quiet",
                "--max-rows", str(max_rows), "--max-result-bytes", str(max_rows * 1024),
                "--max-request", str(1 << 30)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"http=(\d+) tcp=(\d+)", line)
        if not m:
            raise RuntimeError(f"qorvin-server did not start: {line!r}")
        self.ports = {"H": int(m.group(1)), "T": int(m.group(2))}
        self.idle_kb = status_kb(self.proc.pid, "VmRSS")

    def reset_peak(self):
        with open(f"/proc/{self.proc.pid}/clear_refs", "w") as f:
            f.write("5")

    def rss(self):
        return status_kb(self.proc.pid, "VmRSS")

    def peak(self):
        return status_kb(self.proc.pid, "VmHWM")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def run_child(args, stdout_to_null=False):
    """Runs one measurement; returns (dict from its JSON line or {}, wall seconds, maxrss_kb)."""
    import json
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL if stdout_to_null else subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    out = ""
    if not stdout_to_null:
        out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    result = {}
    if out.strip():
        try:
            result = json.loads(out.strip().splitlines()[-1])
        except ValueError:
            result = {"error": out.strip()[:200]}
    if os.waitstatus_to_exitcode(status) != 0 and "error" not in result:
        result["error"] = (err.strip() or f"exit {status}")[:200]
    return result, wall, usage.ru_maxrss


def mb(kb):
    return f"{kb / 1024:.0f}"


class Report:
    def __init__(self):
        self.rows = []

    def add(self, db, n, what, rows_per_s, ratio, client_kb, server_peak_kb, server_after_kb,
            note=""):
        self.rows.append((db, n, what, rows_per_s, ratio, client_kb, server_peak_kb,
                          server_after_kb, note))

    def print(self):
        head = ("db", "rows", "what", "rows/s", "x libpq", "client peak MB",
                "server peak-idle MB", "server after-idle MB", "note")
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for r in self.rows:
            db, n, what, rps, ratio, ckb, speak, safter, note = r
            cells = [db, f"{n:,}", what, f"{rps:,.0f}" if rps else "-",
                     f"{ratio:.2f}" if ratio else "-", mb(ckb) if ckb is not None else "-",
                     mb(speak) if speak is not None else "-",
                     mb(safter) if safter is not None else "-", note]
            print("| " + " | ".join(cells) + " |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--large", action="store_true", help="also 10M rows")
    ap.add_argument("--rounds", type=int, default=1, help="interleaved rounds per size")
    ap.add_argument("--skip-sqlite", action="store_true")
    ap.add_argument("--upload-rows", type=int, default=100000)
    ap.add_argument("--sizes", help="comma-separated row counts instead of 100k,1M[,10M]")
    ap.add_argument("--link", type=parse_rate,
                    help="limit the clients' link to RATE (100mbit, 1gbit, ...) in a namespace")
    ap.add_argument("--on-link", help=argparse.SUPPRESS)  # set inside the namespace
    a = ap.parse_args()
    if a.link:
        argv = sys.argv[1:]
        at = next(i for i, x in enumerate(argv) if x == "--link" or x.startswith("--link="))
        del argv[at:at + (1 if "=" in argv[at] else 2)]
        run_on_link(a.link, argv)

    client = os.path.join(a.build, "bench/large/bench_large_client")
    cli = os.path.join(a.build, "tools/qorvin")
    for path in (client, cli, os.path.join(a.build, "server/qorvin-server")):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: build the targets bench_large_client, qorvin, "
                     f"qorvin-server and QorvinClient first")
    sizes = [100000, 1000000] + ([10000000] if a.large else [])
    if a.sizes:
        sizes = [int(x) for x in a.sizes.split(",")]
    workdir = tempfile.mkdtemp(prefix="qorvin-bench-")
    os.chmod(workdir, 0o755)  # the cluster may run as another user
    procedures = os.path.join(workdir, "procedures")
    os.mkdir(procedures)
    with open(os.path.join(procedures, "AddRow.sql"), "w") as f:
        f.write("--! param @Id\n--! param @Big\n--! param @Amount\n--! param @Name\n"
                "--! param @Stamp\n--! param @Note\n"
                "insert into uploads (id, big, amount, name, stamp, note) "
                "values (@Id, @Big, @Amount, @Name, @Stamp, @Note)\nreturn 1\n")
    sqlite_path = None if a.skip_sqlite else os.path.join(workdir, "big.sqlite")
    load = Load()
    print(f"# Large data: {', '.join(f'{n:,}' for n in sizes)} rows, {a.rounds} round(s)"
          + (f", clients on a {a.on_link} link" if a.on_link else ", loopback") + "\n")
    print(load.header())
    cluster = Cluster(workdir)
    servers = {}
    report = Report()
    try:
        create_tables(cluster, sqlite_path, sizes)
        if a.on_link:
            cluster.allow_socket_passwords()
        max_rows = max(sizes)
        servers["pg"] = Server(a.build, cluster.socket_url if a.on_link else cluster.url,
                               procedures, max_rows)
        if sqlite_path:
            servers["sqlite"] = Server(a.build, sqlite_path, procedures, max_rows)
        for name, s in servers.items():
            log(f"{name}: idle RSS {mb(s.idle_kb)} MB, ports {s.ports}")

        def measure(db, n, what, args, libpq_rate, to_null=False):
            s = servers.get(db)
            base = s.rss() if s else None
            if s:
                s.reset_peak()
            result, wall, child_kb = run_child(args, stdout_to_null=to_null)
            seconds = result.get("seconds", wall)
            peak = s.peak() - base if s else None
            after = s.rss() - s.idle_kb if s else None
            note = result.get("error", "")
            rate = n / seconds if seconds and not note else 0
            ratio = rate / libpq_rate if libpq_rate and rate else 0
            log(f"{db} {n} {what}: {seconds:.3f} s {note}")
            report.add(db, n, what, rate, ratio, child_kb, peak, after, note)
            return rate

        def reads():
            for n in sizes:
                read_round(n)
            report.print()

        def read_round(n):
            sql = f"select {COLUMNS} from big_{n}"
            for _ in range(a.rounds):
                libpq_rate = measure("libpq", n, "libpq text, every value",
                                     [client, "libpq", cluster.url, sql], None)
                psql_rate = measure("libpq", n, "psql --csv",
                                    ["psql", "-X", "--csv", "-c", sql, cluster.url], libpq_rate,
                                    to_null=True)
                for db in servers:
                    for letter in ("T", "H"):
                        port = str(servers[db].ports[letter])
                        measure(db, n, f"SynchReadData {letter}",
                                [client, "read", letter, port, sql], libpq_rate)
                        measure(db, n, f"SynchReadDataSet {letter}",
                                [client, "dataset", letter, port, sql], libpq_rate)
                    cli_rate = measure(db, n, "qorvin --format csv read (T)",
                                       [cli, "--connect", f"t://127.0.0.1:{servers[db].ports['T']}",
                                        "--inflate-budget", "16384", "--format", "csv", "read",
                                        sql], libpq_rate, to_null=True)
                    if cli_rate and psql_rate:
                        report.rows[-1] = report.rows[-1][:-1] + (
                            f"{cli_rate / psql_rate:.2f}x psql --csv",)

        def images():
            print("| db | rows | image MB | blob MB | writer s | writer peak RSS MB |")
            print("|---|---|---|---|---|---|")
            for n in sizes:
                for db, target in (("pg", cluster.url), ("sqlite", sqlite_path)):
                    if not target:
                        continue
                    r, _, kb = run_child([client, "sizes", target,
                                          f"select {COLUMNS} from big_{n}"])
                    if "error" in r:
                        print(f"| {db} | {n:,} | error: {r['error']} | | | |")
                        continue
                    print(f"| {db} | {n:,} | {r['image'] / 1e6:.1f} | {r['bytes'] / 1e6:.1f} | "
                          f"{r['seconds']:.2f} | {mb(kb)} |")

        def concurrent():
            big = 1000000 if 1000000 in sizes else max(sizes)
            print("| db | total s | server peak-idle MB | server after-idle MB | errors |")
            print("|---|---|---|---|---|")
            for db, s in servers.items():
                s.reset_peak()
                base = s.idle_kb
                start = time.monotonic()
                sql = f"select {COLUMNS} from big_{big}"
                procs = [subprocess.Popen([client, "read", "T", str(s.ports["T"]), sql],
                                          stdout=subprocess.PIPE, text=True) for _ in range(4)]
                outs = [p.communicate()[0] for p in procs]
                total = time.monotonic() - start
                errors = sum(1 for o, p in zip(outs, procs) if p.returncode != 0)
                print(f"| {db} | {total:.2f} | {mb(s.peak() - base)} | {mb(s.rss() - base)} | "
                      f"{errors} |")

        def uploads():
            print("| target | what | seconds | rows/s | x psql INSERT loop | client peak MB | "
                  "server peak-idle MB | note |")
            print("|---|---|---|---|---|---|---|---|")
            n = a.upload_rows
            inserts = os.path.join(workdir, "inserts.sql")
            with open(inserts, "w") as f:
                for r in range(1, n + 1):
                    f.write(f"insert into uploads values ({r}, {r * 1000003}, {r * 0.25}, "
                            f"'name {r}', '2024-01-{r % 28 + 1:02d} 10:{r % 60:02d}:00', "
                            f"'uploaded note number {r}');\n")
            csv_path = os.path.join(workdir, "rows.csv")
            with open(csv_path, "w") as f:
                for r in range(1, n + 1):
                    f.write(f"{r},{r * 1000003},{r * 0.25},name {r},"
                            f"2024-01-{r % 28 + 1:02d} 10:{r % 60:02d}:00,uploaded note number {r}\n")
            cluster.psql("-c", "truncate uploads")
            start = time.monotonic()
            cluster.psql("-f", inserts)
            loop = time.monotonic() - start
            print(f"| pg | psql, {n:,} single-row INSERTs | {loop:.2f} | {n / loop:,.0f} | 1.00 | - "
                  f"| - | |")
            cluster.psql("-c", "truncate uploads")
            start = time.monotonic()
            cluster.psql("-c", f"\\copy uploads from '{csv_path}' csv")
            copy = time.monotonic() - start
            print(f"| pg | psql \\copy | {copy:.2f} | {n / copy:,.0f} | {loop / copy:.2f} | - | - "
                  f"| |")
            for db, s in servers.items():
                if db == "pg":
                    cluster.psql("-c", "truncate uploads")
                else:
                    sqlite_script(sqlite_path, "delete from uploads;")
                base = s.rss()
                s.reset_peak()
                for letter in ("T",):
                    r, wall, kb = run_child([client, "upload", letter, str(s.ports[letter]),
                                             "AddRow", str(n)])
                    sec = r.get("seconds", wall)
                    note = r.get("error", "") or (f"{r.get('rows')} rows returned 1"
                                                  if r.get("rows") != n else "")
                    print(f"| {db} | ExecProcInsertTable AddRow ({letter}) | {sec:.2f} | "
                          f"{n / sec:,.0f} | {loop / sec:.2f} | {mb(kb)} | "
                          f"{mb(s.peak() - base)} | {note} |")

        load.around("Reads", reads)
        load.around("Record-set image and blob (server's writer, in process)", images)
        big = 1000000 if 1000000 in sizes else max(sizes)
        load.around(f"4 concurrent {big:,}-row reads (SynchReadData over T)", concurrent)
        load.around(f"Uploads of {a.upload_rows:,} rows", uploads)
        print(f"\n{load.header()}")
    finally:
        for s in servers.values():
            s.stop()
        cluster.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
