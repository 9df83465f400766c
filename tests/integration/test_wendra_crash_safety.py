"""wendra killed at random moments while it rewrites its include files: every file must
hold its old or its new content, no temporary file may look like an include file, and
doveconf must still accept conf.d. VELKA_CRASH_KILLS sets the kills per command (60),
VELKA_CRASH_SEED the seed of the kill moments (by default a new one each run)."""
import contextlib
import os
import random
import shutil
import signal
import subprocess
import time

import pytest

from conftest import CONF_D, configuration_kept, wendra_installed, wendra_started as start
from testbed_client import Shell

KILLS = int(os.environ.get("VELKA_CRASH_KILLS", "60"))
LIMIT_FILES = [f"92-velka-service-{s}.conf"
               for s in ("imap", "pop", "imap-login", "pop-login", "auth", "anvil")]
CERT_NAMES = [f"n{i}.crash.test" for i in range(6)]
CERT_FILES = [f"14-velka-sni-{n}.conf" for n in CERT_NAMES]
PEMS = ["/etc/dovecot/private/testbed.pem", "/etc/dovecot/private/wendra-crash.pem"]
TEMP_PREFIX = ".velka-tmp."


@pytest.fixture(scope="module")
def bed(testbed):
    wendra_installed(testbed)
    shutil.copy2(testbed.path(PEMS[0]), testbed.path(PEMS[1]))
    with configuration_kept(testbed):
        yield testbed
    os.unlink(testbed.path(PEMS[1]))


def doveconf_check(shell):
    """The exit status and error output of doveconf -n."""
    out = shell.send(b"doveconf -n >/dev/null 2>/tmp/doveconf.err; echo $?;"
                     b" cat /tmp/doveconf.err; echo .\n")
    return int(out.readline()), b"".join(iter(out.readline, b".\n"))


def run_to_end(bed, *args):
    proc, _ = start(bed, *args)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    return out


def snapshot(bed, names):
    conf_d = bed.path(CONF_D)
    return {n: open(os.path.join(conf_d, n), "rb").read() for n in names
            if os.path.exists(os.path.join(conf_d, n))}


def leftovers(bed):
    """Counts and removes a killed writer's temporary files; none may look like an include."""
    conf_d = bed.path(CONF_D)
    temps = [n for n in os.listdir(conf_d) if n.startswith(TEMP_PREFIX)]
    assert not [n for n in temps if n.endswith(".conf")], temps
    for name in temps:
        os.unlink(os.path.join(conf_d, name))
    return len(temps)


def reference_contents(bed, names, args_a, args_b):
    """The complete files that each of the two commands writes."""
    run_to_end(bed, *args_a)
    a = snapshot(bed, names)
    run_to_end(bed, *args_b)
    b = snapshot(bed, names)
    assert set(a) == set(b) == set(names)
    return a, b


def last_write(bed, names, args):
    """Seconds from wendra's start until its last change of one of names."""
    paths = [os.path.join(bed.path(CONF_D), n) for n in names]
    stamps = lambda: [os.stat(p).st_mtime_ns if os.path.exists(p) else 0 for p in paths]
    seen = stamps()
    proc, _ = start(bed, *args)
    began = last = time.monotonic()
    while proc.poll() is None:
        now = stamps()
        if now != seen:
            seen, last = now, time.monotonic()
        time.sleep(0.001)
    proc.communicate()
    assert proc.returncode == 0
    return last - began


def kill_at_random_moments(bed, names, variants):
    contents = reference_contents(bed, names, *variants)
    # Delays spread from wendra's start to a little after its last write.
    span = max(last_write(bed, names, variants[i % 2]) for i in range(4)) * 1.1
    rng = random.Random(int(os.environ.get("VELKA_CRASH_SEED", "0")) or None)
    current = snapshot(bed, names)
    counts = {"kills": 0, "before": 0, "mixed": 0, "after": 0, "finished": 0, "temps": 0}
    shell = Shell(bed)
    for i in range(KILLS):
        target = i % 2
        proc, pid = start(bed, *variants[target])
        time.sleep(rng.uniform(0, span))
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        proc.communicate(timeout=60)
        killed = proc.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL)
        counts["kills" if killed else "finished"] += 1
        now = snapshot(bed, names)
        assert set(now) == set(names), f"kill {i}: files missing: {set(names) - set(now)}"
        new = 0
        for name in names:
            assert now[name] in (current[name], contents[target][name]), \
                f"kill {i}: {name} is neither old nor new:\n{now[name]!r}"
            new += now[name] == contents[target][name] != current[name]
        changing = sum(current[n] != contents[target][n] for n in names)
        counts["before" if new == 0 else "after" if new == changing else "mixed"] += 1
        counts["temps"] += leftovers(bed)
        status, errors = doveconf_check(shell)
        assert status == 0, f"kill {i}: {errors.decode()}"
        current = now
    shell.close()
    return counts


@pytest.mark.parametrize("names,variants", [
    (LIMIT_FILES, [("--set-connections-limit", f"--limit={n}") for n in (1000, 37)]),
    (CERT_FILES, [("--install-certificate", f"--names={','.join(CERT_NAMES)}", f"--certfile={pem}")
                  for pem in PEMS])], ids=["limits", "certificates"])
def test_killed_writer_leaves_whole_files(bed, names, variants):
    counts = kill_at_random_moments(bed, names, variants)
    print(variants[0][0], counts)
    assert counts["kills"] > 0
