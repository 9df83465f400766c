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
import shutil
import subprocess

import pytest

from testbed_client import DOVECOT_CONF, Testbed, ask  # noqa: F401 (DOVECOT_CONF: for the tests)

TESTBED_SCRIPT = os.environ.get("VELKA_TESTBED")
BUILD_DIR = os.environ.get("VELKA_BUILD_DIR")
PROBE = "/usr/local/sbin/dovecot_probe"
# The test bed script knows its ports: each release's test bed has its own.
PORT_BASE = int(ask(TESTBED_SCRIPT, "port-base")) if TESTBED_SCRIPT else 14000
WENDRA_WRAPPER = shlex.split(os.environ.get("VELKA_WENDRA_WRAPPER", ""))
IMAP_PORT = PORT_BASE + 143
IMAPS_PORT = PORT_BASE + 993
POP3_PORT = PORT_BASE + 110
POP3S_PORT = PORT_BASE + 995
CONF_D = "/etc/dovecot/conf.d"
STATE = "/etc/velka-testbed"
CALLS = f"{STATE}/velkarc.calls"  # the service-control stand-in's log
WENDRA_BIN = os.environ.get("WENDRA_BIN")
WENDRA = "/usr/local/sbin/wendra"
# Programs in the tree get our own environment: no stray DC_* variable from the host.
CLEAN_ENV = ["env", "-u", "DC_INCLUDE_DIR", "-u", "DC_CONFIG_PATH"]
WENDRA_COMMAND = [*CLEAN_ENV, *WENDRA_WRAPPER, WENDRA]
READ_FAILED = (b"Fatal error: std::runtime_error(Failed to read and parse session mail data "
               b"from STDIN. See mail log for details.)\n")


@contextlib.contextmanager
def file_kept(path):
    """Restores the file at path (a host path) to its content, or its absence, on exit."""
    saved = read_or_none(path)
    try:
        yield
    finally:
        if saved is None:
            if os.path.exists(path):
                os.unlink(path)
        else:
            put_bytes(path, saved)


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def put_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


# wendra's write lock, which lives in conf.d and is no configuration.
WRITE_LOCK = ".wendra.lock"


def directory_contents(path):
    """The files of the directory at path (a host path) but the write lock: name to
    content."""
    return {name: read_or_none(os.path.join(path, name)) for name in os.listdir(path)
            if name != WRITE_LOCK}


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
            put_bytes(os.path.join(path, name), content)


@contextlib.contextmanager
def configuration_kept(testbed):
    """Restores conf.d and the service-control stand-in's state as found, and leaves
    Dovecot stopped."""
    with directory_kept(testbed.path(CONF_D)), file_kept(testbed.path(CALLS)):
        yield
        testbed.control("stop")
    for name in ("velkarc-fail", "velkarc-fail-stderr", "velkarc-delay"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(testbed.path(f"{STATE}/{name}"))


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


def built(relative):
    """Host path of a program of the build (VELKA_BUILD_DIR); skips the test when there is
    no build or the program was not built."""
    if not BUILD_DIR:
        pytest.skip("VELKA_BUILD_DIR is not set")
    path = os.path.join(BUILD_DIR, relative)
    if not os.path.exists(path):
        pytest.skip(f"{path} is missing: build, then testbed.sh install-build")
    return path


def wendra_installed(testbed):
    """Copies the wendra of WENDRA_BIN into the tree; skips the test without it."""
    if not WENDRA_BIN:
        pytest.skip("WENDRA_BIN is not set")
    shutil.copy2(WENDRA_BIN, testbed.path(WENDRA))


def wendra_started(bed, *args):
    """Starts wendra in the tree; returns the process and the pid of wendra itself
    (the shell prints its pid, then env and wendra take its place)."""
    proc = subprocess.Popen(
        [bed.script, "run", "sh", "-c", 'echo $$; exec env -u DC_INCLUDE_DIR "$@"', "-",
         WENDRA, *args],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc, int(proc.stdout.readline())


@contextlib.contextmanager
def probe_installed(testbed):
    """The build's test program dovecot_probe in the tree for the block; yields a function
    that runs it with the given arguments and environment words (NAME=value)."""
    shutil.copy2(built("tests/dovecot/dovecot_probe"), testbed.path(PROBE))

    def run(*args, env=()):
        return testbed.run(*CLEAN_ENV, *env, PROBE, *args)

    try:
        yield run
    finally:
        os.unlink(testbed.path(PROBE))


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
