#!/usr/bin/env python3
"""Logins per second of the velka passdb beside Dovecot's own sql (SQLite) and
passwd-file drivers, on the same accounts, in one run, in the test bed's Dovecot 2.4.

For every data set (10,000 and 100,000 AES-encrypted accounts, 10,000 SHA512-CRYPT
accounts, all across 100 domains) and every passdb, with use_worker = no and yes, it
writes the test bed's authentication file, restarts Dovecot and runs the auth-client
load generator with 1 and 16 requests in flight; then an IMAP LOGIN+LOGOUT session
benchmark with real clients (imaplib). The configurations of one repetition run one
after another; the figures reported are medians over the repetitions, and each ratio
is taken within one repetition. CPU per login is the CPU time of all Dovecot processes
(auth, auth workers, login and imap processes, master, log) during the measurement,
divided by the logins; the load generator's own CPU is reported apart.

Run through bench/run-auth-bench.sh, which sets the test bed up first.
"""
import argparse
import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from testbed_client import BASE_DIR, Testbed, imap  # noqa: E402 (found through sys.path)

TESTBED = os.path.join(HERE, "..", "testbed", "testbed.sh")
AUTH_CONF = "/etc/velka-testbed/auth.conf"
QMAIL_DIR = "/var/lib/velka/mail/auth"
BENCH_DIR = "/var/lib/velka-bench"

DATASETS = [("aes", 10000), ("aes", 100000), ("crypt", 10000)]
DRIVERS = ["velka", "sql", "passwd-file"]
PLUGIN = "/usr/lib/dovecot/modules/auth/libauthdb_velka.so"
PLUGINS = {}  # driver name -> plug-in library on the host ("velka", "velka-before")


BED = None  # the test bed, once the options are read


def host(inside):
    return BED.path(inside)


def dovecot_group():
    return int(BED.run("getent", "group", "dovecot", check=True).stdout.decode().split(":")[2])


def dataset_dir(kind, count):
    return f"{BENCH_DIR}/{kind}-{count}"


def make_datasets(build, datasets):
    group = dovecot_group()
    os.makedirs(host(BENCH_DIR), mode=0o755, exist_ok=True)
    for kind, count in datasets:
        out = host(dataset_dir(kind, count))
        if os.path.exists(os.path.join(out, "accounts.txt")):
            continue
        os.makedirs(out, exist_ok=True)
        print(f"making {count} {kind} accounts in {out}", file=sys.stderr)
        subprocess.run([os.path.join(build, "bench", "auth_bench_accounts"), kind, str(count),
                        "100", out], check=True)
        for name in ("passwd.db", "users.sqlite", "users.passwd"):
            os.chmod(os.path.join(out, name), 0o644)
        # The key file stays private to root and the dovecot group, as in production.
        key = os.path.join(out, "passwd_db_key")
        os.chown(key, 0, group)
        os.chmod(key, 0o440)


def select_velka_database(kind, count):
    """Copies the data set's database and key file to the QMail-layout paths."""
    group = dovecot_group()
    target = host(QMAIL_DIR)
    os.makedirs(target, exist_ok=True)
    os.chown(target, 0, group)
    os.chmod(target, 0o750)
    src = host(dataset_dir(kind, count))
    for name, mode in (("passwd.db", 0o640), ("passwd_db_key", 0o440)):
        tmp = os.path.join(target, name + ".new")
        with open(os.path.join(src, name), "rb") as f, open(tmp, "wb") as g:
            g.write(f.read())
        os.chown(tmp, 0, group)
        os.chmod(tmp, mode)
        os.rename(tmp, os.path.join(target, name))


def auth_conf(driver, kind, count, worker):
    data = dataset_dir(kind, count)
    lines = ["auth_cache_size = 0",
             "auth_failure_delay = 0",
             "auth_internal_failure_delay = 0",
             "auth_mechanisms = plain login"]
    if driver.startswith("velka"):
        lines += ["passdb velka {", "  driver = velka",
                  "  velka_smtp_server = QMail",
                  "  velka_allow_maildir_stat = no"]
    elif driver == "sql":
        lines += ["sql_driver = sqlite",
                  f"sqlite_path = {data}/users.sqlite",
                  "passdb sql {", "  driver = sql",
                  "  query = SELECT userid AS user, password FROM users WHERE userid = '%{user}'"]
    else:
        lines += ["passdb passwd-file {", "  driver = passwd-file",
                  f"  passwd_file_path = {data}/users.passwd"]
    lines += [f"  use_worker = {'yes' if worker else 'no'}", "}", "userdb static {", "}", ""]
    return "\n".join(lines)


def configure(driver, kind, count, worker):
    with open(host(AUTH_CONF), "w") as f:
        f.write(auth_conf(driver, kind, count, worker))
    if driver.startswith("velka"):
        select_velka_database(kind, count)
        # Another build of the plug-in (the one before a change) runs as its own
        # configuration; a rename leaves the running process's mapping intact.
        tmp = host(PLUGIN) + ".new"
        with open(PLUGINS[driver], "rb") as f, open(tmp, "wb") as g:
            g.write(f.read())
        os.chmod(tmp, 0o644)
        os.rename(tmp, host(PLUGIN))
    BED.restart()


def wait_quiet():
    """Lets processes of the previous measurement finish (login processes, workers)."""
    time.sleep(0.3)


def run_auth(build, kind, count, in_flight, seconds):
    accounts = host(f"{dataset_dir(kind, count)}/accounts.txt")
    wait_quiet()
    before = BED.cpu_seconds()
    out = subprocess.run([os.path.join(build, "bench", "auth_load"),
                          host(f"{BASE_DIR}/auth-client"), accounts, str(in_flight),
                          str(seconds), "0.5"], check=True, text=True,
                         stdout=subprocess.PIPE).stdout
    after = BED.cpu_seconds()
    result = json.loads(out)
    logins = result["ok"] + result["fail"] + result["other"]
    # The warm-up half second is in the CPU figure too; scale it out.
    share = result["seconds"] / (result["seconds"] + 0.5)
    result["server_cpu_us"] = (after - before) * share / max(logins, 1) * 1e6
    return result


# --- IMAP sessions --------------------------------------------------------------------

def imap_client(args):
    accounts, deadline = args
    durations, failures, i = [], 0, 0
    while time.monotonic() < deadline:
        user, password = accounts[i % len(accounts)]
        i += 1
        started = time.monotonic()
        try:
            succeeded = imap(BED, user, password) == "OK"
        except OSError:
            succeeded = False
        if succeeded:
            durations.append(time.monotonic() - started)
        else:
            failures += 1
    return durations, failures


def read_accounts(kind, count, limit):
    accounts = []
    with open(host(f"{dataset_dir(kind, count)}/accounts.txt")) as f:
        for line in f:
            user, password = line.rstrip("\n").split("\t")
            accounts.append((user, password))
    step = max(1, len(accounts) // limit)
    return accounts[::step][:limit]


def run_imap(accounts, clients, seconds):
    wait_quiet()
    shares = [accounts[i::clients] for i in range(clients)]
    before = BED.cpu_seconds()
    started = time.monotonic()
    with multiprocessing.Pool(clients) as pool:
        results = pool.map(imap_client, [(s, started + seconds) for s in shares])
    elapsed = time.monotonic() - started
    time.sleep(0.5)  # the last imap processes finish their logout
    after = BED.cpu_seconds()
    durations = sorted(d for r in results for d in r[0])
    failures = sum(r[1] for r in results)
    n = len(durations)

    def pct(p):
        return durations[min(n - 1, int(p * n))] * 1e6 if n else 0.0
    return {"ok": n, "fail": failures, "rate": n / elapsed, "p50_us": pct(0.5),
            "p90_us": pct(0.9), "p99_us": pct(0.99),
            "server_cpu_us": (after - before) / max(n, 1) * 1e6}


# --- report ---------------------------------------------------------------------------

def median(values):
    return statistics.median(values) if values else float("nan")


def summarise(runs, key):
    """Medians over repetitions of each figure of one configuration."""
    rows = runs.get(key, [])
    return {field: median([r[field] for r in rows])
            for field in ("rate", "p50_us", "p90_us", "p99_us", "server_cpu_us")} | {
        "fail": sum(r["fail"] + r.get("other", 0) for r in rows), "reps": len(rows)}


def ratio(runs, a, b):
    pairs = zip(runs.get(a, []), runs.get(b, []))
    return median([x["rate"] / y["rate"] for x, y in pairs if y["rate"] > 0])


def print_tables(auth, imap, datasets, flights, workers):
    print("\n## auth-client logins (PLAIN, auth cache off, auth_failure_delay = 0)\n")
    print("| data set | passdb | use_worker | in flight | logins/s | p50 µs | p90 µs | "
          "p99 µs | Dovecot CPU µs/login | failed | ratio velka/sql |")
    print("|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for kind, count in datasets:
        for worker in workers:
            for flight in flights:
                for driver in DRIVERS:
                    key = json.dumps([driver, kind, count, worker, flight])
                    if key not in auth:
                        continue
                    s = summarise(auth, key)
                    r = ""
                    if driver.startswith("velka"):
                        other = json.dumps(["sql", kind, count, worker, flight])
                        r = f"{ratio(auth, key, other):.2f}"
                    print(f"| {kind} {count} | {driver} | {'yes' if worker else 'no'} | "
                          f"{flight} | {s['rate']:.0f} | {s['p50_us']:.0f} | {s['p90_us']:.0f} "
                          f"| {s['p99_us']:.0f} | {s['server_cpu_us']:.0f} | {s['fail']} | {r} |")
    if imap:
        print("\n## IMAP LOGIN+LOGOUT sessions (imaplib clients)\n")
        print("| passdb | use_worker | sessions/s | p50 µs | p90 µs | p99 µs | "
              "Dovecot CPU µs/session | failed | ratio velka/sql |")
        print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        for worker in workers:
            for driver in DRIVERS:
                key = json.dumps([driver, worker])
                if key not in imap:
                    continue
                s = summarise(imap, key)
                r = ""
                if driver.startswith("velka"):
                    r = f"{ratio(imap, key, json.dumps(['sql', worker])):.3f}"
                print(f"| {driver} | {'yes' if worker else 'no'} | {s['rate']:.1f} | "
                      f"{s['p50_us']:.0f} | {s['p90_us']:.0f} | {s['p99_us']:.0f} | "
                      f"{s['server_cpu_us']:.0f} | {s['fail']} | {r} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="build directory with bench/ tools")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--imap-seconds", type=float, default=4.0)
    parser.add_argument("--imap-clients", type=int, default=4)
    parser.add_argument("--sets", default="aes-10000,aes-100000,crypt-10000")
    parser.add_argument("--flights", default="1,16")
    parser.add_argument("--workers", default="no,yes")
    parser.add_argument("--no-imap", action="store_true")
    parser.add_argument("--no-auth", action="store_true", help="IMAP sessions only")
    parser.add_argument("--json", help="write every single measurement here")
    parser.add_argument("--before-plugin",
                        help="also run this build of libauthdb_velka.so, as velka-before")
    args = parser.parse_args()
    global BED
    BED = Testbed(TESTBED)

    PLUGINS["velka"] = os.path.join(args.build, "mail", "dovecot", "authdb", "libauthdb_velka.so")
    if args.before_plugin:
        PLUGINS["velka-before"] = args.before_plugin
        DRIVERS.insert(1, "velka-before")

    datasets = [(s.split("-")[0], int(s.split("-")[1])) for s in args.sets.split(",")]
    flights = [int(f) for f in args.flights.split(",")]
    workers = [w == "yes" for w in args.workers.split(",")]
    if args.no_auth:
        datasets = []
    make_datasets(args.build, datasets + [("aes", 10000)])

    print(f"load average at start: {open('/proc/loadavg').read().strip()}", file=sys.stderr)
    auth, imap = {}, {}
    imap_accounts = read_accounts("aes", 10000, 200)
    try:
        for rep in range(args.reps):
            for kind, count in datasets:
                for worker in workers:
                    for driver in DRIVERS:
                        if kind == "crypt" and driver == "passwd-file":
                            continue
                        configure(driver, kind, count, worker)
                        for flight in flights:
                            r = run_auth(args.build, kind, count, flight, args.seconds)
                            key = json.dumps([driver, kind, count, worker, flight])
                            auth.setdefault(key, []).append(r)
                            print(f"rep {rep} {key}: {r['rate']:.0f}/s ok {r['ok']} "
                                  f"fail {r['fail']} cpu {r['server_cpu_us']:.0f} µs",
                                  file=sys.stderr)
            if args.no_imap:
                continue
            for worker in workers:
                for driver in DRIVERS:
                    if driver == "velka-before":
                        continue
                    configure(driver, "aes", 10000, worker)
                    if rep == 0 and not imap:
                        run_imap(imap_accounts, args.imap_clients, 2.0)  # homes made once
                    r = run_imap(imap_accounts, args.imap_clients, args.imap_seconds)
                    key = json.dumps([driver, worker])
                    imap.setdefault(key, []).append(r)
                    print(f"rep {rep} imap {key}: {r['rate']:.1f}/s ok {r['ok']} "
                          f"fail {r['fail']} cpu {r['server_cpu_us']:.0f} µs", file=sys.stderr)
    finally:
        BED.control("stop")
        BED.control("provision")  # the default authentication file again
    print(f"load average at end: {open('/proc/loadavg').read().strip()}", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"auth": auth, "imap": imap}, f, indent=1)
    print_tables(auth, imap, datasets, flights, workers)


if __name__ == "__main__":
    main()
