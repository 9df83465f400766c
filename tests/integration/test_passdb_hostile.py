"""The passdb plug-in in the test bed's real Dovecot 2.4 with its files damaged under it:
a database that is corrupt, missing, replaced or read-only, a key file that is short,
missing or unreadable, and a panel configuration file with odd lines. Each gives a
defined passdb result with one log line, the auth process survives, and lookups come
back once the file is sound again."""
import contextlib
import os
import re
import shutil
import socket
import time

import pytest

from passdb_bed import (AUTH_CONF, MAILNAMES, PLUGIN, QMAIL_DIR, VQA_CONF, FAILED, OK, TEMPFAIL,
                        configure, init_accounts, no_crash, plugin_bed, remove, write)
from conftest import read_or_none
from testbed_client import doveadm, imap

DB = f"{QMAIL_DIR}/passwd.db"
KEY = f"{QMAIL_DIR}/passwd_db_key"
ACCOUNTS = {  # name: (password, how it is stored: see add_account)
    "ann": ("Ann-pw-1201", ""),
    "ben": ("Ben-pw-2302", "unencrypted"),
    "cat": ("Cat-pw-3403", "crypt"),
}
DOMAIN = "hostile.test"
INTERNAL = "Internal error occurred during mail account lookup for user='{}'"
NOT_USABLE = "not usable: logins with encrypted passwords fail temporarily until it is"


@pytest.fixture(scope="module")
def bed(testbed):
    with plugin_bed(testbed, [AUTH_CONF, VQA_CONF, QMAIL_DIR, f"{MAILNAMES}/{DOMAIN}"],
                    required=(PLUGIN,)) as bed:
        make_accounts(bed)
        configure(bed, worker=False)
        yield bed


def make_accounts(bed):
    init_accounts(bed, [(f"{name}@{DOMAIN}", password, how)
                        for name, (password, how) in ACCOUNTS.items()])


def login(bed, name, password=None):
    return doveadm(bed, f"{name}@{DOMAIN}", password or ACCOUNTS[name][0])[0]


def all_log_in(bed):
    for name in ACCOUNTS:
        assert login(bed, name) == OK, name


def put(bed, inside, data):
    """Rewrites a file in place, so that owner, group and mode stay."""
    with open(bed.path(inside), "r+b") as f:
        f.truncate(0)
        f.write(data)


def away(bed, inside):
    os.rename(bed.path(inside), bed.path(inside + ".away"))


def repair(bed, inside, good):
    """Undoes a damage: the file back in its place, holding good."""
    if os.path.isdir(bed.path(inside)):
        os.rmdir(bed.path(inside))
    if os.path.exists(bed.path(inside + ".away")):
        os.replace(bed.path(inside + ".away"), bed.path(inside))
    put(bed, inside, good)


def test_damaged_or_missing_database_fails_internally_and_recovers(bed):
    start = bed.restart()
    all_log_in(bed)
    good = read_or_none(bed.path(DB))
    user = f"ann@{DOMAIN}"
    damages = {
        "garbage": lambda: put(bed, DB, b"\x5a" * 8192),
        "first page only": lambda: put(bed, DB, good[:4096]),
        "damaged header": lambda: put(bed, DB, good[:16] + b"\xa5" * 84 + good[100:]),
        "empty": lambda: put(bed, DB, b""),
        "missing": lambda: away(bed, DB),
        "directory": lambda: (away(bed, DB), os.mkdir(bed.path(DB))),
    }
    for what, damage in damages.items():
        damage()
        offset = bed.log_size()
        assert login(bed, "ann") == TEMPFAIL, what
        assert bed.wait_for_log(offset, INTERNAL.format(user)), what
        assert imap(bed, user, ACCOUNTS["ann"][0]) == "UNAVAILABLE", what
        repair(bed, DB, good)
        assert login(bed, "ann") == OK, f"no recovery after {what}"
    no_crash(bed, start)


def test_replaced_and_read_only_database(bed):
    start = bed.restart()
    all_log_in(bed)
    # A copy without ann renamed over the database, as a restore would do.
    shutil.copy2(bed.path(DB), bed.path(DB + ".new"))
    bed.run("sqlite3", DB + ".new", "DELETE FROM users WHERE name='ann'", check=True)
    bed.run("chgrp", "dovecot", DB + ".new", check=True)
    os.rename(bed.path(DB), bed.path(DB + ".old"))
    os.rename(bed.path(DB + ".new"), bed.path(DB))
    assert login(bed, "ann") == FAILED
    assert login(bed, "ben") == OK
    os.replace(bed.path(DB + ".old"), bed.path(DB))
    assert login(bed, "ann") == OK

    # Read-only for everyone, the database still serves.
    os.chmod(bed.path(DB), 0o440)
    bed.restart()
    all_log_in(bed)
    os.chmod(bed.path(DB), 0o640)
    no_crash(bed, start)


def test_unusable_key_files_keep_encrypted_passwords_locked(bed):
    """The key is read when the plug-in starts, so each case starts Dovecot anew."""
    good = read_or_none(bed.path(KEY))
    cases = {
        "short": lambda: put(bed, KEY, good[:10]),
        "missing": lambda: away(bed, KEY),
        "unreadable": lambda: os.chmod(bed.path(KEY), 0o400),
    }
    for what, damage in cases.items():
        damage()
        start = bed.restart()
        # An encrypted password that cannot be decrypted is a temporary failure; passwords
        # that need no key still log in.
        assert [login(bed, name) for name in ACCOUNTS] == [TEMPFAIL, OK, OK], what
        no_crash(bed, start)
        assert startup_lines(bed, start) == [started(bed, NOT_USABLE)], what
        repair(bed, KEY, good)
        os.chmod(bed.path(KEY), 0o440)
    start = bed.restart()
    all_log_in(bed)
    assert startup_lines(bed, start) == [started(bed, "usable")]


def startup_lines(bed, offset):
    """The plug-in's start-up lines since offset, without time stamps and worker pids."""
    return [re.sub(r"^auth-worker\(\d+\)", "auth-worker", line.split(" ", 3)[3])
            for line in bed.log_since(offset).splitlines() if "authdb velka: version" in line]


def started(bed, key_state, where="this auth process", process="auth"):
    """The start-up line: the ABI is the one of the headers it was built against."""
    config = read_or_none(bed.path("/usr/include/dovecot/config.h")).decode()
    abi = re.search(r'DOVECOT_ABI_VERSION "(.*)"', config).group(1)
    return (f"{process}: Info: authdb velka: version 0.1.0 for Dovecot ABI {abi} started: "
            f"layout QMail (set by velka_smtp_server), database {DB}, key file {KEY}"
            f"{' ' + key_state if key_state else ''}; lookups run in {where}")


@contextlib.contextmanager
def syslog(bed):
    """What the tree's processes send to syslog meanwhile: (priority, text) each."""
    path = bed.path("/dev/log")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sent = []
    try:
        yield sent
    finally:
        sock.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            while True:
                message = sock.recv(65536).decode("utf-8", "replace")
                priority, _, text = message[1:].partition(">")
                sent.append((int(priority), text))
        sock.close()
        os.unlink(path)


@pytest.mark.parametrize("velka_blocking", ["no", "yes"])
def test_healthy_workers_with_a_root_only_key_log_no_alarm(bed, velka_blocking):
    """use_worker = yes and a key only root reads: the auth process leaves the key to
    the workers, and nothing from start to stop is an error. velka_blocking changes
    nothing: use_worker decides."""
    bed.run("chown", "root:root", KEY, check=True)
    os.chmod(bed.path(KEY), 0o400)
    lines = read_or_none(bed.path(AUTH_CONF)).decode()
    try:
        configure(bed, worker=True)
        write(bed, AUTH_CONF, read_or_none(bed.path(AUTH_CONF)).decode().replace(
            "  driver = velka\n", f"  driver = velka\n  velka_blocking = {velka_blocking}\n"))
        with syslog(bed) as sent:
            start = bed.restart()
            # ben's password, kept unencrypted, is logged as not decrypting.
            assert [login(bed, name) for name in ("ann", "cat")] == [OK, OK]
            bed.control("stop")
        log = bed.log_since(start)
        assert sorted(set(startup_lines(bed, start))) == sorted([
            started(bed, "", "auth-worker processes, which read the key file"),
            started(bed, "usable", "this auth-worker process", "auth-worker")]), log
        # The master's own warning about the stop signal is no alarm of ours.
        assert not re.search(r"auth(-worker\(\d+\))?: (Error|Warning|Panic|Fatal)|not usable",
                             log), log
        assert [(p, t) for p, t in sent if p & 7 <= 4 or "programming error" in t] == []
    finally:
        write(bed, AUTH_CONF, lines)
        bed.run("chgrp", "dovecot", KEY, check=True)
        os.chmod(bed.path(KEY), 0o440)


def test_stored_text_is_no_password_when_the_key_is_unusable(bed):
    stored = bed.run("sqlite3", DB, "SELECT userPassword FROM users WHERE name='ann'",
                     check=True).stdout.decode().strip()
    assert stored.startswith("$AES-256-CBC:PKCS$")
    os.chmod(bed.path(KEY), 0o400)
    try:
        bed.restart()
        assert login(bed, "ann", stored) == TEMPFAIL
    finally:
        os.chmod(bed.path(KEY), 0o440)


def test_odd_panel_configuration_lines(bed):
    """The plug-in reads the Maildir root from the panel's file: odd lines around it
    are skipped, and without the file the compiled-in root applies."""
    huge = "V" * 100000
    write(bed, VQA_CONF, "\n".join([
        "# comment", "", "   ", "NAME_WITHOUT_VALUE", "bad-name value", "\x01\x02 junk",
        f"LONG_VALUE {huge}", "VELKA_MAILNAMES_D /nonexistent  # replaced below",
        "VELKA_MAILNAMES_D\t" + MAILNAMES + "   # the last one wins", "\r", "TAIL x"]))
    start = bed.restart()
    all_log_in(bed)
    no_crash(bed, start)

    remove(bed.path(VQA_CONF))
    start = bed.restart()
    offset = bed.log_size()
    assert login(bed, "ann") == FAILED  # no Maildir under the compiled-in root
    assert bed.wait_for_log(offset, "Maildir for it doesn't exist at '/var/qmail/mailnames/")
    no_crash(bed, start)
    write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}\n")


def test_fifo_at_the_journal_fails_a_worker_lookup_promptly(bed):
    """SQLite opens the journal's name to see whether it is hot; a FIFO there must not
    hold a root auth worker until Dovecot's timeout."""
    configure(bed, worker=True)
    start = bed.restart()
    try:
        os.mkfifo(bed.path(DB + "-journal"), 0o600)
        began = time.monotonic()
        assert login(bed, "ann") == TEMPFAIL
        assert time.monotonic() - began < 10
        os.unlink(bed.path(DB + "-journal"))
        assert login(bed, "ann") == OK
    finally:
        if os.path.exists(bed.path(DB + "-journal")):
            os.unlink(bed.path(DB + "-journal"))
        configure(bed, worker=False)
        bed.restart()
    no_crash(bed, start)
