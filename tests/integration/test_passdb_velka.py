"""The passdb plug-in inside the test bed's real Dovecot 2.4: logins with real clients
(imaplib, poplib, doveadm auth test) against accounts made through the library's own
administration functions, each checked for Dovecot's result and the plug-in's log line.

Each test class or function is one Dovecot start with one configuration; the tree is
restored afterwards."""
import re

import pytest

from conftest import DOVECOT_CONF, PROBE
from passdb_bed import (AUTH_CONF, DOMAINS, FAILED, HASHES, MAILNAMES, OK, PASSWORDS, POSTFIX_DIR,
                        QMAIL_DIR, SHORTNAME_FILE, SMTP_SERVER, TEMPFAIL, VQA_CONF, WRONG, alias,
                        configure, database_group, found, logged, make_accounts, no_crash,
                        no_secrets, not_found, plugin_bed, remove, shortnames, write)
from testbed_client import doveadm, imap, pop3


@pytest.fixture(scope="module")
def bed(testbed):
    with plugin_bed(testbed, [AUTH_CONF, SMTP_SERVER, SHORTNAME_FILE, VQA_CONF, QMAIL_DIR,
                              POSTFIX_DIR, PROBE] + [f"{MAILNAMES}/{d}" for d in DOMAINS]) as bed:
        make_accounts(bed)
        yield bed


def secrets():
    return list(PASSWORDS.values()) + [WRONG, HASHES["carol"]]


def login(bed, client, user, password):
    """The outcome of a login by imap (LOGIN or the mechanism named), pop3 or doveadm."""
    protocol, _, mechanism = client.partition(" ")
    if protocol == "imap":
        return imap(bed, user, password, mechanism or "LOGIN")
    if protocol == "pop3":
        return pop3(bed, user, password)
    return doveadm(bed, user, password)[0]


def check_login(bed, client, user, password, expected, lines):
    """One login's outcome and the plug-in's lines (level, message or its maker) for it."""
    offset = bed.log_size()
    assert login(bed, client, user, password) == expected
    for level, message in lines:
        logged(bed, offset, level, message() if callable(message) else message)


def row(case, client, user, password, expected, lines=()):
    return pytest.param(client, user, password, expected, lines, id=case)


LOGIN_COLUMNS = "client, user, password, expected, lines"
INTERNAL = "Internal error occurred during mail account lookup for user='{}'"
SHORT_NAME_CRAM_MD5 = row(
    "short name with CRAM-MD5", "imap CRAM-MD5", "alice", PASSWORDS["alice"],
    "AUTHENTICATIONFAILED", [("Info", not_found("alice") + " because short mailnames are not "
                              "supported with non-plaintext authentication mechanisms")])


# --- settings -----------------------------------------------------------------------

def test_doveconf_knows_and_checks_the_settings(bed):
    configure(bed, worker=False, server="Postfix", maildir_check=False)
    result = bed.run("doveconf", "-c", DOVECOT_CONF, "-n")
    assert result.returncode == 0, result.stderr
    block = re.search(r"passdb velka \{\n(.*?)\n\}", result.stdout.decode(), re.S).group(1)
    assert "  velka_smtp_server = Postfix" in block
    assert "  velka_allow_maildir_stat = no" in block
    # The defaults, and what the passdb block sets.
    for name, value in (("velka_allow_shortnames", "no"), ("velka_blocking", "no"),
                        ("velka_allow_maildir_stat", "yes"), ("velka_smtp_server", ""),
                        ("passdb/velka/velka_allow_maildir_stat", "no"),
                        ("passdb/velka/velka_smtp_server", "Postfix")):
        shown = bed.run("doveconf", "-c", DOVECOT_CONF, "-h", name)
        assert shown.stdout.decode() == f"{value}\n", name

    configure(bed, worker=False, server="Exim")
    result = bed.run("doveconf", "-c", DOVECOT_CONF, "-n")
    assert result.returncode == 89
    assert (b"Invalid value for smtp_server, expected 'QMail', 'Postfix', 'autodetect' "
            b"or empty string") in result.stderr, result.stderr


# --- lookups in the authentication process ------------------------------------------

REFUSED = [  # the login, its password's key, the plug-in's line
    ("bob@velka-a.test", "alias", not_found("bob@velka-a.test")),
    ("eve@velka-a.test", "eve", "Mail account for user='eve@velka-a.test' is disabled"),
    ("frank@velka-b.test", "frank", "Mail account for user='frank@velka-b.test' is disabled"),
    ("alice", "alice", not_found("alice") + " because user format is invalid "
                                            "(short mailnames are not allowed)"),
    ("nomaildir@velka-a.test", "alias", alias("nomaildir@velka-a.test")),
    ("filemd@velka-a.test", "alias", alias("filemd@velka-a.test")),
    ("linkmd@velka-a.test", "alias", alias("linkmd@velka-a.test")),
]
AUTH_PROCESS_LOGINS = [
    row("encrypted", "imap", "alice@velka-a.test", PASSWORDS["alice"], "OK",
        [("Debug", found("alice@velka-a.test", "PLAIN")),
         ("Debug", "Valid Maildir found for user='alice@velka-a.test' at "
                   f"'{MAILNAMES}/velka-a.test/alice/Maildir'")]),
    row("crypt", "imap PLAIN", "carol@velka-a.test", PASSWORDS["carol"], "OK",
        [("Debug", found("carol@velka-a.test", "CRYPT"))]),
    row("unencrypted", "pop3", "dave@velka-a.test", PASSWORDS["dave"], "OK",
        [("Debug", found("dave@velka-a.test", "PLAIN"))]),
    row("unencrypted doveadm", "doveadm", "dave@velka-a.test", PASSWORDS["dave"], OK),
    # With short names off, Dovecot compares the password the plug-in found.
    row("wrong password", "doveadm", "alice@velka-a.test", WRONG, FAILED,
        [("Debug", found("alice@velka-a.test", "PLAIN")), ("Info", "Password mismatch")]),
    row("wrong password crypt", "imap", "carol@velka-a.test", WRONG, "AUTHENTICATIONFAILED"),
    row("wrong password pop3", "pop3", "dave@velka-a.test", WRONG, "AUTHENTICATIONFAILED"),
    *[row(f"refused {user}", "imap", user, PASSWORDS[key], "AUTHENTICATIONFAILED",
          [("Info", line)]) for user, key, line in REFUSED],
    *[row(f"refused {user} doveadm", "doveadm", user, PASSWORDS[key], FAILED)
      for user, key, _ in REFUSED],
    # user dovecot may not enter lockedmd's home: neither yes nor no.
    row("closed home", "imap", "lockedmd@velka-a.test", PASSWORDS["alias"], "UNAVAILABLE",
        [("Info", "An unexpected error occurred while checking for Maildir existence at "
                  f"'{MAILNAMES}/velka-a.test/lockedmd/Maildir' for "
                  "user='lockedmd@velka-a.test'")]),
    # An account stored with an empty password never logs in, not even with one.
    row("empty password", "imap PLAIN", "empty@velka-a.test", "", "AUTHENTICATIONFAILED",
        [("Info", "Found mail account for user='empty@velka-a.test' (address="
                  "'empty@velka-a.test'), but supplied password does not match account "
                  "password")]),
    row("empty password CRAM-MD5", "imap CRAM-MD5", "empty@velka-a.test", "",
        "AUTHENTICATIONFAILED"),
    # Credentials lookups: Dovecot turns the plain text into what CRAM-MD5 needs.
    row("CRAM-MD5", "imap CRAM-MD5", "alice@velka-a.test", PASSWORDS["alice"], "OK",
        [("Debug", found("alice@velka-a.test", "PLAIN"))]),
    SHORT_NAME_CRAM_MD5,
    # A crypt hash cannot serve CRAM-MD5.
    row("crypt with CRAM-MD5", "imap CRAM-MD5", "carol@velka-a.test", PASSWORDS["carol"],
        "AUTHENTICATIONFAILED", [("Debug", found("carol@velka-a.test", "CRYPT"))]),
]


@pytest.fixture(scope="class")
def auth_process(bed):
    """use_worker = no: the lookups run as user dovecot, short names are off and password
    debugging is off. Yields the log offset of the start."""
    configure(bed, worker=False)
    database_group(bed, "dovecot")
    yield bed.restart()


class TestLoginsInTheAuthProcess:
    # Files closed to user dovecot (owned by root and group nofiles, but for the ones
    # named): a temporary failure. With the key closed, encrypted passwords cannot be
    # decrypted, not compared; one stored unencrypted still works.
    @pytest.mark.parametrize("readable, user, expected", [
        ((), "alice@velka-a.test", TEMPFAIL),
        (("", "/passwd.db"), "alice@velka-a.test", TEMPFAIL),
        (("", "/passwd.db"), "dave@velka-a.test", OK),
    ], ids=["all closed", "key closed", "key closed, stored unencrypted"])
    def test_closed_files(self, bed, auth_process, readable, user, expected):
        database_group(bed, "nofiles")
        database_group(bed, "dovecot", readable)
        try:
            lines = [("Warning", INTERNAL.format(user))] if expected == TEMPFAIL else []
            check_login(bed, "doveadm", user, PASSWORDS[user.split("@")[0]], expected, lines)
        finally:
            database_group(bed, "dovecot")

    # All readable by a group of user dovecot, they serve the lookups.
    @pytest.mark.parametrize(LOGIN_COLUMNS, AUTH_PROCESS_LOGINS)
    def test_login(self, bed, auth_process, client, user, password, expected, lines):
        check_login(bed, client, user, password, expected, lines)

    def test_no_secret_and_no_crash_in_the_log(self, bed, auth_process):
        no_secrets(bed, auth_process, secrets())
        no_crash(bed, auth_process)


HOSTILE_UNKNOWN = [
    "' OR '1'='1@velka-a.test",
    "alice@velka-a.test' OR '1'='1",
    "x'; DROP TABLE users; --@velka-a.test",
    "alice'--@velka-a.test",
    "\"alice\"@velka-a.test",
    "../../../etc/passwd@velka-a.test",
    "alice@../velka-a.test",
    "alice@velka-a.test/../velka-c.test",
    "%s%s%s%n@velka-a.test",
    "%{user}@velka-a.test",
    "%",
]
# Dovecot 2.4.5 refuses an authentication identity longer than 1024 bytes before any
# passdb sees it ("Maximum length exceeded"); 2.4.1 hands it to the plug-in.
LONG_NAME = "a" * 3000 + "@velka-a.test"
# No mail name or no domain: a malformed address, which the plug-in answers as an
# internal failure.
HOSTILE_MALFORMED = ["@velka-a.test", "alice@", "@"]


def test_hostile_login_names_neither_log_in_nor_crash(bed):
    configure(bed, worker=False)
    database_group(bed, "dovecot")
    start = bed.restart()
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == OK
    auth_pids = bed.auth_pids()  # started by the first login
    assert len(auth_pids) == 1, auth_pids
    for user in HOSTILE_UNKNOWN + [LONG_NAME]:
        offset = bed.log_size()
        status, _ = doveadm(bed, user, PASSWORDS["alice"])
        assert status == FAILED, user
        if user == LONG_NAME and bed.dovecot_version >= (2, 4, 5):
            assert bed.wait_for_log(offset, "Maximum length exceeded (> 1024)"), \
                bed.log_since(offset)
            assert ": velka: " not in bed.log_since(offset)
        elif "@" in user:
            logged(bed, offset, "Info", not_found(user.lower()))
        else:
            logged(bed, offset, "Info", not_found(user) + " because user format is invalid")
        assert imap(bed, user, PASSWORDS["alice"], "PLAIN") == "AUTHENTICATIONFAILED", user
    for user in HOSTILE_MALFORMED:
        offset = bed.log_size()
        assert doveadm(bed, user, PASSWORDS["alice"])[0] == TEMPFAIL, user
        logged(bed, offset, "Warning", INTERNAL.format(user))
    # The database came through, and the same auth process still serves.
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == OK
    assert bed.auth_pids() == auth_pids
    no_secrets(bed, start, secrets())
    no_crash(bed, start)


# --- lookups in the auth workers, short names on --------------------------------------

WORKER_LOGINS = [
    # With short names on, the plug-in compares the password itself.
    row("wrong password", "pop3", "alice@velka-a.test", WRONG, "AUTHENTICATIONFAILED",
        [("Info", "Found mail account for user='alice@velka-a.test' (address="
                  f"'alice@velka-a.test'), but supplied password='{WRONG}' (PLAIN) does not "
                  "match account password (PLAIN)")]),
    row("short name crypt", "imap PLAIN", "carol", PASSWORDS["carol"], "OK",
        [("Debug", lambda: found("carol", "CRYPT", "carol@velka-a.test", HASHES["carol"]))]),
    row("wrong password crypt", "imap", "carol@velka-a.test", WRONG, "AUTHENTICATIONFAILED",
        [("Info", "Found mail account for user='carol@velka-a.test' (address="
                  f"'carol@velka-a.test'), but supplied password='{WRONG}' (PLAIN) does not "
                  "match account password (CRYPT)")]),
    row("short name disabled", "imap", "eve", PASSWORDS["eve"], "AUTHENTICATIONFAILED",
        [("Info", "Mail account for user='eve' is disabled")]),
    # Credentials lookups still need the full address.
    SHORT_NAME_CRAM_MD5,
    row("CRAM-MD5", "imap CRAM-MD5", "alice@velka-a.test", PASSWORDS["alice"], "OK",
        [("Debug", found("alice@velka-a.test", "PLAIN", password=PASSWORDS["alice"]))]),
    # Root's workers see into the home that user dovecot may not enter.
    row("closed home", "doveadm", "lockedmd@velka-a.test", PASSWORDS["alias"], OK),
]


@pytest.fixture(scope="class")
def workers(bed):
    """use_worker = yes: root's workers read the files of the QMail layout as they are;
    short names come on through the file that wendra's writer makes, and password
    debugging is on. Yields the log offset of the start."""
    configure(bed, worker=True, debug_passwords=True)
    database_group(bed, "nofiles")
    shortnames(bed, True)
    try:
        assert bed.run("doveconf", "-c", DOVECOT_CONF, "-h",
                       "velka_allow_shortnames").stdout == b"yes\n"
        yield bed.restart()
    finally:
        shortnames(bed, False)


class TestShortNamesInTheWorkersWithPasswordDebugging:
    # One mail name in two domains: the password picks the account.
    @pytest.mark.parametrize("domain, key", [("velka-c.test", "shared-c"),
                                             ("velka-a.test", "shared-a")])
    def test_password_picks_the_domain(self, bed, workers, domain, key):
        offset = bed.log_size()
        status, out = doveadm(bed, "shared", PASSWORDS[key])
        assert status == OK and f"user=shared@{domain}" in out, out
        logged(bed, offset, "Debug", found("shared", "PLAIN", f"shared@{domain}",
                                           PASSWORDS[key]))
        logged(bed, offset, "Debug", f"Valid Maildir found for user='shared@{domain}'"
                                     f" at '{MAILNAMES}/{domain}/shared/Maildir'")
        offset = bed.log_size()
        assert imap(bed, "shared", PASSWORDS[key]) == "OK"
        assert bed.wait_for_log(offset, f"Logged in: user=<shared@{domain}>")

    def test_wrong_password_for_a_shared_name(self, bed, workers):
        offset = bed.log_size()
        assert imap(bed, "shared", WRONG) == "AUTHENTICATIONFAILED"
        assert bed.wait_for_log(offset, "velka: Found mail account for user='shared' (address=")
        assert re.search(r"Info: velka: Found mail account for user='shared' \(address="
                         r"'shared@velka-[ac]\.test'\), but supplied password='"
                         + WRONG + r"' \(PLAIN\) does not match account password \(PLAIN\)",
                         bed.log_since(offset)), bed.log_since(offset)

    @pytest.mark.parametrize(LOGIN_COLUMNS, WORKER_LOGINS)
    def test_login(self, bed, workers, client, user, password, expected, lines):
        check_login(bed, client, user, password, expected, lines)

    def test_no_crash_in_the_log(self, bed, workers):
        no_crash(bed, workers)


# --- mail server style -----------------------------------------------------------------

@pytest.mark.parametrize("server, detected, account", [
    ("Postfix", None, "pat"),
    ("qmail", None, "alice"),
    ("autodetect", "QMail", "alice"),
    ("", None, "pat"),  # the stand-in reports Postfix by default
])
def test_style_selects_the_database(bed, server, detected, account):
    configure(bed, worker=True, server=server, maildir_check=False)
    remove(bed.path(SMTP_SERVER))
    if detected:
        write(bed, SMTP_SERVER, detected + "\n")
    start = bed.restart()
    other = "alice" if account == "pat" else "pat"
    assert doveadm(bed, f"{account}@velka-a.test", PASSWORDS[account])[0] == OK
    assert doveadm(bed, f"{other}@velka-a.test", PASSWORDS[other])[0] == FAILED
    logged(bed, start, "Info", not_found(f"{other}@velka-a.test"))
    no_crash(bed, start)


def test_failed_style_detection_stops_the_auth_process(bed):
    configure(bed, worker=False, server="autodetect", maildir_check=False)
    write(bed, SMTP_SERVER, "Exim\n")
    start = bed.restart()
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == TEMPFAIL
    assert bed.wait_for_log(start, "auth: Fatal: authdb velka: initialization failed - "
                                   "unable to detect current mail authentication DB")
