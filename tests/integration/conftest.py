"""Fixtures for tests that drive real programs in the Dovecot 2.4 test bed.

The test bed script is named by VELKA_TESTBED (scripts/test-all.sh sets it); without it
the tests that need the test bed are skipped. VELKA_RELEASE picks the test bed (and so
the Dovecot release), as it does for the test bed script. VELKA_WENDRA_WRAPPER puts a
command such as valgrind before wendra, where wendra runs (in the test bed or on the
host).
"""
import contextlib
import os
import shlex
import subprocess
import time

import pytest

TESTBED_SCRIPT = os.environ.get("VELKA_TESTBED")
DOVECOT_CONF = "/etc/dovecot/dovecot.conf"
# The test bed script knows its ports: each release's test bed has its own.
PORT_BASE = int(subprocess.run([TESTBED_SCRIPT, "port-base"], check=True, capture_output=True,
                               text=True).stdout) if TESTBED_SCRIPT else 14000
WENDRA_WRAPPER = shlex.split(os.environ.get("VELKA_WENDRA_WRAPPER", ""))
IMAP_PORT = PORT_BASE + 143
IMAPS_PORT = PORT_BASE + 993
POP3_PORT = PORT_BASE + 110
POP3S_PORT = PORT_BASE + 995


@contextlib.contextmanager
def file_kept(path):
    """Restores the file at path (a host path) to its content, or its absence, on exit."""
    saved = open(path, "rb").read() if os.path.exists(path) else None
    try:
        yield
    finally:
        if saved is None:
            if os.path.exists(path):
                os.unlink(path)
        else:
            with open(path, "wb") as f:
                f.write(saved)


def directory_contents(path):
    """The files of the directory at path (a host path): name to content."""
    contents = {}
    for name in os.listdir(path):
        with open(os.path.join(path, name), "rb") as f:
            contents[name] = f.read()
    return contents


@contextlib.contextmanager
def directory_kept(path):
    """Restores the directory at path (a host path) on exit: files made since go, the
    ones found get their content back. Yields the contents found."""
    saved = directory_contents(path)
    try:
        yield saved
    finally:
        for name in os.listdir(path):
            if name not in saved:
                os.unlink(os.path.join(path, name))
        for name, content in saved.items():
            with open(os.path.join(path, name), "wb") as f:
                f.write(content)


@contextlib.contextmanager
def certificates_made(testbed, names, prefix):
    """Self-signed certificates for names, each with its key in one PEM file of the
    tree's /etc/dovecot/private named after prefix and the name; yields name to path
    and removes the files on exit."""
    paths = {}
    try:
        for name in names:
            pem = f"/etc/dovecot/private/{prefix}-{name}.pem"
            testbed.make_certificate(name, pem)
            paths[name] = pem
        yield paths
    finally:
        for pem in paths.values():
            os.unlink(testbed.path(pem))


class Testbed:
    """Runs programs inside the test bed's root tree and manages its Dovecot."""

    def __init__(self, script):
        self.script = script
        self.root = self._ask("root")
        # The Dovecot release of the tree, such as (2, 4, 1), for the tests whose
        # expectations differ between releases.
        self.dovecot_version = tuple(int(n) for n in self._ask("version").split("."))

    def _ask(self, command):
        return subprocess.run([self.script, command], check=True, capture_output=True,
                              text=True).stdout.strip()

    def path(self, inside):
        """Host path of a path inside the tree."""
        return os.path.join(self.root, inside.lstrip("/"))

    def run(self, *args, input=None, check=False, env=None):
        return subprocess.run([self.script, "run", *args], input=input, capture_output=True,
                              check=check, env=env, timeout=120)

    def make_certificate(self, name, pem):
        """A self-signed certificate for name, its key in the same PEM file at pem."""
        result = self.run(
            "sh", "-c",
            'openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
            '-days 2 -subj "/CN=$1" -keyout "$2.key" -out "$2.crt" 2>/dev/null && '
            'cat "$2.crt" "$2.key" > "$2" && rm "$2.crt" "$2.key"',
            "-", name, pem)
        assert result.returncode == 0, result.stderr

    def served_subject(self, port, name):
        """The subject of the certificate served on port to a client asking for name."""
        result = self.run(
            "sh", "-c",
            'openssl s_client -connect "127.0.0.1:$1" -servername "$2" </dev/null 2>/dev/null'
            ' | openssl x509 -noout -subject',
            "-", str(port), name)
        assert result.returncode == 0, result.stderr
        return result.stdout.decode().strip().replace(" ", "")

    def control(self, action):
        subprocess.run([self.script, action], check=True, timeout=120)

    def auth_pid(self):
        """The PID of the running Dovecot's auth process (which the first
        authentication starts), or None."""
        with open(self.path("/run/velka-testbed/master.pid")) as f:
            master = f.read().strip()
        found = subprocess.run(["pgrep", "-P", master, "-x", "auth"], capture_output=True,
                               text=True).stdout.split()
        return found[0] if found else None

    def log_path(self):
        return self.path("/var/log/dovecot-test.log")

    def log_size(self):
        try:
            return os.path.getsize(self.log_path())
        except FileNotFoundError:
            return 0

    def log_since(self, offset):
        with open(self.log_path(), "rb") as log:
            log.seek(offset)
            return log.read().decode("utf-8", "replace")

    def wait_for_log(self, offset, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_since(offset):
                return True
            time.sleep(0.05)
        return False


@pytest.fixture(scope="session")
def testbed():
    if not TESTBED_SCRIPT:
        pytest.skip("VELKA_TESTBED is not set")
    bed = Testbed(TESTBED_SCRIPT)
    yield bed
    bed.control("stop")


@pytest.fixture
def dovecot(testbed):
    """A running test Dovecot; stopped again after the test."""
    testbed.control("start")
    yield testbed
    testbed.control("stop")
