"""wendra as a busy panel and a hostile user drive it: commands started together run one
at a time, paths and a user that Dovecot's master would refuse are refused before
anything changes, and a stop signal at any step leaves conf.d as it was or fully
changed, with Dovecot able to restart. VELKA_CONCURRENCY_ROUNDS sets the rounds of the
concurrency test (20), VELKA_STOP_SIGNALS the signals of the random stop test (20)."""
import contextlib
import os
import random
import re
import signal
import subprocess
import time

import pytest

from conftest import (CALLS, CONF_D, STATE, WENDRA_COMMAND, configuration_kept,
                      directory_contents, put_bytes, read_or_none, wendra_installed,
                      wendra_started)
from testbed_client import processes

ROUNDS = int(os.environ.get("VELKA_CONCURRENCY_ROUNDS", "20"))
STOPS = int(os.environ.get("VELKA_STOP_SIGNALS", "20"))
PEMS = ["/etc/dovecot/private/testbed.pem", "/etc/dovecot/private/wendra-busy.pem"]
CERT_NAMES = [f"c{i}.busy.test" for i in range(20)]
PROCESS_LIMITED = ["imap", "pop", "imap-login", "pop-login"]
CLIENT_LIMITED = ["auth", "anvil"]
REFUSED = (b"Unable to apply the Dovecot configuration: doveconf rejects it, so Dovecot was "
           b"not reloaded and the include files were put back as they were:\n")
TERMINATED = (-signal.SIGTERM, 128 + signal.SIGTERM)


@pytest.fixture(scope="module")
def bed(testbed):
    wendra_installed(testbed)
    put_bytes(testbed.path(PEMS[1]), read_or_none(testbed.path(PEMS[0])) +
              read_or_none(testbed.path("/etc/dovecot/private/testbed.key")))
    with configuration_kept(testbed):
        testbed.control("start")
        yield testbed
    os.unlink(testbed.path(PEMS[1]))


def wendra(bed, *args, timeout=120):
    return subprocess.run([bed.script, "run", *WENDRA_COMMAND, *args], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=timeout)


def conf_d(bed):
    return directory_contents(bed.path(CONF_D))


def reloads(bed):
    return (read_or_none(bed.path(CALLS)) or b"").count(b"\n")


def limits(bed):
    """The limit that the six service files hold, when they hold one command's."""
    files = conf_d(bed)
    value = lambda f, key: int(re.search(key + rb" = (\d+)", files[f]).group(1))
    process = {value(f"92-velka-service-{s}.conf", b"process_limit") for s in PROCESS_LIMITED}
    client = {value(f"92-velka-service-{s}.conf", b"client_limit") for s in CLIENT_LIMITED}
    assert len(process) == 1 and client == {2 * min(process) + 204}, (process, client)
    return process.pop()


def master_accepts(bed):
    result = bed.run("doveconf", "-C", "-F", "/bin/true")
    assert result.returncode == 0, result.stderr


def test_commands_started_together_run_one_at_a_time(bed):
    start = bed.log_size()
    for round_ in range(ROUNDS):
        pem = PEMS[round_ % 2]
        values = [100 + 10 * round_ + k for k in range(5)]
        commands = ([("--install-certificate", f"--names={n}", f"--certfile={pem}")
                     for n in CERT_NAMES] +
                    [("--set-connections-limit", f"--limit={v}") for v in values] +
                    [("--set-connections-limit", "--limit=0")])
        random.shuffle(commands)
        started = [(args, subprocess.Popen([bed.script, "run", *WENDRA_COMMAND, *args],
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)) for args in commands]
        for args, proc in started:
            out, err = proc.communicate(timeout=300)
            if args[-1] == "--limit=0":
                assert proc.returncode == 1 and err.startswith(REFUSED), err
                assert b"process_limit must be" in err, err
            else:
                assert (proc.returncode, err) == (0, b""), (round_, args, err)
        files = conf_d(bed)
        for name in CERT_NAMES:
            assert f"ssl_server_cert_file = {pem}\n".encode() in files[f"14-velka-sni-{name}.conf"]
        assert limits(bed) in values
        assert not [n for n in os.listdir(bed.path(CONF_D)) if n.startswith(".velka-tmp.")]
    master_accepts(bed)
    assert wendra(bed, "--set-connections-per-ip-limit", "--limit=10").returncode == 0
    bed.restart()
    log = bed.log_since(start)
    assert "Fatal" not in log, log[-3000:]


HOSTILE = "/tmp/wendra-hostile.pem"
# What each kind of certificate path names: a path of its own, or what to make at HOSTILE.
HOSTILE_PATHS = {
    "missing": "/etc/ssl/does-not-exist.pem", "directory": "/etc/ssl", "device": "/dev/zero",
    "fifo": os.mkfifo, "above the bound": lambda p: os.truncate(put_bytes(p, b"") or p, 2**20 + 1),
    "dangling link": lambda p: os.symlink("/etc/ssl/does-not-exist.pem", p),
    "link to a certificate": lambda p: os.symlink(PEMS[0], p)}


@pytest.mark.parametrize("kind", HOSTILE_PATHS)
def test_certificate_paths_dovecot_cannot_load_are_refused_at_once(bed, kind):
    before, calls = conf_d(bed), reloads(bed)
    path = HOSTILE_PATHS[kind]
    if callable(path):
        path(bed.path(HOSTILE))
        path = HOSTILE
    try:
        began = time.monotonic()
        result = wendra(bed, "--install-certificate", "--names=h.busy.test",
                        f"--certfile={path}", timeout=30)
        elapsed = time.monotonic() - began
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(bed.path(HOSTILE))
    if kind == "link to a certificate":
        assert (result.returncode, result.stderr) == (0, b"")
        assert f"= {path}\n".encode() in conf_d(bed)["14-velka-sni-h.busy.test.conf"]
        assert wendra(bed, "--remove-certificate", "--names=h.busy.test").returncode == 0
        return
    assert result.returncode == 1 and elapsed < 1.0, elapsed
    assert result.stderr.startswith(b"Unable to set custom SSL certificate for Dovecot: "
                                    b"certificate file '" + path.encode() +
                                    b"' cannot be used: "), result.stderr
    # Nothing changed; the reload that always follows is of the configuration as it was.
    assert (conf_d(bed), reloads(bed)) == (before, calls + 1)
    master_accepts(bed)
    bed.restart()


def test_quota_warning_without_its_user_is_refused(bed):
    passwd = bed.path("/etc/passwd")
    saved = read_or_none(passwd)
    before, calls = conf_d(bed), reloads(bed)
    put_bytes(passwd, re.sub(rb"(?m)^popuser:.*\n", b"", saved))
    try:
        result = wendra(bed, "--quota-warning-enable")
    finally:
        put_bytes(passwd, saved)
    assert result.returncode == 1
    assert result.stderr == (b"Unable to configure quota warning notification: the user popuser "
                             b"it runs as does not exist\n")
    assert (conf_d(bed), reloads(bed)) == (before, calls)
    bed.restart()


def limit_files(bed):
    return {n: c for n, c in conf_d(bed).items() if n.startswith("92-velka-service-")}


def stop_at(bed, delay, *args):
    """Starts wendra, sends it SIGTERM after delay seconds; its exit status and how long
    it took to end after the signal."""
    proc, pid = wendra_started(bed, *args)
    time.sleep(delay)
    signalled = time.monotonic()
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGTERM)
    proc.communicate(timeout=120)
    return proc.returncode, time.monotonic() - signalled


def test_stop_signal_at_random_moments_leaves_all_or_nothing(bed):
    wendra(bed, "--set-connections-limit", "--limit=1000")
    old = limit_files(bed)
    wendra(bed, "--set-connections-limit", "--limit=37")
    new = limit_files(bed)
    began = time.monotonic()
    wendra(bed, "--set-connections-limit", "--limit=1000")
    span = (time.monotonic() - began) * 1.2
    states = {"old": 0, "new": 0}
    current, other = old, new
    for i in range(STOPS):
        value = "37" if current is old else "1000"
        status, _ = stop_at(bed, random.uniform(0, span), "--set-connections-limit",
                            f"--limit={value}")
        assert status in (0, *TERMINATED), status
        now = limit_files(bed)
        assert now in (current, other), f"stop {i}: neither as it was nor fully changed"
        assert not [n for n in os.listdir(bed.path(CONF_D)) if n.startswith(".velka-tmp.")]
        states["old" if now == current else "new"] += 1
        if now == other:
            current, other = other, current
    print(states)
    master_accepts(bed)
    bed.restart()


def doveconf_running(bed):
    root = os.path.realpath(bed.root)
    count = 0
    for pid, _, name, _ in processes():
        with contextlib.suppress(OSError):
            if name == "doveconf" and os.path.realpath(f"/proc/{pid}/root") == root:
                count += 1
    return count


def test_stop_signal_while_doveconf_hangs_puts_the_files_back(bed):
    wendra(bed, "--set-connections-limit", "--limit=1000")
    before = conf_d(bed)
    # Another program's file names a FIFO: the check blocks on it, deaf to SIGTERM.
    os.mkfifo(bed.path("/tmp/other.pem"))
    put_bytes(bed.path(f"{CONF_D}/50-other.conf"),
              b"local_name other.test {\n  ssl_server_cert_file = /tmp/other.pem\n}\n")
    try:
        status, took = stop_at(bed, 1.5, "--set-connections-limit", "--limit=37")
        assert status in TERMINATED and took < 5, (status, took)
        assert {n: c for n, c in conf_d(bed).items() if n != "50-other.conf"} == before
        assert doveconf_running(bed) == 0
    finally:
        os.unlink(bed.path(f"{CONF_D}/50-other.conf"))
        os.unlink(bed.path("/tmp/other.pem"))
    master_accepts(bed)
    bed.restart()


def test_stop_signal_during_the_reload_waits_for_it(bed):
    wendra(bed, "--set-connections-limit", "--limit=1000")
    put_bytes(bed.path(f"{STATE}/velkarc-delay"), b"3\n")
    try:
        proc, pid = wendra_started(bed, "--set-connections-limit", "--limit=37")
        calls = reloads(bed)
        deadline = time.monotonic() + 30
        while reloads(bed) == calls and time.monotonic() < deadline:
            time.sleep(0.05)
        os.kill(pid, signal.SIGTERM)
        # A reading command never waits for the writer's lock.
        began = time.monotonic()
        assert wendra(bed, "--get-connections-per-ip-limit").returncode == 0
        assert time.monotonic() - began < 2 and proc.poll() is None
        proc.communicate(timeout=60)
    finally:
        os.unlink(bed.path(f"{STATE}/velkarc-delay"))
    assert proc.returncode in TERMINATED
    assert limits(bed) == 37
    bed.restart()
