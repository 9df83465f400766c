"""The passdb plug-in under load in the test bed's real Dovecot 2.4: concurrent IMAP and
POP3 logins while writer processes change a password, rename a user and disable and
enable a domain through the library, each write a run of the administration driver.

Accounts that no writer touches must log in every time; the others may be refused while
they change, but never with an internal failure. Afterwards every account is in the
state its writer left, and the authentication process is the one that started.
VELKA_LOAD_SECONDS sets the length of the run (30 s by default)."""
import collections
import os
import threading
import time

import pytest

from passdb_bed import (AUTH_CONF, MAILNAMES, QMAIL_DIR, VQA_CONF, FAILED, OK, admin, configure,
                        init_accounts, maildir, no_crash, no_secrets, plugin_bed)
from testbed_client import doveadm, imap, pop3

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


def make_accounts(bed):
    accounts = [*STABLE.items(), ("churn@load-b.test", PASSWORDS[0]),
                (f"{MOVER_NAMES[0]}@load-b.test", MOVER_PASSWORD), TOGGLED]
    init_accounts(bed, [(address, password, "crypt" if address.startswith("hashed@") else "")
                        for address, password in accounts])
    maildir(bed, f"{MOVER_NAMES[1]}@load-b.test")
    configure(bed, worker=False)


# --- clients and writers -------------------------------------------------------------

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


def client_loop(bed, login, index, deadline, tally):
    protocol = login.__name__
    stable = list(STABLE.items())
    step = index
    while time.monotonic() < deadline:
        step += 1
        try:
            if step % 3:
                user, password = stable[step % len(stable)]
                tally.add(f"{protocol} stable", login(bed, user, password))
            else:
                # An account that a writer is changing: refused or not, never broken.
                user, password = [("churn@load-b.test", PASSWORDS[step % len(PASSWORDS)]),
                                  (f"{MOVER_NAMES[step % 2]}@load-b.test", MOVER_PASSWORD),
                                  TOGGLED][step % 3]
                tally.add(f"{protocol} churned", login(bed, user, password))
        except Exception as e:  # a dropped connection or a timeout counts as a failure
            tally.add(f"{protocol} error", type(e).__name__)


def writer_loop(bed, name, steps, deadline, tally, writes):
    done = 0
    while time.monotonic() < deadline:
        tally.add("write", "OK" if admin(bed, "0", *steps(done), check=False) else "FAILED")
        done += 1
    writes[name] = done


def password_step(i):
    return ("set", "churn", "load-b.test", PASSWORDS[(i + 1) % len(PASSWORDS)])


def rename_step(i):
    return ("rename", MOVER_NAMES[i % 2], MOVER_NAMES[(i + 1) % 2], "load-b.test")


def domain_step(i):
    return ("disable-domain" if i % 2 == 0 else "enable-domain", "load-c.test")


# --- the run ------------------------------------------------------------------------

def test_logins_hold_while_the_panel_writes(bed):
    start = bed.restart()
    # The first login starts the auth process; from then on it must stay the same one.
    assert imap(bed, *next(iter(STABLE.items()))) == "OK"
    before = bed.auth_pids()
    assert len(before) == 1, before

    tally = Tally()
    deadline = time.monotonic() + SECONDS
    writes = {}
    threads = [threading.Thread(target=client_loop, args=(bed, imap, i, deadline, tally))
               for i in range(IMAP_CLIENTS)]
    threads += [threading.Thread(target=client_loop, args=(bed, pop3, i, deadline, tally))
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
    assert doveadm(bed, "churn@load-b.test", current)[0] == OK
    assert doveadm(bed, "churn@load-b.test", previous)[0] == FAILED
    final_name = rename_step(writes["rename"] - 1)[2]
    other_name = MOVER_NAMES[0] if final_name == MOVER_NAMES[1] else MOVER_NAMES[1]
    assert doveadm(bed, f"{final_name}@load-b.test", MOVER_PASSWORD)[0] == OK
    assert doveadm(bed, f"{other_name}@load-b.test", MOVER_PASSWORD)[0] == FAILED
    disabled = domain_step(writes["domain"] - 1)[0] == "disable-domain"
    assert doveadm(bed, *TOGGLED)[0] == (FAILED if disabled else OK)
    for user, password in STABLE.items():
        assert doveadm(bed, user, password)[0] == OK, user
    check = bed.run("sqlite3", f"{QMAIL_DIR}/passwd.db", "PRAGMA integrity_check")
    assert check.stdout == b"ok\n", check

    assert bed.auth_pids() == before
    no_crash(bed, start, ("Internal error occurred", "gave up waiting"))
    no_secrets(bed, start, list(STABLE.values()) + PASSWORDS + [MOVER_PASSWORD, TOGGLED[1]])
