#!/usr/bin/env python3
"""Small reads, as a desktop makes them all day: qorvin-server on PostgreSQL against pgbench.

    python3 bench/small_reads.py [--build DIR] [--rounds N] [--seconds S]

Creates big_100000 (the large-data benchmark's table, with an index on id) in a throw-away
PostgreSQL cluster and starts qorvin-server on it. Then, interleaved for N rounds, a 10-row and a
100-row `select ... where id between ...`:

  pgbench      `pgbench -n -f query.sql -c 1 -T S` (libpq, simple protocol, one connection)
  ours         SynchReadData over T on one kept connection for S seconds
               (bench/large/bench_large_client calls), with p50 and p99

and the server's CPU time per call (user + system, from /proc). Prints how busy the CPUs were
before and after, and "machine busy: no verdict" when more than 20% were busy at the start.
Compare figures from the same run only.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import large_data  # noqa: E402  (the cluster, the server, the load meter)

COLUMNS = large_data.COLUMNS
TABLE_ROWS = 100000
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def pgbench(url, sql, seconds, workdir):
    script = os.path.join(workdir, "query.sql")
    with open(script, "w") as f:
        f.write(sql + ";\n")
    out = subprocess.run(["pgbench", "-n", "-f", script, "-c", "1", "-T", str(seconds), url],
                         capture_output=True, text=True, timeout=seconds + 60)
    m = re.search(r"tps = ([\d.]+)", out.stdout)
    if out.returncode != 0 or not m:
        raise RuntimeError(f"pgbench failed: {out.stderr.strip() or out.stdout.strip()}")
    return float(m.group(1))


def ours(client, server, sql, seconds):
    before = cpu_seconds(server.proc.pid)
    out = subprocess.run([client, "calls", "T", str(server.ports["T"]), sql, str(seconds)],
                         capture_output=True, text=True, timeout=seconds + 60)
    cpu = cpu_seconds(server.proc.pid) - before
    r = json.loads(out.stdout.strip().splitlines()[-1]) if out.stdout.strip() else {}
    if "error" in r or out.returncode != 0:
        raise RuntimeError(f"read failed: {r.get('error') or out.stderr.strip()}")
    r["server_us"] = cpu / r["calls"] * 1e6 if r["calls"] else 0
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(large_data.ROOT, "build"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=3)
    a = ap.parse_args()
    client = os.path.join(a.build, "bench/large/bench_large_client")
    for path in (client, os.path.join(a.build, "server/qorvin-server")):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: build bench_large_client, qorvin-server and "
                     f"QorvinClient first")
    if not shutil.which("pgbench"):
        sys.exit("pgbench is missing (Debian's postgresql-contrib or postgresql package)")
    workdir = tempfile.mkdtemp(prefix="qorvin-small-")
    os.chmod(workdir, 0o755)
    load = large_data.Load()
    print(f"# Small reads from PostgreSQL, {a.rounds} round(s) of {a.seconds} s\n")
    print(load.header())
    cluster = large_data.Cluster(workdir)
    server = None
    try:
        large_data.create_tables(cluster, None, [TABLE_ROWS])
        cluster.psql("-c", f"create index on big_{TABLE_ROWS} (id)")
        cluster.psql("-c", f"analyze big_{TABLE_ROWS}")
        server = large_data.Server(a.build, cluster.url, workdir, TABLE_ROWS)
        rows = []

        def measure():
            for _ in range(a.rounds):
                for n in (10, 100):
                    sql = (f"select {COLUMNS} from big_{TABLE_ROWS} "
                           f"where id between 5001 and {5000 + n}")
                    tps = pgbench(cluster.url, sql, a.seconds, workdir)
                    r = ours(client, server, sql, a.seconds)
                    rate = r["calls"] / r["seconds"]
                    large_data.log(f"{n} rows: pgbench {tps:,.0f}/s, ours {rate:,.0f}/s")
                    rows.append((n, tps, rate, r["p50_us"], r["p99_us"], r["server_us"]))
            print("| rows | pgbench calls/s | ours calls/s | x pgbench | p50 µs | p99 µs | "
                  "p99 / p50 | server CPU µs/call |")
            print("|---|---|---|---|---|---|---|---|")
            for n, tps, rate, p50, p99, cpu in rows:
                print(f"| {n} | {tps:,.0f} | {rate:,.0f} | {rate / tps:.2f} | {p50:.0f} | "
                      f"{p99:.0f} | {p99 / p50:.1f} | {cpu:.1f} |")

        load.around("Reads (T, kept connection)", measure)
        print(f"\n{load.header()}")
    finally:
        if server:
            server.stop()
        cluster.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
