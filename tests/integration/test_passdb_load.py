"""The passdb plug-in under load in the test bed's real Dovecot 2.4: concurrent IMAP and
POP3 logins while writer processes change a password, rename a user and disable and
enable a domain through the library, each write a run of the administration driver.

Accounts that no writer touches must log in every time; the others may be refused while
they change, but never with an internal failure. Afterwards every account is in the
state its writer left, and the authentication process is the one that started.
VELKA_LOAD_SECONDS sets the length of the run (30 s by default)."""
import collections
import imaplib
import os
import poplib
import re
import threading
import time

import pytest

from conftest import DOVECOT_CONF, IMAP_PORT, POP3_PORT
from test_passdb_velka import (ADMIN, AUTH_CONF, MAILNAMES, QMAIL_DIR, VQA_CONF, FAILED, OK,
                               plugin_bed, write)

SECONDS = float(os.environ.get("VELKA_LOAD_SECONDS", "30"))
IMAP_CLIENTS = 3
POP3_CLIENTS = 3
STABLE = {f"steady{i}@load-a.test": f"Steady-pw-{i}-5150" for i in range(6)}
STABLE["hashed@load-a.test"] = "Hashed-pw-7781"
PASSWORDS = [f"Churn-pw-{i}-3344" for i in range(4)]  # the password writer's cycle
MOVER_NAMES = ("mover", "moved")                     # the rename writer's pair
MOVER_PASSWORD = "Mover-pw-6612"
TOGGLED = ("toggle@load-c.test", "Toggle-pw-9930")   # the domain writer's account


@pytest.fixture(scope="module")
def bed(testbed):
    domains = ("load-a.test", "load-b.test", "load-c.test")
    with plugin_bed(testbed, [AUTH_CONF, VQA_CONF, QMAIL_DIR]
                    + [f"{MAILNAMES}/{d}" for d in domains]) as bed:
        make_accounts(bed)
        yield bed


def admin(bed, *args):
    result = bed.run(ADMIN, "0", *args)
    return result.returncode == 0 and result.stdout.decode().endswith("result 0\n")


def make_accounts(bed):
    write(bed, VQA_CONF, f"VELKA_MAILNAMES_D {MAILNAMES}\n")
    assert admin(bed, "init")
    hashed = bed.run("openssl", "passwd", "-6", STABLE["hashed@load-a.test"], check=True)
    for address, password in STABLE.items():
        name, domain = address.split("@")
        if name == "hashed":
            assert admin(bed, "set", name, domain, hashed.stdout.decode().strip(), "crypt")
        else:
            assert admin(bed, "set", name, domain, password)
    assert admin(bed, "set", "churn", "load-b.test", PASSWORDS[0])
    assert admin(bed, "set", MOVER_NAMES[0], "load-b.test", MOVER_PASSWORD)
    assert admin(bed, "set", *TOGGLED[0].split("@"), TOGGLED[1])
    homes = [a.split("@") for a in list(STABLE) + ["churn@load-b.test", TOGGLED[0]]]
    homes += [(name, "load-b.test") for name in MOVER_NAMES]
    for name, domain in homes:
        path = f"{MAILNAMES}/{domain}/{name}"
        bed.run("install", "-d", "-o", "vmail", "-g", "vmail", "-m", "755",
                f"{MAILNAMES}/{domain}", path, f"{path}/Maildir", check=True)
    # The lookups run in the authentication process itself, as user dovecot.
    for name in ("", "/passwd.db", "/passwd_db_key"):
        bed.run("chgrp", "dovecot", QMAIL_DIR + name, check=True)
    write(bed, AUTH_CONF, "\n".join([
        "auth_debug = yes",
        "auth_debug_passwords = no",
        "auth_internal_failure_delay = 0",
        "passdb velka {",
        "  driver = velka",
        "  use_worker = no",
        "  velka_smtp_server = QMail",
        "}",
        "userdb static {",
        "}",
        ""]))


# --- clients and writers -------------------------------------------------------------

def imap(user, password):
    client = imaplib.IMAP4("127.0.0.1", IMAP_PORT, timeout=30)
    try:
        client.login(user, password)
        client.logout()
        return "OK"
    except imaplib.IMAP4.error as e:
        client.shutdown()
        code = re.search(r"\[([A-Z]+)\]", str(e))
        return code.group(1) if code else str(e)


def pop3(user, password):
    client = poplib.POP3("127.0.0.1", POP3_PORT, timeout=30)
    try:
        client.user(user)
        client.pass_(password)
        client.quit()
        return "OK"
    except poplib.error_proto as e:
        client.close()
        text = e.args[0].decode()
        # Dovecot's POP3 refusal texts: a wrong login, or its own trouble.
        return "AUTHENTICATIONFAILED" if "Authentication failed" in text else text


class Tally:
    """Counts of outcomes by kind, shared by the threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.odd = []

    def add(self, kind, outcome):
        with self.lock:
            self.counts[(kind, outcome)] += 1
            if len(self.odd) < 20 and outcome not in ("OK", "AUTHENTICATIONFAILED"):
                self.odd.append((kind, outcome))


def client_loop(login, index, deadline, tally):
    protocol = login.__name__
    stable = list(STABLE.items())
    step = index
    while time.monotonic() < deadline:
        step += 1
        try:
            if step % 3:
                user, password = stable[step % len(stable)]
                tally.add(f"{protocol} stable", login(user, password))
            else:
                # An account that a writer is changing: refused or not, never broken.
                user, password = [("churn@load-b.test", PASSWORDS[step % len(PASSWORDS)]),
                                  (f"{MOVER_NAMES[step % 2]}@load-b.test", MOVER_PASSWORD),
                                  TOGGLED][step % 3]
                tally.add(f"{protocol} churned", login(user, password))
        except Exception as e:  # a dropped connection or a timeout counts as a failure
            tally.add(f"{protocol} error", type(e).__name__)


def writer_loop(bed, name, steps, deadline, tally, writes):
    done = 0
    while time.monotonic() < deadline:
        tally.add("write", "OK" if admin(bed, *steps(done)) else "FAILED")
        done += 1
    writes[name] = done


def password_step(i):
    return ("set", "churn", "load-b.test", PASSWORDS[(i + 1) % len(PASSWORDS)])


def rename_step(i):
    return ("rename", MOVER_NAMES[i % 2], MOVER_NAMES[(i + 1) % 2], "load-b.test")


def domain_step(i):
    return ("disable-domain" if i % 2 == 0 else "enable-domain", "load-c.test")


# --- the auth process ------------------------------------------------------------------

def auth_pids(bed):
    """Process ids of the master's "auth" children."""
    with open(bed.path("/run/velka-testbed/master.pid")) as f:
        master = f.read().strip()
    pids = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = stat[stat.rindex(")") + 2:].split()[1]
        if ppid == master and comm == "auth":
            pids.add(int(entry))
    return pids


def doveadm(bed, user, password):
    return bed.run("doveadm", "-c", DOVECOT_CONF, "auth", "test", user, password).returncode


def test_logins_hold_while_the_panel_writes(bed):
    bed.control("stop")
    bed.control("start")
    start = bed.log_size()
    # The first login starts the auth process; from then on it must stay the same one.
    assert imap(*next(iter(STABLE.items()))) == "OK"
    before = auth_pids(bed)
    assert len(before) == 1, before

    tally = Tally()
    deadline = time.monotonic() + SECONDS
    writes = {}
    threads = [threading.Thread(target=client_loop, args=(imap, i, deadline, tally))
               for i in range(IMAP_CLIENTS)]
    threads += [threading.Thread(target=client_loop, args=(pop3, i, deadline, tally))
                for i in range(POP3_CLIENTS)]
    for name, steps in (("password", password_step), ("rename", rename_step),
                        ("domain", domain_step)):
        threads.append(threading.Thread(target=writer_loop,
                                        args=(bed, name, steps, deadline, tally, writes)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 120)
        assert not thread.is_alive()

    counts = tally.counts
    report = ", ".join(f"{k[0]} {k[1]}: {v}" for k, v in sorted(counts.items()))
    print(f"\nload for {SECONDS:g} s: {report}; writes by writer: {writes}")
    for kind in ("imap stable", "pop3 stable", "write"):
        assert counts[(kind, "OK")] > 0, report
    assert sum(v for (kind, outcome), v in counts.items()
               if outcome != "OK" and kind.endswith(("stable", "write"))) == 0, (report, tally.odd)
    assert sum(v for (kind, outcome), v in counts.items()
               if kind.endswith("churned") and outcome not in ("OK", "AUTHENTICATIONFAILED")) \
        == 0, (report, tally.odd)
    assert not [k for k in counts if k[0].endswith("error")], (report, tally.odd)
    assert all(writes.get(n, 0) > 0 for n in ("password", "rename", "domain")), writes

    # Every account is as its writer left it.
    last = writes["password"] - 1
    current = password_step(last)[3]
    previous = password_step(last - 1)[3] if last > 0 else PASSWORDS[0]
    assert doveadm(bed, "churn@load-b.test", current) == OK
    assert doveadm(bed, "churn@load-b.test", previous) == FAILED
    final_name = rename_step(writes["rename"] - 1)[2]
    other_name = MOVER_NAMES[0] if final_name == MOVER_NAMES[1] else MOVER_NAMES[1]
    assert doveadm(bed, f"{final_name}@load-b.test", MOVER_PASSWORD) == OK
    assert doveadm(bed, f"{other_name}@load-b.test", MOVER_PASSWORD) == FAILED
    disabled = domain_step(writes["domain"] - 1)[0] == "disable-domain"
    assert doveadm(bed, *TOGGLED) == (FAILED if disabled else OK)
    for user, password in STABLE.items():
        assert doveadm(bed, user, password) == OK, user
    check = bed.run("sqlite3", f"{QMAIL_DIR}/passwd.db", "PRAGMA integrity_check")
    assert check.stdout == b"ok\n", check

    assert auth_pids(bed) == before
    log = bed.log_since(start)
    for sign in ("Panic", "Fatal", "killed with signal", "command startup failed",
                 "Internal error occurred", "gave up waiting"):
        assert sign not in log, sign
    for secret in list(STABLE.values()) + PASSWORDS + [MOVER_PASSWORD, TOGGLED[1]]:
        assert secret not in log, secret
