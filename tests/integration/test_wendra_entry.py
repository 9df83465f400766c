"""wendra's entry, run on the host: missing and unknown commands, help texts, exit
statuses, its output compared byte for byte."""
import subprocess

import pytest

from conftest import WENDRA_BIN, WENDRA_WRAPPER

if not WENDRA_BIN:
    pytest.skip("WENDRA_BIN is not set", allow_module_level=True)

SHORT_USAGE = (
    b"Usage: wendra <COMMAND> <COMMAND OPTIONS...>\n"
    b"\t for a complete list of commands use ``wendra --help-commands''\n"
    b"\t for help on syntax for a particular command use ``wendra <COMMAND> --help''\n"
    b"\t for legacy complete help use ``wendra --help-legacy''\n"
)

COMMANDS = [
    (b"--get-connections-limit", b"",
     b"returns POP3/IMAP/POP3s/IMAPs maximum connections limit"),
    (b"--set-connections-limit", b"--limit=<limit>",
     b"sets POP3/IMAP/POP3s/IMAPs maximum connections limit, <limit> is positive integer number"),
    (b"--get-connections-per-ip-limit", b"",
     b"returns POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name"),
    (b"--set-connections-per-ip-limit", b"--limit=<limit>",
     b"sets POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name, "
     b"<limit> is positive integer number"),
    (b"--install-certificate", b"--names=<name1,name2,...nameN> --certfile=<full filename>",
     b"sets IMAP/POP3 certificate to the specified domain"),
    (b"--remove-certificate", b"--names=<name1,name2,...nameN>",
     b"moves IMAP/POP3 certificate"),
    (b"--quota-warning-enable", b"",
     b"Notify customer when mailbox usage has reached over 95% limit"),
    (b"--quota-warning-disable", b"",
     b"Do not notify customer when mailbox usage has reached over 95% limit."),
    (b"--features", b"",
     b"returns PHP code which reflects state of several features support in wendra"),
    (b"--help-commands", b"", b"displays wendra commands list and exit"),
    (b"--help-legacy", b"", b"displays legacy wendra help and exit"),
    (b"-h, --help", b"", b"displays wendra usage summary and exit"),
]


def run(*args):
    return subprocess.run([*WENDRA_WRAPPER, WENDRA_BIN, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=30)


@pytest.mark.parametrize("args, error", [([], b"no command specified")] + [
    ([word, "--more"], b"invalid command " + word.encode())
    for word in ("--bogus", "", "--HELP", "--help=1", "--get-connections", "-H", "help")])
def test_missing_or_invalid_command_is_an_error_on_stderr(args, error):
    r = run(*args)
    assert (r.returncode, r.stdout) == (1, b"")
    assert r.stderr == b"Error: " + error + b"\n" + SHORT_USAGE


COMMAND_LIST = b"Wendra commands:\n" + b"".join(
    command.ljust(32) + description + b"\n" for command, _, description in COMMANDS)
LEGACY_HELP = b"Usage: wendra [OPTIONS]... \n" + b"".join(
    b"  " + command + b" " + syntax + b"\n        " + description + b"\n"
    for command, syntax, description in COMMANDS)


@pytest.mark.parametrize("args, expected, lines", [
    (["-h"], SHORT_USAGE, 4),
    (["--help"], SHORT_USAGE, 4),
    (["--help", "--bogus", "x"], SHORT_USAGE, 4),
    (["--help-commands"], COMMAND_LIST, 13),
    (["--help-legacy"], LEGACY_HELP, 25),
    (["--help-stdin"], b"", 0),
])
def test_help_on_stdout(args, expected, lines):
    r = run(*args)
    assert r.returncode == 0
    assert r.stdout == expected
    assert len(r.stdout.splitlines()) == lines
    assert r.stderr == b""
