"""velka-auth-admin rotate-key against the test bed's running Dovecot: logins go on
while it runs, with none refused or failed temporarily; every stored text changes and the
old key is gone; and killed at each step of the way, every account still logs in and a
second run finishes the rotation. VELKA_ROTATION_ACCOUNTS sets the accounts of the run
under load (10,000 by default)."""
import json
import os
import shutil
import sqlite3
import subprocess
import time

import pytest

from conftest import TESTBED_SCRIPT, built
from passdb_bed import AUTH_CONF, QMAIL_DIR, plugin_bed, write
from testbed_client import BASE_DIR

ADMIN = "/usr/local/sbin/velka-auth-admin"
DATA = "/var/lib/velka-rotation"
LOADED_ACCOUNTS = int(os.environ.get("VELKA_ROTATION_ACCOUNTS", "10000"))
KILLED_ACCOUNTS = 1000
# Where a killed run stops, as the n-th call of a system call by velka-auth-admin:
# the new key created but empty; written but not synced; the transaction under way;
# the journal synced; the database written but not synced; at the commit (the
# journal's removal); committed but the key not renamed; renamed but not synced.
KILL_POINTS = [("fchown", 1), ("fsync", 1), ("pwrite64", 1), ("fdatasync", 3),
               ("fdatasync", 4), ("unlink", 1), ("renameat", 1), ("fsync", 3)]

AUTH = """auth_failure_delay = 0
auth_internal_failure_delay = 0
auth_mechanisms = plain login
passdb velka {
  driver = velka
  use_worker = yes
  velka_smtp_server = QMail
  velka_allow_maildir_stat = no
}
userdb static {
}
"""


@pytest.fixture(scope="module")
def bed(testbed):
    if shutil.which("strace") is None:
        pytest.skip("strace is missing: scripts/install-deps.sh installs it")
    admin = built("admin/velka-auth-admin")
    with plugin_bed(testbed, [AUTH_CONF, QMAIL_DIR, DATA, ADMIN]) as bed:
        shutil.copy2(admin, bed.path(ADMIN))
        write(bed, AUTH_CONF, AUTH)
        for count in (LOADED_ACCOUNTS, KILLED_ACCOUNTS):
            subprocess.run([built("bench/auth_bench_accounts"), "aes", str(count), "100",
                            bed.path(f"{DATA}/{count}")], check=True, stdout=subprocess.DEVNULL)
        bed.restart()
        yield bed


def use_accounts(bed, count):
    """The data set of count accounts as the QMail layout's database and key, new files
    renamed into place as a restore would, never rewritten under a reader's handle."""
    os.makedirs(bed.path(QMAIL_DIR), mode=0o750, exist_ok=True)
    for name, mode in (("passwd.db", 0o640), ("passwd_db_key", 0o400)):
        target = bed.path(f"{QMAIL_DIR}/{name}")
        shutil.copyfile(bed.path(f"{DATA}/{count}/{name}"), target + ".copy")
        os.chmod(target + ".copy", mode)
        os.rename(target + ".copy", target)
    for leftover in ("passwd_db_key.new", "passwd.db-journal"):
        if os.path.lexists(bed.path(f"{QMAIL_DIR}/{leftover}")):
            os.unlink(bed.path(f"{QMAIL_DIR}/{leftover}"))
    return bed.path(f"{DATA}/{count}/accounts.txt")


def load(bed, accounts, how, in_flight=16):
    """auth_load against the running Dovecot: for a number of seconds, or "once"."""
    return subprocess.Popen([built("bench/auth_load"), bed.path(f"{BASE_DIR}/auth-client"),
                             accounts, str(in_flight), str(how), "0"],
                            stdout=subprocess.PIPE, text=True)


def outcome(process):
    out, _ = process.communicate(timeout=300)
    assert process.returncode == 0, out
    return json.loads(out)


def all_log_in(bed, accounts):
    result = outcome(load(bed, accounts, "once"))
    assert (result["fail"], result["other"]) == (0, 0), result
    return result["ok"]


def rotate(bed, *wrapper):
    command = [*wrapper, TESTBED_SCRIPT, "run", ADMIN, "--style", "qmail", "rotate-key"]
    return subprocess.run(command, capture_output=True, text=True, timeout=600)


def stored_texts(bed):
    with sqlite3.connect(f"file:{bed.path(QMAIL_DIR + '/passwd.db')}?mode=ro", uri=True) as db:
        return dict(db.execute("SELECT id, userPassword FROM users"))


def key_bytes(bed):
    with open(bed.path(f"{QMAIL_DIR}/passwd_db_key"), "rb") as f:
        return f.read()


def test_logins_go_on_while_the_key_is_replaced(bed):
    accounts = use_accounts(bed, LOADED_ACCOUNTS)
    texts, old_key = stored_texts(bed), key_bytes(bed)
    clients = load(bed, accounts, 6)
    time.sleep(1.5)
    started = time.monotonic()
    rotation = rotate(bed)
    took = time.monotonic() - started
    result = outcome(clients)
    assert rotation.returncode == 0, rotation.stdout + rotation.stderr
    assert took < 4, f"the rotation ({took:.1f} s) outlasted the logins around it"
    assert (result["fail"], result["temp_fail"], result["other"]) == (0, 0, 0), result
    assert result["ok"] > 1000, result

    after = stored_texts(bed)
    assert after.keys() == texts.keys()
    assert all(after[i] != texts[i] for i in texts)
    assert key_bytes(bed) != old_key
    for name in os.listdir(bed.path(QMAIL_DIR)):
        with open(bed.path(f"{QMAIL_DIR}/{name}"), "rb") as f:
            assert old_key not in f.read(), name
    assert sorted(os.listdir(bed.path(QMAIL_DIR))) == ["passwd.db", "passwd_db_key"]
    assert os.stat(bed.path(f"{QMAIL_DIR}/passwd_db_key")).st_mode & 0o7777 == 0o400
    assert all_log_in(bed, accounts) == LOADED_ACCOUNTS


@pytest.mark.parametrize("syscall,nth", KILL_POINTS, ids=[f"{s}{n}" for s, n in KILL_POINTS])
def test_killed_anywhere_every_account_logs_in_and_a_second_run_finishes(bed, syscall, nth):
    accounts = use_accounts(bed, KILLED_ACCOUNTS)
    texts, old_key = stored_texts(bed), key_bytes(bed)
    killed = rotate(bed, "strace", "-f", "-o", "/dev/null", "-e",
                    f"inject={syscall}:signal=KILL:when={nth}")
    assert "Killed" in killed.stderr or killed.returncode != 0, killed.stdout + killed.stderr
    assert "Replaced the key" not in killed.stdout
    assert all_log_in(bed, accounts) == KILLED_ACCOUNTS
    verify = bed.run(ADMIN, "--style", "qmail", "verify")
    assert verify.returncode == 0, verify.stdout + verify.stderr

    second = rotate(bed)
    assert second.returncode == 0, second.stdout + second.stderr
    assert all_log_in(bed, accounts) == KILLED_ACCOUNTS
    assert key_bytes(bed) != old_key
    assert not os.path.lexists(bed.path(f"{QMAIL_DIR}/passwd_db_key.new"))
    after = stored_texts(bed)
    assert all(after[i] != texts[i] for i in texts)
