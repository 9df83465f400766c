"""The test bed for the passdb plug-in's tests: saved paths, accounts made by the build's
driver authdb_admin, the passdb configuration, and the plug-in's log lines."""
import contextlib
import os
import shutil

import pytest

from conftest import built, probe_installed

ADMIN = "/usr/local/sbin/authdb_admin"
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

# The accounts of make_accounts, for the plug-in's and velka-auth-check's tests.
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
ACCOUNTS = [  # address, key of PASSWORDS, how it is stored (see add_account)
    ("alice@velka-a.test", "alice", ""),
    ("carol@velka-a.test", "carol", "crypt"),
    ("eve@velka-a.test", "eve", "user-disabled"),
    ("frank@velka-b.test", "frank", "domain-disabled"),
    ("shared@velka-a.test", "shared-a", ""),
    ("shared@velka-c.test", "shared-c", ""),
    ("nomaildir@velka-a.test", "alias", ""),
    ("filemd@velka-a.test", "alias", ""),
    ("linkmd@velka-a.test", "alias", ""),
    ("lockedmd@velka-a.test", "alias", ""),
    ("dave@velka-a.test", "dave", "unencrypted"),
]


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
    built_admin = built("tests/authdb/authdb_admin")
    for path in [testbed.path(p) for p in required]:
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


# --- accounts -----------------------------------------------------------------------

def admin(bed, layout, *args, check=True):
    """authdb_admin on layout "0" (QMail) or "1" (Postfix): its success, asserted by check."""
    result = bed.run(ADMIN, layout, *args)
    succeeded = result.returncode == 0 and result.stdout.decode().endswith("result 0\n")
    assert succeeded or not check, result.stdout + result.stderr
    return succeeded


def add_account(bed, address, password, how="", layout="0"):
    """An account stored as how says: "" (encrypted), "unencrypted", "crypt" (a hash of the
    password made here) or disabled ("user-disabled", "domain-disabled"). Returns what
    the database holds for a crypt account, else the password."""
    name, domain = address.split("@")
    if how == "crypt":
        hashed = bed.run("openssl", "passwd", "-6", password, check=True)
        password = hashed.stdout.decode().strip()
    if how == "unencrypted":
        admin(bed, layout, "set-unencrypted", name, domain, password)
    else:
        admin(bed, layout, "set", name, domain, password, *([how] if how else []))
    return password


def maildir(bed, address, mode="755"):
    """The account's home and its Maildir, owned by the mail user."""
    name, domain = address.split("@")
    path = f"{MAILNAMES}/{domain}/{name}"
    bed.run("install", "-d", "-o", "vmail", "-g", "vmail", "-m", "755",
            f"{MAILNAMES}/{domain}", check=True)
    bed.run("install", "-d", "-o", "vmail", "-g", "vmail", "-m", mode, path,
            f"{path}/Maildir", check=True)


def database_group(bed, group, names=("", "/passwd.db", "/passwd_db_key")):
    """Gives the QMail-layout directory, database and key file to a group."""
    for name in names:
        bed.run("chgrp", group, QMAIL_DIR + name, check=True)


def init_accounts(bed, accounts):
    """A new QMail-layout database holding accounts, (address, password, how) each with
    a Maildir, that the authentication process (group dovecot) reads itself."""
    write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}\n")
    admin(bed, "0", "init")
    for address, password, how in accounts:
        add_account(bed, address, password, how)
        maildir(bed, address)
    database_group(bed, "dovecot")


def make_accounts(bed):
    """ACCOUNTS (QMail layout), pat (Postfix), and Maildirs missing, a file, a link, closed."""
    write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}   # where the Maildirs are\n")
    admin(bed, "0", "init")  # QMail layout: root, group nofiles
    for address, key, how in ACCOUNTS:
        stored = add_account(bed, address, PASSWORDS[key], how)
        if how == "crypt":
            HASHES[key] = stored
    assert HASHES["carol"].startswith("$6$")
    add_account(bed, "empty@velka-a.test", "", "unencrypted")
    stored = bed.run("sqlite3", f"{QMAIL_DIR}/passwd.db",
                     "SELECT userPassword FROM users WHERE name='alice'").stdout.decode()
    assert stored.startswith("$AES-256-CBC:PKCS$")

    # The Postfix layout holds one account of its own; its owner does not exist here,
    # so the files stay root's and only the workers read them.
    admin(bed, "1", "create")
    add_account(bed, "pat@velka-a.test", PASSWORDS["pat"], layout="1")

    for user in ("alice", "carol", "dave", "eve", "shared", "empty", "linkmd", "filemd"):
        maildir(bed, f"{user}@velka-a.test")
    maildir(bed, "frank@velka-b.test")
    maildir(bed, "shared@velka-c.test")
    home = f"{MAILNAMES}/velka-a.test"
    os.rmdir(bed.path(f"{home}/filemd/Maildir"))
    write(bed, f"{home}/filemd/Maildir", "not a directory\n")
    os.rmdir(bed.path(f"{home}/linkmd/Maildir"))
    os.symlink(f"{home}/alice/Maildir", bed.path(f"{home}/linkmd/Maildir"))
    maildir(bed, "lockedmd@velka-a.test", mode="700")


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


def shortnames(bed, on):
    """Short names on or off, through the file that wendra's writer makes."""
    with probe_installed(bed) as probe:
        result = probe("shortnames", "on" if on else "off", "0")
    assert result.stdout.decode().splitlines()[-1] == "result 0", result.stdout + result.stderr


# --- the log ------------------------------------------------------------------------

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


def no_secrets(bed, offset, secrets):
    log = bed.log_since(offset)
    for secret in secrets:
        assert secret not in log, secret


def no_crash(bed, offset, signs=()):
    log = bed.log_since(offset)
    for sign in ("Panic", "Fatal", "killed with signal", "command startup failed", *signs):
        assert sign not in log, log
