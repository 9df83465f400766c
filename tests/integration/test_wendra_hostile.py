"""Hostile input to every command of wendra in the test bed: odd option values, repeated
options, hostile standard-input documents, and certificate names and paths meant to leave
the include directory or inject configuration lines. Each run must end by itself with
status 0 or 1 and no sanitizer or valgrind report, and conf.d may change only as the
command is meant to change it.
"""
import collections
import contextlib
import os
import re
import shutil
import shlex
import subprocess

import pytest

from conftest import (CALLS, CONF_D, READ_FAILED, WENDRA_COMMAND, directory_contents,
                      directory_kept, file_kept, put_bytes, read_or_none, wendra_installed)
from testbed_client import Shell

PEM = "/etc/dovecot/private/testbed.pem"
KEY = "/etc/dovecot/private/testbed.key"
WORK_DIR = "/tmp/wendra-hostile"
HEADER = (b"#ATTENTION!\n#\n#DO NOT MODIFY THIS FILE BECAUSE IT WAS GENERATED AUTOMATICALLY,\n"
          b"#SO ALL YOUR CHANGES WILL BE LOST THE NEXT TIME THE FILE IS GENERATED.\n\n")
REPORTS = re.compile(rb"Sanitizer|runtime error:|==\d+== (Invalid|Conditional|Use of|\d+ bytes)"
                     rb"|definitely lost: [1-9]")
TRIED = collections.Counter()


def by_kind(kind, *values):
    return [(kind, value) for value in values]


# Values by kind; arguments cannot hold NUL.
VALUES = (by_kind("huge", b"9" * 100000, b"a" * 60000 + b".com", b"/" + b"x" * 100000)
          + by_kind("empty", b"")
          + by_kind("non-ASCII", "пример.рф".encode(), b"\xff\xfe.com", "１２３".encode())
          + by_kind("control", b"1\n2", b"a.test\nssl = no", b"\x1b[2J\x07", b"a\tb\r", b"\x7f")
          + by_kind("placeholder", b"%original_token%", b"x%value%",
                    b"%canonical_option%%prefix%%s%n"))

GOOD = {"limit": b"--limit=5", "names": b"--names=a.hostile.test",
        "certfile": b"--certfile=" + PEM.encode()}
COMMANDS = {  # command word: its options
    "--get-connections-limit": [], "--set-connections-limit": ["limit"],
    "--get-connections-per-ip-limit": [], "--set-connections-per-ip-limit": ["limit"],
    "--install-certificate": ["names", "certfile"], "--remove-certificate": ["names"],
    "--quota-warning-enable": [], "--quota-warning-disable": [], "--features": [],
}
READ_ONLY = {"--get-connections-limit", "--get-connections-per-ip-limit", "--features"}

NAMES_ESCAPING = [b"../../../etc/evil", b"a.test/../../x", b"a.test/x", b"..", b".",
                  b"a..test", b"a.test {", b"a.test}", b"*.a.test", b"a.test;reboot", b"-a.test",
                  b"a.test,../b"]
PATHS_INJECTING = [b"relative.pem", b"../../etc/shadow", b"/x.pem\nssl = no",
                   b"/x.pem\n}\nlocal_name evil {", b"/x.pem\r", b"/x.pem\x01", b"", b"~/x.pem",
                   b"$HOME/x.pem"]


def quoted(path):
    return b'"' + path.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def is_control(value):
    return any(c < 0x20 or c == 0x7f for c in value)


def must_fail(option, kind, value):
    """Whether the value has to be refused whatever else is right."""
    if option == "certfile":
        return not value.startswith(b"/") or is_control(value)
    if option == "names":
        return kind not in ("non-ASCII",)
    return True


def option_cases():
    """(kind, command, arguments, must fail)."""
    cases = []
    seen_unknown = {}  # one undeclared option of each kind per command is enough
    for word, options in COMMANDS.items():
        command = word.encode()
        for kind, value in VALUES:
            for option in options:
                args = [GOOD[o] if o != option else f"--{option}=".encode() + value
                        for o in options]
                cases.append((kind, command, args, must_fail(option, kind, value)))
            if kind not in seen_unknown.setdefault(word, set()):
                seen_unknown[word].add(kind)
                cases.append((kind, command, [b"--x" + value] + [GOOD[o] for o in options],
                              word not in READ_ONLY))
            if word == "--features":
                cases.append((kind, command, [value], False))
        for option in options + ["wait-stdin", "help"]:
            if option == "wait-stdin" and word not in ("--install-certificate",
                                                       "--remove-certificate"):
                continue
            flag = f"--{option}".encode()
            twice = [GOOD.get(option, flag)] * 2 + [GOOD[o] for o in options if o != option]
            cases.append(("repeated", command, twice, False))
        cases.append(("repeated", command, [b"--help"] * 1000, False))
    return cases


def document(name=b"example.com", certificates=b"[]"):
    return (b'{"domain": {"name": "' + name + b'", "dom_aliases": [], "maillists": [], '
            b'"mails": []}, "certificates": ' + certificates + b"}")


def certificate_entries(*pairs):
    return b"[" + b", ".join(b'{"name": "' + n + b'", "certfile": "' + p + b'"}'
                             for n, p in pairs) + b"]"


def with_mails(mails):
    return document().replace(b'"mails": []', b'"mails": ' + mails)


VALID_DOC = document(certificates=certificate_entries((b"doc.hostile.test", PEM.encode())))
DOCUMENTS = (
    [("truncated", VALID_DOC[:cut]) for cut in (0, 1, 10, 40, 80, len(VALID_DOC) - 1)]
    + by_kind("deeply nested", b"[" * 200000 + b"]" * 200000,
              b'{"a":' * 100000 + b"1" + b"}" * 100000,
              document().replace(b'"maillists": []', b'"maillists": [], "x": ' + b"[" * 100000))
    + by_kind("enormous", document(b"a" * 10_000_000 + b".com"),
              document(certificates=certificate_entries(
                  *[(b"n%d.hostile.test" % i, b"/nowhere.pem") for i in range(20000)]))[:-3],
              b" " * 20_000_000)
    + by_kind("invalid types", document().replace(b'"example.com"', b"5"),
              document(certificates=b"{}"), with_mails(b'"x"'),
              *[with_mails(b'[{"name": "a", "aliases": [], "mbox_quota": ' + quota + b"}]")
                for quota in (b'"5"', b"1e999", b"99999999999999999999999")],
              b"null", b"[]", b'"text"',
              document(certificates=certificate_entries((b"a.test", b"\\u0000"))),
              document(b"ex\\u00e4mple.com"), document(b"\xc3\xa4.com"))
    + [("trailing text", VALID_DOC + b" trailing"), ("invalid types", b"\x00" + VALID_DOC)]
    + [("escaping name", document(certificates=certificate_entries((name, PEM.encode()))))
       for name in NAMES_ESCAPING if b"\\" not in name]
    + [("injecting path", document(certificates=certificate_entries(
        (b"doc.hostile.test", path.replace(b"\n", b"\\n").replace(b"\r", b"\\r")
         .replace(b"\x01", b"\\u0001")))))
       for path in PATHS_INJECTING]
)


class InTree:
    """Runs wendra in the tree through one shell kept open. Arguments travel as a
    NUL-separated file (any byte but NUL), standard input is a file holding all of it."""

    def __init__(self, testbed):
        self.host_dir = testbed.path(WORK_DIR)
        os.makedirs(self.host_dir, exist_ok=True)
        self.shell = Shell(testbed)
        command = " ".join(shlex.quote(a) for a in WENDRA_COMMAND)
        self.line = (f"xargs -0 -x -s 2000000 -a {WORK_DIR}/args sh -c "
                     f"'timeout 100 \"$@\" <{WORK_DIR}/in >{WORK_DIR}/out 2>{WORK_DIR}/err;"
                     f" echo $? >{WORK_DIR}/rc' - {command}; echo done\n").encode()

    def file(self, name):
        return os.path.join(self.host_dir, name)

    def __call__(self, *args, input=b""):
        put_bytes(self.file("args"), b"".join(a + b"\0" for a in args))
        put_bytes(self.file("in"), input)
        os.unlink(self.file("rc")) if os.path.exists(self.file("rc")) else None
        assert self.shell.send(self.line).readline() == b"done\n"
        out, err, rc = (read_or_none(self.file(name)) for name in ("out", "err", "rc"))
        return subprocess.CompletedProcess(args, int(rc), out, err)

    def close(self):
        self.shell.close()
        shutil.rmtree(self.host_dir)


@pytest.fixture(scope="module")
def wendra(testbed):
    wendra_installed(testbed)
    runner = InTree(testbed)
    with file_kept(testbed.path(CALLS)):
        yield runner
    runner.close()
    print("\nhostile inputs tried by kind:", dict(sorted(TRIED.items())))


@pytest.fixture
def conf_d(testbed, wendra):
    """A runner of wendra that checks each run and what it changed in conf.d (certfile: the
    certificate path it must write), and conf.d as found; restored after the test."""
    path = testbed.path(CONF_D)
    with directory_kept(path) as before:
        def run(*args, input=b"", certfile=None):
            result = wendra(*args, input=input)
            check_run(result, input)
            after = directory_contents(path)
            check_changes(before, after, args[0].decode(), certfile)
            return result, after
        yield run, before


def check_run(result, input=b""):
    assert result.returncode in (0, 1), (result.returncode, result.stderr[-2000:])
    assert not REPORTS.search(result.stderr), result.stderr[-4000:]
    # Messages may repeat an argument or a path of the document, but nothing grows
    # beyond that.
    bound = (sum(len(a) for a in result.args) + len(input)) * 2 + 20000
    assert len(result.stdout) < bound and len(result.stderr) < bound


def check_changes(before, after, word, certfile=None):
    """Only what the command owns may change, and certificate files hold one block."""
    changed = {n for n in set(before) | set(after) if before.get(n) != after.get(n)}
    if word in READ_ONLY or not changed:
        assert not changed, changed
        return
    allowed = {
        "--set-connections-limit": r"92-velka-service-[a-z-]+\.conf",
        "--set-connections-per-ip-limit": r"92-velka-userip_connections\.conf",
        "--quota-warning-enable": r"20-velka-quota-warning\.conf",
        "--install-certificate": r"14-velka-sni-[a-z0-9.-]+\.conf",
    }[word.replace("-disable", "-enable").replace("--remove-", "--install-")]
    for name in changed:
        assert re.fullmatch(allowed, name), name
        if word == "--install-certificate":
            domain = name[len("14-velka-sni-"):-len(".conf")].encode()
            path = (re.escape(certfile) + b"|" + re.escape(quoted(certfile)) if certfile
                    else rb'/[^\x00-\x1f\x7f]*|"/[^\x00-\x1f\x7f]*"')
            assert re.fullmatch(HEADER.replace(b"*", rb"\*").replace(b".", rb"\.")
                                + rb"local_name " + re.escape(domain) + rb" \{\n"
                                rb"  ssl_server_cert_file = (" + path + rb")\n"
                                rb"  ssl_server_key_file = \1\n\}\n", after[name]), after[name]
        if word == "--remove-certificate":
            assert name not in after


@pytest.mark.parametrize("kind,command,args,refused", option_cases(),
                         ids=lambda x: x[:40].decode("ascii", "replace")
                         if isinstance(x, bytes) else None)
def test_hostile_options(conf_d, kind, command, args, refused):
    TRIED["options: " + kind] += 1
    run, before = conf_d
    result, after = run(command, *args)
    if refused:
        assert result.returncode == 1, result.stderr[-2000:]
        assert after == before


@pytest.mark.parametrize("kind,text", DOCUMENTS, ids=lambda x: str(len(x)) if isinstance(x, bytes)
                         else x)
def test_hostile_documents(conf_d, kind, text):
    TRIED["stdin: " + kind] += 1
    run, before = conf_d
    # A certificate path of just \u0000 reads as empty; text after the document is not
    # looked at.
    unreadable = (kind not in ("escaping name", "injecting path", "trailing text")
                  and b"\\u0000" not in text)
    for args in ((b"--remove-certificate",),
                 (b"--install-certificate", GOOD["names"], GOOD["certfile"], b"--wait-stdin")):
        result, after = run(*args, input=text)
        if unreadable:
            assert result.returncode == 1, result.stderr[-2000:]
            assert result.stderr.endswith(READ_FAILED), result.stderr[-2000:]
            assert after == before
        elif kind == "escaping name":
            assert result.returncode == 1
            assert b"invalid certificate name" in result.stderr
        # Only the option's own name, and the valid document's, may have been installed.
        allowed = {"14-velka-sni-a.hostile.test.conf",
                   *(["14-velka-sni-doc.hostile.test.conf"] if kind == "trailing text" else [])}
        assert set(after) - set(before) <= allowed


@pytest.mark.parametrize("name", NAMES_ESCAPING)
def test_certificate_names_stay_in_the_include_directory(testbed, conf_d, name):
    TRIED["escaping name"] += 1
    run, before = conf_d
    etc = lambda: set().union(*(os.listdir(testbed.path(d)) for d in ("/etc/dovecot", "/etc")))
    outside = etc()
    for args in ((b"--install-certificate", b"--names=" + name, b"--certfile=" + PEM.encode()),
                 (b"--remove-certificate", b"--names=" + name)):
        result, after = run(*args)
        assert result.returncode == 1
        assert after == before
    assert etc() == outside


@pytest.mark.parametrize("certfile", PATHS_INJECTING)
def test_certificate_paths_cannot_inject_lines(testbed, conf_d, certfile):
    TRIED["injecting path"] += 1
    run, before = conf_d
    result, after = run(b"--install-certificate", GOOD["names"], b"--certfile=" + certfile,
                        certfile=certfile)
    if result.returncode == 0:
        check = testbed.run("doveconf", "-n")
        assert b"ssl = no" not in check.stdout and b"evil" not in check.stdout
    else:
        assert after == before


# Certificate paths that mean something to Dovecot's configuration reader, with how
# wendra must write them: bare (as given), quoted, or refused with nothing written.
HOSTILE_PATHS = (
    by_kind("bare", b"/etc/ssl/a b/c_d-1.2+x,y:z@w=v~.pem", "/etc/ssl/пример/ключ.pem".encode(),
            b"/etc/ssl/\xff\xfe.pem")
    + by_kind("quoted", b"/etc/ssl/a.pem\\", b"/etc/ssl/a\\b.pem", b"/etc/ssl/a\\",
              b"/etc/ssl/a\\\\", b"/etc/ssl/$x.pem", b"/etc/ssl/$ENV:HOME.pem",
              b"/etc/ssl/$SET:base_dir", b"/etc/ssl/100%.pem", b"/etc/ssl/%%d%n%s.pem",
              b"/etc/ssl/a #b.pem", b"/etc/ssl/a#b.pem", b"/etc/ssl/#", b'/etc/ssl/"a".pem',
              b'/etc/ssl/a"', b'/etc/ssl/\\"', b"/etc/ssl/'a'.pem", b"/etc/ssl/{a}.pem",
              b"/etc/ssl/a {", b"/etc/ssl/}", b"/etc/ssl/<a.pem", b"/etc/ssl/a.pem ",
              b"/etc/ssl/a.pem  # x", b"/etc/ssl/a;b.pem", b"/" + b'a\\ #$"{}<%' * 10000)
    + by_kind("bare", b"/" + b"x" * 100000)
    + by_kind("refused", b"/etc/ssl/%{user}.pem", b"/etc/ssl/%{env:HOME}", b"</etc/ssl/a.pem",
              b"<a.pem", b"/etc/ssl/a\tb.pem", b"/etc/ssl/a.pem\t", b"/etc/ssl/a.pem\\\n}"))


def json_string(value):
    """value as a JSON string, its bytes kept as they are."""
    escaped = value.replace(b"\\", b"\\\\").replace(b'"', b'\\"')
    return re.sub(rb"[\x00-\x1f]", lambda m: b"\\u%04x" % m.group()[0], escaped)


def read_back(testbed, name):
    """The certificate and key paths doveconf -n reads for the local_name block of name,
    with its quoting undone; or doveconf's failure."""
    result = testbed.run("doveconf", "-n", "-P")
    assert result.returncode == 0, result.stderr[-2000:]
    block = re.search(rb"\nlocal_name " + re.escape(name) + rb" \{\n  ssl_server \{\n"
                      rb"    cert_file = ([^\n]*)\n    key_file = ([^\n]*)\n", result.stdout)
    assert block, result.stdout[-3000:]
    values = []
    for value in block.groups():
        if value.startswith(b'"'):
            assert value.endswith(b'"') and len(value) > 1, value
            value = re.sub(rb"\\(.)", rb"\1", value[1:-1], flags=re.S)
        values.append(value)
    return values


@pytest.mark.parametrize("source", ["option", "document"])
@pytest.mark.parametrize("handling,certfile", HOSTILE_PATHS,
                         ids=lambda x: x[:30].decode("utf-8", "replace")
                         if isinstance(x, bytes) else x)
def test_dovecot_reads_back_every_certificate_path(testbed, conf_d, source, handling, certfile):
    """Each path is refused with one line and nothing written, or doveconf -n accepts
    the file and reads back exactly the path given."""
    TRIED["certificate path for doveconf"] += 1
    testbed.control("start")
    with certificate_at(testbed, certfile) as made:
        if not made and handling != "refused":
            handling = "refused"  # no file can have that name, and Dovecot needs one
        certificate_path_read_back(testbed, conf_d, source, handling, certfile)


@contextlib.contextmanager
def certificate_at(testbed, certfile):
    """A copy of the test bed's certificate with its key at certfile, when a file can
    have that name; yields whether it was made."""
    host = os.path.join(testbed.root.encode(), certfile.lstrip(b"/"))
    made = (can_name_a_file(certfile) and not os.path.exists(host)
            and os.path.isdir(os.path.dirname(host)))
    if made:
        put_bytes(host, read_or_none(testbed.path(PEM)) + read_or_none(testbed.path(KEY)))
    try:
        yield made
    finally:
        if made:
            os.unlink(host)


def can_name_a_file(path):
    return len(path) < 4096 and all(len(part) <= 255 for part in path.split(b"/"))


def certificate_path_read_back(testbed, conf_d, source, handling, certfile):
    run, before = conf_d
    calls = len(read_or_none(testbed.path(CALLS)) or b"")
    if source == "option":
        name = b"a.hostile.test"
        result, after = run(b"--install-certificate", b"--names=" + name,
                            b"--certfile=" + certfile, certfile=certfile)
    else:
        # The option's certificate is an ordinary one; the document's path is on trial.
        name = b"b.hostile.test"
        result, after = run(b"--install-certificate", GOOD["names"], GOOD["certfile"],
                            b"--wait-stdin", input=document(certificates=certificate_entries(
                                (name, json_string(certfile)))))
    if source == "document" and re.search(rb"[^\x20-\x7e]", certfile):
        # The document reader takes neither raw non-ASCII nor escaped control characters.
        assert result.returncode == 1 and result.stderr.endswith(READ_FAILED), result.stderr
        assert after == before
        return
    if handling == "refused":
        assert result.returncode == 1
        assert result.stderr.count(b"\n") == 1, result.stderr
        ordinary = "14-velka-sni-a.hostile.test.conf" if source == "document" else None
        assert ({n: c for n, c in after.items() if n != ordinary}
                == {n: c for n, c in before.items() if n != ordinary})
        return
    assert (result.returncode, result.stderr) == (0, b""), result.stderr[-2000:]
    file = after[f"14-velka-sni-{name.decode()}.conf"]
    assert (b"= " + (quoted(certfile) if handling == "quoted" else certfile) + b"\n") in file
    assert read_back(testbed, name) == [certfile, certfile]
    assert len(read_or_none(testbed.path(CALLS))) > calls
