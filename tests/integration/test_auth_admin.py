"""velka-auth-admin installed in the test bed: init never replaces, passwords come only
from standard input and reach neither a process's arguments nor the database as plain
text, weak hashes are refused, list --json shows no secret, and accounts it adds log in
over IMAP to the real Dovecot."""
import json
import os
import shutil
import subprocess

import pytest

from conftest import DOVECOT_CONF, built
from passdb_bed import (AUTH_CONF, MAILNAMES, QMAIL_DIR, VQA_CONF, configure, maildir,
                        plugin_bed, write)
from testbed_client import imap

COMMAND = "/usr/local/sbin/velka-auth-admin"
DATABASE = f"{QMAIL_DIR}/passwd.db"
KEY = f"{QMAIL_DIR}/passwd_db_key"
DOMAIN = "admin.test"
PASSWORDS = {"aes": "Aes-pw-3318", "crypt": "Crypt-pw-4429"}
WEAK = {"DES-CRYPT": "abJnggxhB/yWI", "MD5-CRYPT": "$1$saltsalt$qjXMvbEw8oaL.CzflDugX/"}


@pytest.fixture(scope="module")
def bed(testbed):
    command = built("admin/velka-auth-admin")
    with plugin_bed(testbed, [AUTH_CONF, VQA_CONF, QMAIL_DIR, COMMAND,
                              f"{MAILNAMES}/{DOMAIN}"]) as bed:
        shutil.copy2(command, bed.path(COMMAND))
        write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}\n")
        configure(bed, worker=True)
        assert admin(bed, "init").returncode == 0
        yield bed


def admin(bed, *args, line=None):
    """The command on the test configuration unless a layout is named, given line on
    standard input."""
    where = [] if args[0] == "--style" else ["-c", DOVECOT_CONF]
    return bed.run(COMMAND, *where, *args,
                   input=b"" if line is None else line.encode() + b"\n")


def watched(bed, line, *args):
    """The command run while every process's arguments are read; returns its result and
    all the argument lists seen."""
    proc = subprocess.Popen([bed.script, "run", COMMAND, "-c", DOVECOT_CONF, *args],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(line.encode() + b"\n")
    proc.stdin.close()
    seen = set()
    while proc.poll() is None:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    seen.add(f.read())
            except OSError:
                pass
    return proc.returncode, proc.stdout.read().decode() + proc.stderr.read().decode(), seen


def stored(bed, column, name):
    return bed.run("sqlite3", DATABASE, f"SELECT {column} FROM users WHERE name='{name}'",
                   check=True).stdout.decode().strip()


def test_init_refuses_an_existing_database_or_key(bed):
    before = {p: open(bed.path(p), "rb").read() for p in (DATABASE, KEY)}
    for args in (["init"], ["--style", "qmail", "init"]):
        result = admin(bed, *args)
        assert result.returncode == 1
        assert (b"exists: velka-auth-admin init never replaces a database or a key"
                in result.stderr)
    assert {p: open(bed.path(p), "rb").read() for p in before} == before
    assert oct(os.stat(bed.path(KEY)).st_mode & 0o777) == "0o440"


def test_added_accounts_log_in_and_no_password_shows(bed):
    for name, password in PASSWORDS.items():
        options = ["--crypt"] if name == "crypt" else []
        status, output, seen = watched(bed, password, "add", f"{name}@{DOMAIN}", *options)
        assert status == 0, output
        assert not any(password.encode() in args for args in seen)
        maildir(bed, f"{name}@{DOMAIN}")
    assert stored(bed, "userPassword", "aes").startswith("$AES-256-CBC:PKCS$")
    assert stored(bed, "cmusaslsecretPLAIN", "crypt").startswith("$6$")
    database = open(bed.path(DATABASE), "rb").read()
    assert not any(p.encode() in database for p in PASSWORDS.values())

    again = admin(bed, "add", f"aes@{DOMAIN}", line="Other-pw-1")
    assert again.returncode == 1 and b"use passwd" in again.stderr
    migrated = admin(bed, "add", f"migrated@{DOMAIN}", "--hash",
                     line=stored(bed, "cmusaslsecretPLAIN", "crypt"))
    assert migrated.returncode == 0, migrated.stderr
    maildir(bed, f"migrated@{DOMAIN}")

    bed.control("start")
    try:
        for name, password in [*PASSWORDS.items(), ("migrated", PASSWORDS["crypt"])]:
            assert imap(bed, f"{name}@{DOMAIN}", password) == "OK", name
        assert imap(bed, f"aes@{DOMAIN}", "Wrong-pw-1") == "AUTHENTICATIONFAILED"
    finally:
        bed.control("stop")


@pytest.mark.parametrize("scheme", WEAK)
def test_hash_refuses_weak_schemes(bed, scheme):
    result = admin(bed, "add", f"weak@{DOMAIN}", "--hash", line=WEAK[scheme])
    assert result.returncode == 1
    assert f"{scheme} is a weak scheme that Dovecot 2.4 refuses by default" in (
        result.stderr.decode())
    assert admin(bed, "show", f"weak@{DOMAIN}").returncode == 1


def test_list_json_holds_no_secret_and_verify_counts(bed):
    result = admin(bed, "list", DOMAIN, "--json")
    assert result.returncode == 0, result.stderr
    accounts = {a["address"]: a for a in json.loads(result.stdout)}
    assert accounts[f"aes@{DOMAIN}"] == {"address": f"aes@{DOMAIN}", "kind": "aes",
                                         "scheme": "AES-256-CBC", "user_enabled": True,
                                         "domain_enabled": True}
    assert accounts[f"crypt@{DOMAIN}"]["scheme"] == "SHA512-CRYPT"
    secrets = [*PASSWORDS.values(), stored(bed, "userPassword", "aes"),
               stored(bed, "cmusaslsecretPLAIN", "crypt")]
    assert not any(s in result.stdout.decode() for s in secrets)
    shown = json.loads(admin(bed, "show", f"crypt@{DOMAIN}", "--json").stdout)
    assert shown["kind"] == "crypt"

    verify = admin(bed, "verify")
    assert verify.returncode == 0, verify.stdout
    assert b"(0 do not decrypt)" in verify.stdout and b"(0 refused)" in verify.stdout


def test_without_a_velka_passdb_it_asks_for_the_style(bed):
    write(bed, AUTH_CONF, "")
    try:
        result = admin(bed, "list")
        assert result.returncode == 1 and b"pass --style qmail|postfix" in result.stderr
        assert admin(bed, "--style", "qmail", "list").returncode == 0
    finally:
        configure(bed, worker=True)
