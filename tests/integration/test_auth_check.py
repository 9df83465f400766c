"""velka-auth-check on the test bed: a healthy installation passes, and each item it
checks, broken for real one at a time, is reported as the one failure, in the table
and in JSON. Accounts come from the plug-in tests' helpers."""
import contextlib
import json
import os
import shutil

import pytest

from conftest import DOVECOT_CONF, built, certificates_made, file_kept, put_bytes
from passdb_bed import (AUTH_CONF, DOMAINS, MAILNAMES, PASSWORDS, PLUGIN, POSTFIX_DIR, QMAIL_DIR,
                        SETTINGS_LIB, SMTP_SERVER, VQA_CONF, configure, make_accounts, plugin_bed,
                        write)

CHECK = "/usr/local/sbin/velka-auth-check"
CONF_D = "/etc/dovecot/conf.d"
SNI_FILE = f"{CONF_D}/14-velka-sni-sni.test.conf"
# The certificate is named through a link, as a certificate tool's live/ folder names it.
LIVE_CERT = "/etc/dovecot/private/authcheck-live-sni.test.pem"
QUOTA_FILE = f"{CONF_D}/20-velka-quota-warning.conf"
QUOTA_SCRIPT = "/usr/lib64/velka-9.0/send-quota-warning"
DATABASE = f"{QMAIL_DIR}/passwd.db"
KEY = f"{QMAIL_DIR}/passwd_db_key"


@pytest.fixture(scope="module")
def bed(testbed):
    check = built("authcheck/velka-auth-check")
    saved = [AUTH_CONF, SMTP_SERVER, VQA_CONF, QMAIL_DIR, POSTFIX_DIR, CHECK, SNI_FILE, LIVE_CERT,
             QUOTA_FILE] + [f"{MAILNAMES}/{d}" for d in DOMAINS]
    with plugin_bed(testbed, saved) as bed, \
            certificates_made(bed, ["sni.test", "other.test"], "authcheck") as pems:
        shutil.copy2(check, bed.path(CHECK))
        make_accounts(bed)
        configure(bed, worker=True)
        os.symlink(pems["sni.test"], bed.path(LIVE_CERT))
        write(bed, SNI_FILE, sni_block(LIVE_CERT, pems["sni.test"]))
        write(bed, QUOTA_FILE, QUOTA_WARNING)
        bed.pems = pems
        yield bed


def sni_block(cert, key):
    return (f"local_name sni.test {{\n  ssl_server_cert_file = {cert}\n"
            f"  ssl_server_key_file = {key}\n}}\n")


QUOTA_WARNING = f"""quota user {{
  warning warn-velka-95-quota {{
    quota_storage_percentage = 95
    execute quota-warning {{
      args = %{{user}}
    }}
  }}
}}

service quota-warning {{
    executable = script {QUOTA_SCRIPT}
    user = popuser
    unix_listener quota-warning {{
        user = popuser
    }}
}}
"""


def run_check(bed, *args):
    """(exit status, table output, checks by id from --json) of one pair of runs."""
    table = bed.run(CHECK, "-c", DOVECOT_CONF, *args)
    as_json = bed.run(CHECK, "-c", DOVECOT_CONF, "--json", *args)
    assert as_json.returncode == table.returncode, as_json.stderr
    document = json.loads(as_json.stdout)
    checks = {c["id"]: c for c in document["checks"]}
    return table.returncode, table.stdout.decode(), checks


def table_status(table, check_id):
    for line in table.splitlines():
        if line.startswith(check_id + " "):
            return line[len(check_id):].split()[0]
    return None


def test_a_healthy_installation_passes(bed):
    status, table, checks = run_check(bed)
    assert status == 0, table
    assert {c["status"] for c in checks.values()} == {"ok"}, table
    for expected in ("module.abi", "module.settings_library", "config.doveconf",
                     "config.passdb", "certificate sni.test", "quota.script", "quota.user",
                     "maildir.root", "layout", "database.file", "key.file", "database.open",
                     "database.integrity", "database.schema", "key.decrypt"):
        assert checks[expected]["status"] == "ok" and table_status(table, expected) == "ok"
    assert "QMail" in checks["layout"]["message"]


# The breaks: each a context manager that breaks one thing for real.

@contextlib.contextmanager
def kept(bed, *paths):
    """Restores the content and mode of files of the tree."""
    modes = {p: os.stat(bed.path(p)).st_mode for p in paths if os.path.exists(bed.path(p))}
    try:
        with contextlib.ExitStack() as stack:
            for p in paths:
                stack.enter_context(file_kept(bed.path(p)))
            yield
    finally:
        for p, mode in modes.items():
            os.chmod(bed.path(p), mode)


@contextlib.contextmanager
def changed(bed, change, *paths):
    """change() made to the files of the tree at paths, undone on exit."""
    with kept(bed, *paths):
        change()
        yield


@contextlib.contextmanager
def moved_away(bed, path):
    os.rename(bed.path(path), bed.path(path) + ".authcheck")
    try:
        yield
    finally:
        os.rename(bed.path(path) + ".authcheck", bed.path(path))


def other_abi(bed):
    data = open(bed.path(PLUGIN), "rb").read()
    at = data.index(b".ABIv") + 5
    other = b"8" if data[at:at + 1] != b"8" else b"9"
    open(bed.path(PLUGIN), "wb").write(data[:at] + other + data[at + 1:])


def corrupt(bed):
    """Garbage over every page after the schema page: SQLite still opens the file and
    reads the schema, quick_check finds the damage."""
    with open(bed.path(DATABASE), "r+b") as f:
        data = f.read()
        page = int.from_bytes(data[16:18], "big")
        f.seek(page + 100)
        f.write(b"\xa5" * (len(data) - page - 100))


def written(bed, path, text):
    return changed(bed, lambda: write(bed, path, text), path)


def mode(bed, path, new_mode):
    return changed(bed, lambda: os.chmod(bed.path(path), new_mode), path)


def configured(bed, **settings):
    return changed(bed, lambda: (configure(bed, **{"worker": True, **settings}),
                                 write(bed, SMTP_SERVER, "Exim\n")), AUTH_CONF, SMTP_SERVER)


BREAKS = {
    "module.abi": lambda bed: changed(bed, lambda: other_abi(bed), PLUGIN),
    "module.settings_library": lambda bed: moved_away(bed, SETTINGS_LIB),
    "config.doveconf": lambda bed: written(bed, f"{CONF_D}/99-authcheck.conf", "nonsense {\n"),
    "config.passdb": lambda bed: written(bed, AUTH_CONF, open(
        os.path.join(os.path.dirname(__file__), "../../testbed/auth-static.conf")).read()),
    "layout": lambda bed: configured(bed, server="autodetect"),
    "database.file": lambda bed: mode(bed, DATABASE, 0o644),
    "database.open": lambda bed: configured(bed, worker=False),
    "database.integrity": lambda bed: changed(bed, lambda: corrupt(bed), DATABASE),
    "database.schema": lambda bed: changed(bed, lambda: bed.run(
        "sqlite3", DATABASE, "ALTER TABLE users RENAME COLUMN status TO state", check=True),
        DATABASE),
    "key.file": lambda bed: changed(bed, lambda: put_bytes(bed.path(KEY), os.urandom(16)), KEY),
    "key.decrypt": lambda bed: changed(bed, lambda: put_bytes(bed.path(KEY), os.urandom(32)),
                                       KEY),
    "maildir.root": lambda bed: written(bed, VQA_CONF, "VELKA_MAILNAMES_D /var/mail/none\n"),
    "certificate sni.test": lambda bed: written(
        bed, SNI_FILE, sni_block(bed.pems["sni.test"], bed.pems["other.test"])),
    "quota.script": lambda bed: mode(bed, QUOTA_SCRIPT, 0o644),
    "quota.user": lambda bed: written(bed, QUOTA_FILE,
                                      QUOTA_WARNING.replace("popuser", "no-such-user")),
}


@pytest.mark.parametrize("broken", BREAKS)
def test_each_broken_item_is_the_one_failure(bed, broken):
    with BREAKS[broken](bed):
        status, table, checks = run_check(bed)
    assert status == 2, table
    assert checks[broken]["status"] == "failure", table
    assert table_status(table, broken) == "failure", table
    others = {i: c["status"] for i, c in checks.items() if i != broken}
    assert set(others.values()) <= {"ok", "skipped"}, table
    assert all(table_status(table, i) in ("ok", "skipped") for i in others), table


@pytest.mark.parametrize("login, account, status, maildir", [
    ("alice@velka-a.test", "password AES", "ok", "ok"),
    ("Carol@VELKA-A.test", "password crypt", "ok", "ok"),
    ("dave@velka-a.test", "password plain", "ok", "ok"),
    ("eve@velka-a.test", "password AES", "warning", "ok"),
    ("frank@velka-b.test", "password AES", "warning", "ok"),
    ("nomaildir@velka-a.test", "password AES", "ok", "warning"),
    ("nobody@velka-a.test", "no account", None, None),
    ("shared", "velka_allow_shortnames is off", None, None),
])
def test_user_report(bed, login, account, status, maildir):
    code, table, checks = run_check(bed, "--user", login)
    assert account in checks["user.account"]["message"], table
    assert checks.get("user.status", {}).get("status") == status, table
    assert checks.get("user.maildir", {}).get("status") == maildir, table
    assert code == (0 if {status, maildir} <= {"ok", None} and "password" in account else 1)
    for secret in PASSWORDS.values():
        assert secret not in table


@pytest.mark.parametrize("stored, status", [("'abc'", "ok"), ("' 7x'", "warning")])
def test_a_text_status_reads_as_the_plugin_reads_it(bed, stored, status):
    update = f"UPDATE users SET status = {stored} WHERE name = 'alice'"
    with changed(bed, lambda: bed.run("sqlite3", DATABASE, update, check=True), DATABASE):
        _, table, checks = run_check(bed, "--user", "alice@velka-a.test")
    assert checks["user.status"]["status"] == status, table


def test_a_short_name_lists_the_accounts_it_may_pick(bed):
    with kept(bed, AUTH_CONF):
        with open(bed.path(AUTH_CONF), "a") as f:
            f.write("passdb velka {\n  velka_allow_shortnames = yes\n}\n")
        _, table, checks = run_check(bed, "--user", "shared")
    assert "shared@velka-a.test (AES), shared@velka-c.test (AES)" in \
        checks["user.account"]["message"], table


def test_a_certificate_fifo_ends_in_a_failure_not_a_hang(bed):
    """doveconf -P opens the files that settings name; a FIFO there would keep it,
    and the check, waiting for a writer."""
    fifo = "/etc/dovecot/private/authcheck-fifo.pem"
    with written(bed, SNI_FILE, sni_block(fifo, bed.pems["sni.test"])):
        os.mkfifo(bed.path(fifo))
        try:
            status, table, checks = run_check(bed)
        finally:
            os.unlink(bed.path(fifo))
    assert status == 2, table
    assert "did not finish within" in checks["config.doveconf"]["message"], table
