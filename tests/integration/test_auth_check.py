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
                        SETTINGS_LIB, SHORTNAME_FILE, SMTP_SERVER, VQA_CONF, admin, configure,
                        make_accounts, plugin_bed, write)
from testbed_client import imap

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
             QUOTA_FILE, SHORTNAME_FILE] + [f"{MAILNAMES}/{d}" for d in DOMAINS]
    with plugin_bed(testbed, saved) as bed, \
            certificates_made(bed, ["sni.test", "other.test", "*.wild.test"], "authcheck") as pems:
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
                     "database.integrity", "database.schema", "database.crypt", "key.decrypt"):
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
    ("alice@velka-a.test", "password AES", "ok", ("ok", "present")),
    ("Carol@VELKA-A.test", "password crypt SHA512-CRYPT", "ok", ("ok", "present")),
    ("dave@velka-a.test", "password plain", "ok", ("ok", "present")),
    ("eve@velka-a.test", "password AES", "warning", ("ok", "present")),
    ("frank@velka-b.test", "password AES", "warning", ("ok", "present")),
    ("nomaildir@velka-a.test", "password AES", "ok", ("warning", "missing")),
    # The plug-in does not follow a link named Maildir.
    ("linkmd@velka-a.test", "password AES", "ok", ("warning", "a symbolic link")),
    ("filemd@velka-a.test", "password AES", "ok", ("warning", "not a directory")),
    ("nobody@velka-a.test", "no account", None, (None, "")),
    ("shared", "velka_allow_shortnames is off", None, (None, "")),
])
def test_user_report(bed, login, account, status, maildir):
    code, table, checks = run_check(bed, "--user", login)
    assert account in checks["user.account"]["message"], table
    assert checks.get("user.status", {}).get("status") == status, table
    shown = checks.get("user.maildir", {"status": None, "message": ""})
    assert shown["status"] == maildir[0] and maildir[1] in shown["message"], table
    assert code == (0 if {status, maildir[0]} <= {"ok", None} and "password" in account else 1)
    for secret in PASSWORDS.values():
        assert secret not in table


@pytest.mark.parametrize("stored, status", [("'abc'", "ok"), ("' 7x'", "warning")])
def test_a_text_status_reads_as_the_plugin_reads_it(bed, stored, status):
    update = f"UPDATE users SET status = {stored} WHERE name = 'alice'"
    with changed(bed, lambda: bed.run("sqlite3", DATABASE, update, check=True), DATABASE):
        _, table, checks = run_check(bed, "--user", "alice@velka-a.test")
    assert checks["user.status"]["status"] == status, table


@pytest.mark.parametrize("global_value, block_value, allowed", [
    ("yes", None, True),   # wendra's own include file
    (None, "yes", True),
    ("yes", "no", False),  # the passdb's own value wins
])
def test_short_names_as_the_plugin_reads_them(bed, global_value, block_value, allowed):
    with kept(bed, AUTH_CONF, SHORTNAME_FILE):
        if global_value:
            write(bed, SHORTNAME_FILE, f"velka_allow_shortnames={global_value}\n")
        if block_value:
            with open(bed.path(AUTH_CONF), "a") as f:
                f.write(f"passdb velka {{\n  velka_allow_shortnames = {block_value}\n}}\n")
        _, table, checks = run_check(bed, "--user", "shared")
        bed.restart()
        login = imap(bed, "alice", PASSWORDS["alice"])
    assert login == ("OK" if allowed else "AUTHENTICATIONFAILED")
    assert ("shared@velka-a.test (AES), shared@velka-c.test (AES)"
            in checks["user.account"]["message"]) == allowed, table


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


def test_rows_that_need_no_doveconf_stay_when_it_fails(bed):
    with BREAKS["config.doveconf"](bed):
        _, table, checks = run_check(bed, "--user", "alice@velka-a.test")
    for kept_row in ("certificate sni.test", "quota.script", "quota.user", "maildir.root"):
        assert checks[kept_row]["status"] == "ok", table
    for skipped in ("config.passdb", "layout", "database.file", "user.account"):
        assert checks[skipped]["status"] == "skipped", table
        assert "configuration not readable" in checks[skipped]["message"], table
    assert "no velka passdb" not in table


@pytest.mark.parametrize("name, made_for, status", [
    ("sni.test", "other.test", "warning"),
    ("a.wild.test", "*.wild.test", "ok"),
])
def test_a_certificate_must_be_made_out_for_its_name(bed, name, made_for, status):
    pem = bed.pems[made_for]
    with written(bed, SNI_FILE, sni_block(pem, pem).replace("sni.test", name)):
        _, table, checks = run_check(bed)
    assert checks[f"certificate {name}"]["status"] == status, table


DES, MD5 = "abOrbVPoT5eQM", "$1$saltsalt$DaIYuyLUFyHgRysIvhNqq/"


def test_crypt_schemes_that_dovecot_refuses(bed):
    def add_weak():
        admin(bed, "0", "set", "des", "velka-a.test", DES, "crypt")
        admin(bed, "0", "set", "md5", "velka-a.test", MD5, "crypt")

    with changed(bed, add_weak, DATABASE):
        code, table, checks = run_check(bed)
        assert code == 1 and checks["database.crypt"]["status"] == "warning", table
        assert "2 accounts" in checks["database.crypt"]["message"], table
        assert "velka-auth-admin passwd" in checks["database.crypt"]["message"], table
        for login, scheme in (("des@velka-a.test", "DES-CRYPT"),
                              ("md5@velka-a.test", "MD5-CRYPT")):
            code, table, checks = run_check(bed, "--user", login)
            assert code == 2 and checks["user.account"]["status"] == "failure", table
            assert scheme in checks["user.account"]["message"], table


@pytest.mark.parametrize("database_too, advice", [
    (False, "restore the key from the backup taken with the database"),
    (True, "velka-auth-admin init creates both"),
])
def test_advice_for_a_missing_key(bed, database_too, advice):
    with contextlib.ExitStack() as stack:
        for path in [KEY] + ([DATABASE] if database_too else []):
            stack.enter_context(moved_away(bed, path))
        _, table, checks = run_check(bed)
    assert advice in checks["key.file"]["message"], table
