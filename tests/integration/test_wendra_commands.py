"""Every command word of wendra in the test bed: help and option errors byte for byte,
limits set and read back with Dovecot reloaded, certificates installed from options and
from a document and served by SNI, the prompt on a terminal, and parse failures."""
import os
import pty
import select
import subprocess
import time

import pytest

from conftest import (CALLS, CONF_D, IMAPS_PORT, READ_FAILED, STATE, WENDRA_COMMAND,
                      certificates_made, configuration_kept, directory_contents, put_bytes,
                      read_or_none, wendra_installed)

DEFAULT_CN = "testbed.invalid"
NAMES = ("a.wendra.test", "b.wendra.test")

HELP_LINE = b"  -h [ --help ]         displays this help message\n"
PROMPT = (b"This command requires additional data to be passed via STDIN in JSON format.\n"
          b"To get help on expected input data format call this utility with --help-stdin"
          b" option.\n"
          b"Type ^D (send EOF) to abort.\n")
LIMIT_ERROR = ("The argument for option '--limit' is incorrect: expected positive integer "
               "value, got '{}'")

LIMIT_OPTION = (b"  --limit arg           maximum number of connections for POP3/IMAP/POP3s/IMAPs\n"
                + b" " * 24)
# Command word, description, usage line, option lines between the caption and help.
COMMANDS = [
    ("--get-connections-limit", "get POP3/IMAP/POP3s/IMAPs maximum connections limit",
     "--get-connections-limit", b""),
    ("--set-connections-limit", "set POP3/IMAP maximum connections limit",
     "--set-connections-limit --limit=<limit>", LIMIT_OPTION + b"services (mandatory)\n"),
    ("--get-connections-per-ip-limit",
     "get POP3/IMAP/POP3s/IMAPs connections limit per IP per mail name",
     "--get-connections-per-ip-limit", b""),
    ("--set-connections-per-ip-limit",
     "set POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name",
     "--set-connections-per-ip-limit --limit=<limit>",
     LIMIT_OPTION + b"services per IP address per mail name (mandatory)\n"),
    ("--install-certificate", "install POP3s/IMAPs SSL certificate on domain",
     "--install-certificate [--names=<name1,name2,...nameN> --certfile=<path>]\n\t"
     "[--wait-stdin]",
     b"  --names arg           comma separated list of certificate names (mandatory)\n"
     b"  --certfile arg        full path to certificate file (mandatory)\n"
     b"  --wait-stdin          wait for additional mail data from STDIN\n"),
    ("--remove-certificate", "remove POP3s/IMAPs SSL certificate from domain",
     "--remove-certificate [--names=<name1,name2,...nameN>] [--wait-stdin]",
     b"  --names arg           comma separated list of certificate names\n"
     b"  --wait-stdin          wait for additional mail data from STDIN\n"),
    ("--quota-warning-enable", "Notify customer when mailbox usage has reached over 95% limit",
     "--quota-warning-enable", b""),
    ("--quota-warning-disable",
     "Do not notify customer when mailbox usage has reached over 95% limit.",
     "--quota-warning-disable", b""),
    ("--features",
     "return PHP code which reflects state of several features support in wendra",
     "--features", b""),
]
USAGE = {word: (f"{description}\nUsage: {usage}\nAllowed options to {description}:\n").encode()
         + options + HELP_LINE + b"\n"
         for word, description, usage, options in COMMANDS}


@pytest.fixture(scope="module")
def wendra(testbed):
    wendra_installed(testbed)

    def run(*args, input=b""):
        # Standard input is a pipe that already holds all of input and is closed, so
        # the input is ready before wendra looks.
        reader, writer = os.pipe()
        os.write(writer, input)
        os.close(writer)
        try:
            return subprocess.run([testbed.script, "run", *WENDRA_COMMAND, *args], stdin=reader,
                                  capture_output=True, timeout=120)
        finally:
            os.close(reader)

    return run


@pytest.fixture(autouse=True)
def pristine(testbed):
    with configuration_kept(testbed):
        yield


def reloads(testbed):
    return (read_or_none(testbed.path(CALLS)) or b"").count(b"\n")


def sni_files(testbed):
    return sorted(n for n in os.listdir(testbed.path(CONF_D)) if n.startswith("14-velka-sni-"))


def sni_file(testbed, name):
    return read_or_none(testbed.path(f"{CONF_D}/14-velka-sni-{name}.conf")).decode()


def document(*certificates):
    entries = ", ".join(f'{{"name": "{name}", "certfile": "{path}"}}'
                        for name, path in certificates)
    return ('{"domain": {"name": "example.com", "dom_aliases": [], "maillists": [], '
            f'"mails": []}}, "certificates": [{entries}]}}').encode()


@pytest.fixture(scope="module")
def certificates(testbed):
    """Self-signed certificates for NAMES, each with its key in one PEM file."""
    with certificates_made(testbed, NAMES, "wendra-test") as paths:
        yield paths


def served_subject(testbed, name):
    return testbed.served_subject(IMAPS_PORT, name)


def outputs(result):
    return result.returncode, result.stdout, result.stderr


def assert_usage_error(result, word, message):
    """A refused option: the message on stderr, and it and the command's usage on stdout."""
    assert result.returncode == 1
    assert result.stderr == (message + "\n").encode()
    assert result.stdout == result.stderr + USAGE[word]


@pytest.mark.parametrize("word", [c[0] for c in COMMANDS])
def test_help_of_every_command(wendra, word):
    for args in (("--help",), ("-h",), ("stray", "--help")):
        result = wendra(word, *args)
        assert result.returncode == 0
        assert result.stdout == USAGE[word]
        assert result.stderr == b""


@pytest.mark.parametrize("word,args,message", [
    ("--get-connections-limit", ["--limit=5"], "unrecognised option '--limit=5'"),
    ("--get-connections-per-ip-limit", ["--help-me"], "unrecognised option '--help-me'"),
    ("--set-connections-limit", [], 'mandatory option "--limit" is not specified'),
    ("--set-connections-limit", ["--lim=12"], "unrecognised option '--lim=12'"),
    ("--set-connections-per-ip-limit", ["--limit"],
     "the required argument for option '--limit' is missing"),
    ("--install-certificate", ["--names=a.test", "--wait-stdin"],
     'mandatory option "--certfile" is not specified'),
    ("--install-certificate", [], 'mandatory option "--certfile" is not specified'),
    ("--install-certificate", ["--names=a.test b.test", "--certfile=/x"],
     "the argument ('a.test b.test') for option '--names' is invalid"),
    ("--remove-certificate", ["--wait-stdin=yes"],
     "option '--wait-stdin' does not take any arguments"),
    ("--quota-warning-enable", ["-x"], "unrecognised option '-x'"),
    ("--quota-warning-disable", ["--Help"], "unrecognised option '--Help'"),
    ("--features", ["--features"], "unrecognised option '--features'"),
])
def test_option_errors_print_the_usage(testbed, wendra, word, args, message):
    before = reloads(testbed)
    assert_usage_error(wendra(word, *args), word, message)
    assert reloads(testbed) == before


@pytest.mark.parametrize("word", ["--set-connections-limit", "--set-connections-per-ip-limit"])
def test_limit_values(wendra, word):
    # A valid value passes validation, which comes before the help request.
    for good in ("0", "4294967295", "007"):
        result = wendra(word, f"--limit={good}", "--help")
        assert (result.returncode, result.stdout) == (0, USAGE[word]), good
    for args, message in (
            *[([f"--limit={bad}"], LIMIT_ERROR.format(bad))
              for bad in ("4294967296", "-1", "+5", "5x")],
            (["--limit="], "the argument for option '--limit' should follow immediately after "
                           "the equal sign"),
            (["--limit=1", "--limit", "2"], "option '--limit' cannot be specified more than once")):
        assert_usage_error(wendra(word, *args), word, message)


def test_limits_set_and_read_back_on_running_dovecot(dovecot, wendra):
    start = dovecot.log_size()
    assert wendra("--get-connections-limit").stdout == b"1024\n"
    assert wendra("--get-connections-per-ip-limit").stdout == b"10\n"
    for setter, getter, value in (("--set-connections-limit", "--get-connections-limit", "100"),
                                  ("--set-connections-per-ip-limit",
                                   "--get-connections-per-ip-limit", "7")):
        offset = dovecot.log_size()
        assert outputs(wendra(setter, f"--limit={value}")) == (0, b"", b"")
        assert dovecot.wait_for_log(offset, "SIGHUP received - reloading configuration")
        assert outputs(wendra(getter)) == (0, f"{value}\n".encode(), b"")
    assert wendra("--set-connections-limit", "--limit", "007").returncode == 0
    assert wendra("--get-connections-limit").stdout == b"7\n"
    log = dovecot.log_since(start)
    assert "Fatal" not in log and "Error" not in log, log


def test_failed_reload_is_the_exit_status(dovecot, wendra):
    put_bytes(dovecot.path(f"{STATE}/velkarc-fail"), b"3\n")
    try:
        result = wendra("--set-connections-limit", "--limit=50")
        assert result.returncode == 1
        assert b"velkarc execution failed" in result.stderr
        result = wendra("--quota-warning-enable")
        assert result.returncode == 3
    finally:
        os.unlink(dovecot.path(f"{STATE}/velkarc-fail"))


def test_quota_warning_and_features(testbed, wendra):
    quota_file = testbed.path(f"{CONF_D}/20-velka-quota-warning.conf")
    before = reloads(testbed)
    result = wendra("--quota-warning-enable")
    assert (result.returncode, result.stdout) == (0, b""), result.stderr
    assert os.path.exists(quota_file)
    check = testbed.run("doveconf", "-n")
    assert b"service quota-warning {" in check.stdout, check.stderr
    result = wendra("--quota-warning-disable")
    assert (result.returncode, result.stdout) == (0, b""), result.stderr
    assert not os.path.exists(quota_file)
    assert reloads(testbed) == before + 2

    result = wendra("--features", "ignored-word")
    assert result.returncode == 0
    assert result.stdout == (b"$features['IMAP_POP3_Server'] = \"Dovecot\";\n"
                             b"$features['IMAP_POP3_Server_package'] = \"dovecot\";\n"
                             b"$features['IMAP_POP3_Domain_SetCertificate'] = true;\n")


def test_install_serves_each_name_and_remove_takes_it_away(dovecot, wendra, certificates):
    a, b = NAMES
    pem = certificates[b]
    before = reloads(dovecot)
    assert outputs(wendra("--install-certificate", f"--names={b},{a}", f"--certfile={pem}")) \
        == (0, b"", b"")
    assert reloads(dovecot) == before + 1
    assert sni_files(dovecot) == [f"14-velka-sni-{a}.conf", f"14-velka-sni-{b}.conf"]
    a_file, b_file = (os.stat(dovecot.path(f"{CONF_D}/14-velka-sni-{n}.conf")) for n in NAMES)
    assert a_file.st_mtime_ns <= b_file.st_mtime_ns
    assert served_subject(dovecot, b) == f"subject=CN={b}"

    # Each name its own certificate; the option's path wins over the document's.
    result = wendra("--install-certificate", f"--names={a.upper()}",
                    f"--certfile={certificates[a]}", "--wait-stdin",
                    input=document((a, pem), ("c.wendra.test", certificates[a])))
    assert result.returncode == 0, result.stderr
    assert f"ssl_server_cert_file = {certificates[a]}\n" in sni_file(dovecot, a)
    assert f"ssl_server_cert_file = {certificates[a]}\n" in sni_file(dovecot, "c.wendra.test")
    for name in NAMES:
        assert served_subject(dovecot, name) == f"subject=CN={name}"

    before = reloads(dovecot)
    assert outputs(wendra("--remove-certificate", f"--names={a}")) == (0, b"", b"")
    assert reloads(dovecot) == before + 1
    assert served_subject(dovecot, a) == f"subject=CN={DEFAULT_CN}"
    assert served_subject(dovecot, b) == f"subject=CN={b}"

    # Names from a document waiting in a pipe: read at once, no prompt.
    assert outputs(wendra("--remove-certificate", input=document((b, ""), ("C.wendra.test", "")))) \
        == (0, b"", b"")
    assert sni_files(dovecot) == []
    assert served_subject(dovecot, b) == f"subject=CN={DEFAULT_CN}"


def test_names_are_checked_and_converted(testbed, wendra):
    before = reloads(testbed)
    result = wendra("--install-certificate", "--names=ok.test,bad_name.com", "--certfile=/x.pem")
    assert result.returncode == 1
    report = b"Fatal error: std::runtime_error(bad_name.com - name has incorrect format.)\n"
    assert result.stderr.startswith(report)
    assert result.stdout.startswith(report)
    assert sni_files(testbed) == [] and reloads(testbed) == before

    result = wendra("--install-certificate", "--names=Bücher.DE,пример.рф",
                    "--certfile=/etc/dovecot/private/testbed.pem")
    assert result.returncode == 0, result.stderr
    assert sni_files(testbed) == ["14-velka-sni-xn--bcher-kva.de.conf",
                                  "14-velka-sni-xn--e1afmkfd.xn--p1ai.conf"]
    assert "local_name xn--bcher-kva.de {\n" in sni_file(testbed, "xn--bcher-kva.de")


def test_unparsable_document_fails_with_the_report_in_the_log(testbed, wendra):
    before = reloads(testbed)
    for text, report in ((b"", b"JSON object is expected. Error occured at offset 0"),
                         (document(("bad name", "/x")).replace(b"example.com", b"-x.com"),
                          b"Custom JSON value constraint failed: Domain name is not valid.")):
        result = wendra("--remove-certificate", input=text)
        assert result.returncode == 1
        assert result.stdout.endswith(READ_FAILED)
        assert result.stderr.endswith(READ_FAILED)
        assert b"Session mail DB info parsing error: " + report in result.stderr, result.stderr
    assert reloads(testbed) == before


class Terminal:
    """wendra on a pseudo-terminal: its standard input and output are the terminal."""

    def __init__(self, testbed, *args):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen([testbed.script, "run", *WENDRA_COMMAND, *args],
                                     stdin=slave, stdout=slave, stderr=subprocess.PIPE)
        os.close(slave)
        self.output = b""

    def shown(self):
        return self.output.replace(b"\r\n", b"\n")

    def read_for(self, seconds, until=None):
        """What the terminal showed within seconds, or as soon as it showed until."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not (until and until in self.shown()):
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    self.output += os.read(self.master, 4096)
                except OSError:  # the program has ended and closed the terminal
                    break
        return self.shown()

    def type_document_and_eof(self, text):
        os.write(self.master, text + b"\n")
        os.write(self.master, b"\x04")
        status = self.proc.wait(timeout=30)
        self.read_for(0.2)
        os.close(self.master)
        return status


def test_terminal_prompt_only_when_waiting_for_names(testbed, wendra):
    term = Terminal(testbed, "--remove-certificate")
    assert term.read_for(10, until=PROMPT) == PROMPT
    time.sleep(0.3)
    assert term.proc.poll() is None, "did not wait for the document"
    assert term.type_document_and_eof(document(("a.test", ""))) == 0, term.proc.stderr.read()

    term = Terminal(testbed, "--remove-certificate", "--names=a.test", "--wait-stdin")
    assert term.read_for(0.7) == b""
    assert term.proc.poll() is None, "did not wait for the document"
    assert term.type_document_and_eof(document(("b.test", ""))) == 0
    assert PROMPT not in term.shown()

    # Names on the command line: the terminal is neither read nor prompted.
    term = Terminal(testbed, "--remove-certificate", "--names=a.test")
    assert term.proc.wait(timeout=30) == 0
    assert term.read_for(0.2) == b""
    os.close(term.master)


def conf_d_state(testbed):
    """Name to (mode, content) of every file in conf.d."""
    path = testbed.path(CONF_D)
    return {name: (os.stat(os.path.join(path, name)).st_mode, content)
            for name, content in directory_contents(path).items()}


# Another program's include file ending a value in "\", which joins the block's "}".
BROKEN = b"local_name broken.test {\n  ssl_server_cert_file = /etc/ssl/a.pem\\\n}\n"


REFUSED_BEFORE = (b"Unable to apply the Dovecot configuration: doveconf rejected it already "
                  b"before this command changed anything, so Dovecot was not reloaded")
REFUSED = b"Unable to apply the Dovecot configuration: doveconf rejects it, so Dovecot was not " \
          b"reloaded"


@pytest.mark.parametrize("broken,args,message", [(True, args, b"50-other.conf") for args in (
    ["--set-connections-limit", "--limit=5"], ["--set-connections-per-ip-limit", "--limit=5"],
    ["--quota-warning-enable"], ["--quota-warning-disable"],
    ["--install-certificate", "--names=b.wendra.test,c.wendra.test",
     "--certfile=/etc/dovecot/private/testbed.pem"],
    ["--remove-certificate", "--names=a.wendra.test"])] + [
    (False, ["--set-connections-limit", "--limit=0"], b"process_limit must be")])
def test_configuration_doveconf_refuses_is_never_applied(testbed, wendra, broken, args, message):
    for setup in (["--set-connections-limit", "--limit=100"], ["--quota-warning-enable"],
                  ["--install-certificate", "--names=a.wendra.test",
                   "--certfile=/etc/dovecot/private/testbed.pem"]):
        assert wendra(*setup).returncode == 0
    # Dovecot reads its configuration after the reload signal; stopped, it cannot read
    # the broken file on behalf of the setup.
    testbed.control("stop")
    if broken:
        put_bytes(testbed.path(f"{CONF_D}/50-other.conf"), BROKEN)
    before, calls = conf_d_state(testbed), reloads(testbed)
    result = wendra(*args)
    assert result.returncode == 1
    assert result.stderr.startswith(REFUSED_BEFORE if broken else REFUSED), result.stderr
    assert message in result.stderr, result.stderr
    assert conf_d_state(testbed) == before
    assert reloads(testbed) == calls


def test_new_include_files_ignore_the_umask(testbed, wendra):
    result = testbed.run("sh", "-c", 'umask 000; exec "$@"', "-", *WENDRA_COMMAND,
                         "--quota-warning-enable")
    assert result.returncode == 0, result.stderr
    assert {mode for mode, _ in conf_d_state(testbed).values()} == {0o100644}
