#!/usr/bin/env python3
"""Time of velka-auth-admin rotate-key in the test bed's Dovecot, by number of accounts,
alone and with 16 logins in flight (bench/auth_load), and the logins refused or failed
temporarily meanwhile. The median over the repetitions is printed as one JSON line per
data set.

    VELKA_TESTBED=testbed/testbed.sh VELKA_BUILD_DIR=build \\
        python3 bench/rotation_bench.py [--reps N] [COUNT ...]

BUILD_DIR is a build with -DVELKA_BUILD_BENCH=ON whose plug-in is installed in the
test bed (testbed.sh install-build); the test bed's saved files are put back at the end.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from conftest import TESTBED_SCRIPT, built  # noqa: E402 (found through sys.path)
from passdb_bed import AUTH_CONF, QMAIL_DIR, plugin_bed, write  # noqa: E402
from test_key_rotation import ADMIN, AUTH, DATA, load, outcome, rotate, use_accounts  # noqa: E402
from testbed_client import Testbed  # noqa: E402


def timed_rotation(bed):
    started = time.monotonic()
    result = rotate(bed)
    assert result.returncode == 0, result.stdout + result.stderr
    return time.monotonic() - started


def measure(bed, count, reps):
    alone, loaded, failures = [], [], 0
    for _ in range(reps):
        use_accounts(bed, count)
        alone.append(timed_rotation(bed))
        accounts = use_accounts(bed, count)
        clients = load(bed, accounts, max(4.0, alone[-1] * 3 + 2))
        time.sleep(1)
        loaded.append(timed_rotation(bed))
        logins = outcome(clients)
        failures += logins["fail"] + logins["other"]
    return {"accounts": count, "rotate_s": statistics.median(alone),
            "rotate_under_load_s": statistics.median(loaded),
            "failed_logins": failures, "reps": reps}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("counts", nargs="*", type=int, default=[10000, 100000])
    options = parser.parse_args()
    testbed = Testbed(TESTBED_SCRIPT)
    with plugin_bed(testbed, [AUTH_CONF, QMAIL_DIR, DATA, ADMIN]) as bed:
        subprocess.run(["cp", built("admin/velka-auth-admin"), bed.path(ADMIN)], check=True)
        write(bed, AUTH_CONF, AUTH)
        for count in options.counts:
            subprocess.run([built("bench/auth_bench_accounts"), "aes", str(count), "100",
                            bed.path(f"{DATA}/{count}")], check=True, stdout=subprocess.DEVNULL)
        bed.restart()
        for count in options.counts:
            print(json.dumps(measure(bed, count, options.reps)), flush=True)


if __name__ == "__main__":
    main()
