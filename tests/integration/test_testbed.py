"""The test bed itself: a real Dovecot 2.4 that accepts our configuration, serves
IMAP and POP3 on loopback, loads our plug-in, and stops cleanly."""
import imaplib
import os
import poplib
import re
import ssl

import pytest

from conftest import DOVECOT_CONF, IMAP_PORT, POP3S_PORT, put_bytes
from testbed_client import doveadm


def test_doveconf_accepts_the_test_configuration(testbed):
    result = testbed.run("doveconf", "-c", DOVECOT_CONF, "-n")
    assert result.returncode == 0, result.stderr
    assert b"listen = 127.0.0.1" in result.stdout


def test_the_tree_runs_dovecot_2_4(testbed):
    version = testbed.run("dovecot", "--version", check=True).stdout.decode()
    assert re.match(r"2\.4\.\d+", version)


def test_dovecot_serves_imap_and_pop3_and_stops_cleanly(testbed):
    testbed.control("start")
    try:
        imap = imaplib.IMAP4("127.0.0.1", IMAP_PORT)
        assert b"Dovecot ready" in imap.welcome
        imap.starttls(ssl_context=ssl._create_unverified_context())
        assert imap.login("smoke@example.test", "testbed")[0] == "OK"
        imap.logout()
        pop = poplib.POP3_SSL("127.0.0.1", POP3S_PORT,
                              context=ssl._create_unverified_context())
        pop.user("smoke@example.test")
        assert pop.pass_("testbed").startswith(b"+OK")
        pop.quit()
    finally:
        testbed.control("stop")
    assert not os.path.exists(testbed.path("/run/velka-testbed/master.pid"))


def test_the_plugin_loads_into_the_auth_process(testbed):
    if not os.path.exists(testbed.path("/usr/lib/dovecot/modules/auth/libauthdb_velka.so")):
        pytest.skip("the plug-in was not built")
    conf = testbed.path("/etc/dovecot/conf.d/99-test-plugin-load.conf")
    put_bytes(conf, b"passdb velka {\n  driver = velka\n}\n")
    try:
        testbed.control("start")
        offset = testbed.log_size()
        status, output = doveadm(testbed, "nobody@example.test", "wrong")
        # Refused either way: no such account (77), or no database here yet (75).
        assert status in (75, 77), output
        log = testbed.log_since(offset)
        assert "Module is for different ABI version" not in log
        assert "Fatal" not in log
        assert "velka" in log
    finally:
        os.unlink(conf)
        testbed.control("stop")
