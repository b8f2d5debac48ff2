#!/usr/bin/env python3
"""A large read into a pandas DataFrame: the qorvin module beside libpq + pandas.

    python3 bench/python_dataframe.py [--build DIR] [--rows N] [--rounds R]

Creates big_N (id integer, big bigint, amount double precision, name varchar(20), stamp
timestamp, note varchar(40)), N rows (default 1,000,000), in a throw-away PostgreSQL cluster
(scripts/pg-cluster.sh), starts qorvin-server on it and reads the whole table into a DataFrame,
each measurement in a child process of its own, the two sides interleaved over R rounds (default
5; the side that goes first alternates):

  qorvin     cursor.execute("select ...") and cursor.fetch_dataframe() over T, through
             libQorvinClient.so and qorvin-server (the columns made from the data packet in C++)
  libpq      pandas.read_sql over a psycopg2 connection straight to the database (Debian's
             python3-psycopg2; the row is skipped with the reason without it)

For each: the time from connecting to the finished DataFrame (median and range over the
rounds), the child's peak RSS (median and range), rows/s, and the ratios of qorvin's medians to
libpq's. Figures depend on the machine: compare them within one run only; the script prints how
busy the CPUs were at the start and after ("machine busy: no verdict" past 20%).
"""
import argparse
import json
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import large_data  # noqa: E402 - the cluster, the table and the server of the large benchmark

ROOT = large_data.ROOT
SELECT = "select id, big, amount, name, stamp, note from big_%d"


def child(side, target, rows):
    """One measurement in this process: prints {"seconds", "rows"} as JSON."""
    import pandas  # both sides build a DataFrame: imported before the clock starts

    if side == "qorvin":
        import qorvin

        start = time.monotonic()
        with qorvin.connect(target, user_id="bench") as con:
            cur = con.cursor()
            cur.execute(SELECT % rows)
            frame = cur.fetch_dataframe()
    else:
        import psycopg2

        start = time.monotonic()
        con = psycopg2.connect(target)
        try:
            frame = pandas.read_sql(SELECT % rows, con)
        finally:
            con.close()
    seconds = time.monotonic() - start
    print(json.dumps({"seconds": seconds, "rows": len(frame)}))


def measure(side, target, rows):
    """(seconds, peak RSS in KiB) of one child, or an error text."""
    result, _wall, maxrss_kb = large_data.run_child(
        [sys.executable, os.path.abspath(__file__), "--child", side, target, str(rows)])
    if "error" in result:
        return result["error"]
    if result.get("rows") != rows:
        return "read %s rows of %d" % (result.get("rows"), rows)
    return result["seconds"], maxrss_kb


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        return child(a.child[0], a.child[1], int(a.child[2]))
    python_dir = os.path.join(a.build, "python")
    server_program = os.path.join(a.build, "server/qorvin-server")
    for path in (os.path.join(python_dir, "qorvin"), server_program):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: build the targets qorvin_python, qorvin-server and "
                     f"QorvinClient first")
    os.environ["PYTHONPATH"] = python_dir  # the children's qorvin
    sides = ["qorvin", "libpq"]
    skipped = {}
    for module in ("pandas", "psycopg2"):
        try:
            __import__(module)
        except ImportError:
            skipped["libpq"] = f"no {module} (Debian: python3-{module})"
    if "libpq" in skipped:
        sides.remove("libpq")
    workdir = tempfile.mkdtemp(prefix="qorvin-bench-")
    os.chmod(workdir, 0o755)  # the cluster may run as another user
    procedures = os.path.join(workdir, "procedures")
    os.mkdir(procedures)
    load = large_data.Load()
    print(f"# A read of {a.rows:,} rows into a DataFrame, {a.rounds} interleaved round(s)\n")
    print(load.header())
    cluster = large_data.Cluster(workdir)
    server = None
    results = {side: [] for side in sides}
    errors = {}
    try:
        large_data.create_tables(cluster, None, [a.rows])
        server = large_data.Server(a.build, cluster.url, procedures, a.rows)
        targets = {"qorvin": "t://127.0.0.1:%d" % server.ports["T"], "libpq": cluster.url}
        for r in range(a.rounds):
            for side in (sides if r % 2 == 0 else sides[::-1]):
                got = measure(side, targets[side], a.rows)
                if isinstance(got, str):
                    errors[side] = got
                else:
                    results[side].append(got)
                large_data.log(f"round {r + 1} {side}: {got}")
    finally:
        if server:
            server.stop()
        cluster.stop()
    print()
    print("| what | seconds (median) | range | rows/s | peak RSS MB (median) | range | "
          "x libpq time | x libpq memory | note |")
    print("|---|---|---|---|---|---|---|---|---|")
    medians = {side: (statistics.median([t for t, _ in runs]),
                      statistics.median([kb / 1024 for _, kb in runs]))
               for side, runs in results.items() if runs}
    for side in ["qorvin", "libpq"]:
        if side not in medians:
            note = skipped.get(side) or errors.get(side, "no run")
            print(f"| {side} | - | - | - | - | - | - | - | {note} |")
            continue
        times = [t for t, _ in results[side]]
        peaks = [kb / 1024 for _, kb in results[side]]
        t, m = medians[side]
        ratio_t = ratio_m = "-"
        if "libpq" in medians:
            ratio_t = f"{t / medians['libpq'][0]:.2f}"
            ratio_m = f"{m / medians['libpq'][1]:.2f}"
        note = errors.get(side, "")
        print(f"| {side} | {t:.3f} | {min(times):.3f}-{max(times):.3f} | {a.rows / t:,.0f} | "
              f"{m:.0f} | {min(peaks):.0f}-{max(peaks):.0f} | {ratio_t} | {ratio_m} | {note} |")
    print(f"\nCPUs busy after: {large_data.cpu_busy():.0%}")


if __name__ == "__main__":
    main()
