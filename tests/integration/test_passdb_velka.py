"""The passdb plug-in inside the test bed's real Dovecot 2.4: logins with real clients
(imaplib, poplib, doveadm auth test) against accounts made through the library's own
administration functions, each checked for Dovecot's result and the plug-in's log line.

Accounts are prepared by the test-only driver authdb_admin of the build. Each test
function is one Dovecot start with one configuration; the tree is restored afterwards."""
import contextlib
import imaplib
import os
import poplib
import re
import shutil

import pytest

from conftest import DOVECOT_CONF, IMAP_PORT, POP3_PORT

BUILD_DIR = os.environ.get("VELKA_BUILD_DIR")
ADMIN = "/usr/local/sbin/authdb_admin"
PROBE = "/usr/local/sbin/dovecot_probe"
AUTH_CONF = "/etc/velka-testbed/auth.conf"
SMTP_SERVER = "/etc/velka-testbed/smtp-server"
SHORTNAME_FILE = "/etc/dovecot/conf.d/12-velka-auth-custom.conf"
VQA_CONF = "/etc/vqa/vqa.conf"
QMAIL_DIR = "/var/lib/velka/mail/auth"
POSTFIX_DIR = "/var/spool/postfix/velka"
MAILNAMES = "/var/mail/vmail"
DOMAINS = ("velka-a.test", "velka-b.test", "velka-c.test")
PLUGIN = "/usr/lib/dovecot/modules/auth/libauthdb_velka.so"
SETTINGS_LIB = "/usr/lib/dovecot/modules/settings/libvelka_settings.so"

OK, FAILED, TEMPFAIL = 0, 77, 75  # doveadm auth test exit statuses

PASSWORDS = {
    "alice": "Alice-pw-4417",        # AES-encrypted by mailAuthSet
    "carol": "Carol-pw-5528",        # crypt hash from openssl passwd -6
    "dave": "Dave-pw-6639",          # plain text stored unencrypted
    "eve": "Eve-pw-7740",            # user disabled
    "frank": "Frank-pw-9962",        # domain disabled
    "shared-a": "Shared-a-8851",     # shared@velka-a.test
    "shared-c": "Shared-c-1073",     # shared@velka-c.test
    "alias": "Alias-pw-2184",        # accounts whose Maildir is missing or odd
    "pat": "Pat-pw-3295",            # only in the Postfix-style database
}
WRONG = "Wrong-pw-0506"
HASHES = {}  # made in the test bed


# --- the tree -----------------------------------------------------------------------

def topmost_missing(bed, inside):
    """The highest ancestor of a path (or the path) that does not exist yet."""
    missing = None
    path = inside
    while path != "/" and not os.path.lexists(bed.path(path)):
        missing = path
        path = os.path.dirname(path)
    return missing


class Preserved:
    """Moves paths of the tree aside and puts them back, removing what the tests made
    and any parent directory that did not exist before."""

    def __init__(self, bed, paths):
        self.bed = bed
        self.saved = []
        self.created = set()
        for inside in paths:
            host = bed.path(inside)
            if os.path.lexists(host):
                os.rename(host, host + ".saved-by-passdb-test")
                self.saved.append(host)
            else:
                self.created.add(topmost_missing(bed, os.path.dirname(inside)) or inside)
        self.paths = [bed.path(p) for p in paths]

    def restore(self):
        for host in self.paths:
            remove(host)
        for inside in self.created:
            remove(self.bed.path(inside))
        for host in self.saved:
            os.rename(host + ".saved-by-passdb-test", host)


def remove(host):
    if os.path.isdir(host) and not os.path.islink(host):
        shutil.rmtree(host)
    elif os.path.lexists(host):
        os.unlink(host)


def write(bed, inside, text):
    os.makedirs(os.path.dirname(bed.path(inside)), exist_ok=True)
    with open(bed.path(inside), "w") as f:
        f.write(text)


@contextlib.contextmanager
def plugin_bed(testbed, preserved, required=(PLUGIN, SETTINGS_LIB)):
    """The test bed with the build's authdb_admin installed and the given paths of the
    tree saved, for tests of the installed plug-in; skips when something required is
    missing. Dovecot is stopped on the way in and out."""
    if not BUILD_DIR:
        pytest.skip("VELKA_BUILD_DIR is not set")
    built_admin = os.path.join(BUILD_DIR, "tests", "authdb", "authdb_admin")
    for path in [testbed.path(p) for p in required] + [built_admin]:
        if not os.path.exists(path):
            pytest.skip(f"{path} is missing: build, then testbed.sh install-build")
    testbed.control("stop")
    state = Preserved(testbed, [ADMIN, *preserved])
    try:
        shutil.copy2(built_admin, testbed.path(ADMIN))
        yield testbed
    finally:
        testbed.control("stop")
        state.restore()


@pytest.fixture(scope="module")
def bed(testbed):
    with plugin_bed(testbed, [AUTH_CONF, SMTP_SERVER, SHORTNAME_FILE, VQA_CONF, QMAIL_DIR,
                              POSTFIX_DIR, PROBE] + [f"{MAILNAMES}/{d}" for d in DOMAINS]) as bed:
        make_accounts(bed)
        yield bed


def admin(bed, *args):
    result = bed.run(ADMIN, *args)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def make_accounts(bed):
    write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}   # where the Maildirs are\n")
    hashed = bed.run("openssl", "passwd", "-6", PASSWORDS["carol"], check=True)
    HASHES["carol"] = hashed.stdout.decode().strip()
    assert HASHES["carol"].startswith("$6$")

    admin(bed, "0", "init")  # QMail layout: root, group nofiles
    for args in (
            ["alice", "velka-a.test", PASSWORDS["alice"]],
            ["carol", "velka-a.test", HASHES["carol"], "crypt"],
            ["eve", "velka-a.test", PASSWORDS["eve"], "user-disabled"],
            ["frank", "velka-b.test", PASSWORDS["frank"], "domain-disabled"],
            ["shared", "velka-a.test", PASSWORDS["shared-a"]],
            ["shared", "velka-c.test", PASSWORDS["shared-c"]],
            ["nomaildir", "velka-a.test", PASSWORDS["alias"]],
            ["filemd", "velka-a.test", PASSWORDS["alias"]],
            ["linkmd", "velka-a.test", PASSWORDS["alias"]],
            ["lockedmd", "velka-a.test", PASSWORDS["alias"]]):
        admin(bed, "0", "set", *args)
    admin(bed, "0", "set-unencrypted", "dave", "velka-a.test", PASSWORDS["dave"])
    admin(bed, "0", "set-unencrypted", "empty", "velka-a.test", "")
    stored = bed.run("sqlite3", f"{QMAIL_DIR}/passwd.db",
                     "SELECT userPassword FROM users WHERE name='alice'").stdout.decode()
    assert stored.startswith("$AES-256-CBC:PKCS$")

    # The Postfix layout holds one account of its own; its owner does not exist here,
    # so the files stay root's and only the workers read them.
    admin(bed, "1", "create")
    admin(bed, "1", "set", "pat", "velka-a.test", PASSWORDS["pat"])

    for user in ("alice", "carol", "dave", "eve", "shared", "empty", "linkmd", "filemd"):
        maildir(bed, "velka-a.test", user)
    maildir(bed, "velka-b.test", "frank")
    maildir(bed, "velka-c.test", "shared")
    home = f"{MAILNAMES}/velka-a.test"
    os.rmdir(bed.path(f"{home}/filemd/Maildir"))
    write(bed, f"{home}/filemd/Maildir", "not a directory\n")
    os.rmdir(bed.path(f"{home}/linkmd/Maildir"))
    os.symlink(f"{home}/alice/Maildir", bed.path(f"{home}/linkmd/Maildir"))
    maildir(bed, "velka-a.test", "lockedmd", mode="700")


def maildir(bed, domain, user, mode="755"):
    path = f"{MAILNAMES}/{domain}/{user}"
    result = bed.run("install", "-d", "-o", "vmail", "-g", "vmail", "-m", "755",
                     f"{MAILNAMES}/{domain}")
    assert result.returncode == 0, result.stderr
    result = bed.run("install", "-d", "-o", "vmail", "-g", "vmail", "-m", mode, path,
                     f"{path}/Maildir")
    assert result.returncode == 0, result.stderr


def database_group(bed, group, names=("", "/passwd.db", "/passwd_db_key")):
    """Gives the QMail-layout directory, database and key file to a group."""
    for name in names:
        bed.run("chgrp", group, QMAIL_DIR + name, check=True)


def configure(bed, *, worker, debug_passwords=False, server="QMail", maildir_check=True):
    lines = ["auth_debug = yes",
             f"auth_debug_passwords = {'yes' if debug_passwords else 'no'}",
             "auth_internal_failure_delay = 0",
             "auth_mechanisms = plain login cram-md5",
             # Every login name reaches the plug-in, however odd.
             "auth_username_chars =",
             "passdb velka {",
             "  driver = velka",
             f"  use_worker = {'yes' if worker else 'no'}",
             f"  velka_smtp_server = {server}"]
    if not maildir_check:
        lines.append("  velka_allow_maildir_stat = no")
    lines += ["}", "userdb static {", "}", ""]
    write(bed, AUTH_CONF, "\n".join(lines))


def restart(bed):
    bed.control("stop")
    bed.control("start")
    return bed.log_size()


# --- clients ------------------------------------------------------------------------

def imap(user, password, mech="LOGIN"):
    """"OK", or the response code of the refusal (AUTHENTICATIONFAILED, UNAVAILABLE)."""
    client = imaplib.IMAP4("127.0.0.1", IMAP_PORT)
    try:
        if mech == "LOGIN":
            client.login(user, password)
        elif mech == "PLAIN":
            client.authenticate("PLAIN", lambda _: f"\0{user}\0{password}".encode())
        else:
            client.login_cram_md5(user, password)
        client.logout()
        return "OK"
    except imaplib.IMAP4.error as e:
        client.shutdown()
        code = re.search(r"\[([A-Z]+)\]", str(e))
        return code.group(1) if code else str(e)


def pop3(user, password):
    client = poplib.POP3("127.0.0.1", POP3_PORT)
    try:
        client.user(user)
        client.pass_(password)
        client.quit()
        return "OK"
    except poplib.error_proto as e:
        client.close()
        return e.args[0].decode()


def doveadm(bed, user, password):
    result = bed.run("doveadm", "-c", DOVECOT_CONF, "auth", "test", user, password)
    return result.returncode, result.stdout.decode()


def logged(bed, offset, level, message):
    """Waits for the plug-in's line at that level in the log written since offset."""
    line = f"{level}: velka: {message}"
    assert bed.wait_for_log(offset, line), f"no {line!r} in:\n{bed.log_since(offset)}"


def not_found(user):
    return f"Mail account information for user='{user}' was not found"


def found(user, scheme, address=None, password=None):
    shown = f" password='{password}'" if password is not None else ""
    return (f"Found mail account for user='{user}':{shown} scheme='{scheme}' "
            f"address='{address or user}'")


def alias(user):
    name, domain = user.split("@")
    return (f"Login for user='{user}' is prohibited. Maildir for it doesn't exist at "
            f"'{MAILNAMES}/{domain}/{name}/Maildir', so it must be an alias. "
            "Logging in via aliases is not allowed.")


def no_secrets(bed, offset):
    log = bed.log_since(offset)
    for secret in list(PASSWORDS.values()) + [WRONG, HASHES["carol"]]:
        assert secret not in log, secret


def no_crash(bed, offset):
    log = bed.log_since(offset)
    for sign in ("Panic", "Fatal", "killed with signal", "command startup failed"):
        assert sign not in log, log


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

def test_logins_in_the_auth_process(bed):
    """use_worker = no: the lookups run as user dovecot, short names are off and
    password debugging is off."""
    configure(bed, worker=False)
    start = restart(bed)

    # Owned by root and group nofiles, the files are closed to user dovecot.
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == TEMPFAIL
    logged(bed, start, "Warning",
           "Internal error occurred during mail account lookup for user='alice@velka-a.test'")
    # With the database readable but not the key, encrypted passwords cannot be
    # decrypted: a temporary failure, not a password to compare; one stored
    # unencrypted still works.
    database_group(bed, "dovecot", ("", "/passwd.db"))
    offset = bed.log_size()
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == TEMPFAIL
    logged(bed, offset, "Warning",
           "Internal error occurred during mail account lookup for user='alice@velka-a.test'")
    assert doveadm(bed, "dave@velka-a.test", PASSWORDS["dave"])[0] == OK
    # All readable by a group of user dovecot, they serve the next lookup.
    database_group(bed, "dovecot")

    offset = bed.log_size()
    assert imap("alice@velka-a.test", PASSWORDS["alice"]) == "OK"
    logged(bed, offset, "Debug", found("alice@velka-a.test", "PLAIN"))
    logged(bed, offset, "Debug", "Valid Maildir found for user='alice@velka-a.test' at "
                                 f"'{MAILNAMES}/velka-a.test/alice/Maildir'")
    offset = bed.log_size()
    assert imap("carol@velka-a.test", PASSWORDS["carol"], "PLAIN") == "OK"
    logged(bed, offset, "Debug", found("carol@velka-a.test", "CRYPT"))
    offset = bed.log_size()
    assert pop3("dave@velka-a.test", PASSWORDS["dave"]) == "OK"
    logged(bed, offset, "Debug", found("dave@velka-a.test", "PLAIN"))
    assert doveadm(bed, "dave@velka-a.test", PASSWORDS["dave"])[0] == OK

    # With short names off, Dovecot compares the password the plug-in found.
    offset = bed.log_size()
    assert doveadm(bed, "alice@velka-a.test", WRONG)[0] == FAILED
    logged(bed, offset, "Debug", found("alice@velka-a.test", "PLAIN"))
    logged(bed, offset, "Info", "Password mismatch")
    offset = bed.log_size()
    assert imap("carol@velka-a.test", WRONG) == "AUTHENTICATIONFAILED"
    assert pop3("dave@velka-a.test", WRONG).startswith("-ERR")

    refused = [
        ("bob@velka-a.test", not_found("bob@velka-a.test")),
        ("eve@velka-a.test", "Mail account for user='eve@velka-a.test' is disabled"),
        ("frank@velka-b.test", "Mail account for user='frank@velka-b.test' is disabled"),
        ("alice", not_found("alice") + " because user format is invalid "
                                       "(short mailnames are not allowed)"),
        ("nomaildir@velka-a.test", alias("nomaildir@velka-a.test")),
        ("filemd@velka-a.test", alias("filemd@velka-a.test")),
        ("linkmd@velka-a.test", alias("linkmd@velka-a.test")),
    ]
    for user, line in refused:
        password = PASSWORDS.get(user.split("@")[0], PASSWORDS["alias"])
        offset = bed.log_size()
        assert imap(user, password) == "AUTHENTICATIONFAILED", user
        logged(bed, offset, "Info", line)
        assert doveadm(bed, user, password)[0] == FAILED, user

    # user dovecot may not enter lockedmd's home: neither yes nor no.
    offset = bed.log_size()
    assert imap("lockedmd@velka-a.test", PASSWORDS["alias"]) == "UNAVAILABLE"
    logged(bed, offset, "Info",
           "An unexpected error occurred while checking for Maildir existence at "
           f"'{MAILNAMES}/velka-a.test/lockedmd/Maildir' for user='lockedmd@velka-a.test'")

    # An account stored with an empty password never logs in, not even with one.
    offset = bed.log_size()
    assert imap("empty@velka-a.test", "", "PLAIN") == "AUTHENTICATIONFAILED"
    logged(bed, offset, "Info", "Found mail account for user='empty@velka-a.test' "
                                "(address='empty@velka-a.test'), but supplied password "
                                "does not match account password")
    assert imap("empty@velka-a.test", "", "CRAM-MD5") == "AUTHENTICATIONFAILED"

    # Credentials lookups: Dovecot turns the plain text into what CRAM-MD5 needs.
    offset = bed.log_size()
    assert imap("alice@velka-a.test", PASSWORDS["alice"], "CRAM-MD5") == "OK"
    logged(bed, offset, "Debug", found("alice@velka-a.test", "PLAIN"))
    offset = bed.log_size()
    assert imap("alice", PASSWORDS["alice"], "CRAM-MD5") == "AUTHENTICATIONFAILED"
    logged(bed, offset, "Info", not_found("alice") + " because short mailnames are not "
                                "supported with non-plaintext authentication mechanisms")
    # A crypt hash cannot serve CRAM-MD5.
    offset = bed.log_size()
    assert imap("carol@velka-a.test", PASSWORDS["carol"], "CRAM-MD5") == "AUTHENTICATIONFAILED"
    logged(bed, offset, "Debug", found("carol@velka-a.test", "CRYPT"))

    no_secrets(bed, start)
    no_crash(bed, start)


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
    start = restart(bed)
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == OK
    auth_pid = bed.auth_pid()  # started by the first login
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
        assert imap(user, PASSWORDS["alice"], "PLAIN") == "AUTHENTICATIONFAILED", user
    for user in HOSTILE_MALFORMED:
        offset = bed.log_size()
        assert doveadm(bed, user, PASSWORDS["alice"])[0] == TEMPFAIL, user
        logged(bed, offset, "Warning",
               f"Internal error occurred during mail account lookup for user='{user}'")
    # The database came through, and the same auth process still serves.
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == OK
    assert auth_pid is not None and bed.auth_pid() == auth_pid
    no_secrets(bed, start)
    no_crash(bed, start)


# --- lookups in the auth workers, short names on --------------------------------------

def shortnames(bed, on):
    built = os.path.join(BUILD_DIR, "tests", "dovecot", "dovecot_probe")
    if not os.path.exists(built):
        pytest.skip("dovecot_probe was not built")
    shutil.copy2(built, bed.path(PROBE))
    result = bed.run("env", "-u", "DC_INCLUDE_DIR", "-u", "DC_CONFIG_PATH", PROBE,
                     "shortnames", "on" if on else "off", "0")
    assert result.stdout.decode().splitlines()[-1] == "result 0", result.stdout + result.stderr


def test_short_names_in_the_workers_with_password_debugging(bed):
    """use_worker = yes: root's workers read the files of the QMail layout as they are;
    short names come on through the file that wendra's writer makes."""
    configure(bed, worker=True, debug_passwords=True)
    database_group(bed, "nofiles")
    shortnames(bed, True)
    assert bed.run("doveconf", "-c", DOVECOT_CONF, "-h",
                   "velka_allow_shortnames").stdout == b"yes\n"
    try:
        start = restart(bed)

        # One mail name in two domains: the password picks the account.
        for domain, key in (("velka-c.test", "shared-c"), ("velka-a.test", "shared-a")):
            offset = bed.log_size()
            status, out = doveadm(bed, "shared", PASSWORDS[key])
            assert status == OK and f"user=shared@{domain}" in out, out
            logged(bed, offset, "Debug", found("shared", "PLAIN", f"shared@{domain}",
                                               PASSWORDS[key]))
            logged(bed, offset, "Debug", f"Valid Maildir found for user='shared@{domain}'"
                                         f" at '{MAILNAMES}/{domain}/shared/Maildir'")
            offset = bed.log_size()
            assert imap("shared", PASSWORDS[key]) == "OK"
            assert bed.wait_for_log(offset, f"Logged in: user=<shared@{domain}>")

        offset = bed.log_size()
        assert imap("shared", WRONG) == "AUTHENTICATIONFAILED"
        assert bed.wait_for_log(offset, "velka: Found mail account for user='shared' (address=")
        assert re.search(r"Info: velka: Found mail account for user='shared' \(address="
                         r"'shared@velka-[ac]\.test'\), but supplied password='"
                         + WRONG + r"' \(PLAIN\) does not match account password \(PLAIN\)",
                         bed.log_since(offset)), bed.log_since(offset)

        # With short names on, the plug-in compares the password itself.
        offset = bed.log_size()
        assert pop3("alice@velka-a.test", WRONG).startswith("-ERR")
        logged(bed, offset, "Info", "Found mail account for user='alice@velka-a.test' "
                                    "(address='alice@velka-a.test'), but supplied password='"
                                    f"{WRONG}' (PLAIN) does not match account password (PLAIN)")
        offset = bed.log_size()
        assert imap("carol", PASSWORDS["carol"], "PLAIN") == "OK"
        logged(bed, offset, "Debug", found("carol", "CRYPT", "carol@velka-a.test",
                                           HASHES["carol"]))
        offset = bed.log_size()
        assert imap("carol@velka-a.test", WRONG) == "AUTHENTICATIONFAILED"
        logged(bed, offset, "Info", "Found mail account for user='carol@velka-a.test' "
                                    "(address='carol@velka-a.test'), but supplied password='"
                                    f"{WRONG}' (PLAIN) does not match account password (CRYPT)")
        offset = bed.log_size()
        assert imap("eve", PASSWORDS["eve"]) == "AUTHENTICATIONFAILED"
        logged(bed, offset, "Info", "Mail account for user='eve' is disabled")

        # Credentials lookups still need the full address.
        offset = bed.log_size()
        assert imap("alice", PASSWORDS["alice"], "CRAM-MD5") == "AUTHENTICATIONFAILED"
        logged(bed, offset, "Info", not_found("alice") + " because short mailnames are not "
                                    "supported with non-plaintext authentication mechanisms")
        offset = bed.log_size()
        assert imap("alice@velka-a.test", PASSWORDS["alice"], "CRAM-MD5") == "OK"
        logged(bed, offset, "Debug", found("alice@velka-a.test", "PLAIN",
                                           password=PASSWORDS["alice"]))

        # Root's workers see into the home that user dovecot may not enter.
        assert doveadm(bed, "lockedmd@velka-a.test", PASSWORDS["alias"])[0] == OK
        no_crash(bed, start)
    finally:
        shortnames(bed, False)


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
    start = restart(bed)
    other = "alice" if account == "pat" else "pat"
    assert doveadm(bed, f"{account}@velka-a.test", PASSWORDS[account])[0] == OK
    assert doveadm(bed, f"{other}@velka-a.test", PASSWORDS[other])[0] == FAILED
    logged(bed, start, "Info", not_found(f"{other}@velka-a.test"))
    no_crash(bed, start)


def test_failed_style_detection_stops_the_auth_process(bed):
    configure(bed, worker=False, server="autodetect", maildir_check=False)
    write(bed, SMTP_SERVER, "Exim\n")
    start = restart(bed)
    assert doveadm(bed, "alice@velka-a.test", PASSWORDS["alice"])[0] == TEMPFAIL
    assert bed.wait_for_log(start, "auth: Fatal: authdb velka: initialization failed - "
                                   "unable to detect current mail authentication DB")
