"""The test bed's tree and Dovecot for the integration tests and the login benchmark:
its programs, log and processes, and logins over IMAP, POP3 and doveadm auth test."""
import imaplib
import os
import poplib
import re
import subprocess
import time

DOVECOT_CONF = "/etc/dovecot/dovecot.conf"
BASE_DIR = "/run/velka-testbed"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def ask(script, command):
    """What the test bed script prints for command (root, version, port-base)."""
    return subprocess.run([script, command], check=True, capture_output=True,
                          text=True).stdout.strip()


class Testbed:
    """Runs programs inside the test bed's root tree and manages its Dovecot."""

    def __init__(self, script):
        self.script = script
        self.root = ask(script, "root")
        self.port_base = int(ask(script, "port-base"))
        # The Dovecot release of the tree, such as (2, 4, 1), for the tests whose
        # expectations differ between releases.
        self.dovecot_version = tuple(int(n) for n in ask(script, "version").split("."))

    def path(self, inside):
        """Host path of a path inside the tree."""
        return os.path.join(self.root, inside.lstrip("/"))

    def run(self, *args, input=None, check=False, env=None):
        return subprocess.run([self.script, "run", *args], input=input, capture_output=True,
                              check=check, env=env, timeout=120)

    def make_certificate(self, name, pem):
        """A self-signed certificate for name, its key in the same PEM file at pem."""
        result = self.run(
            "sh", "-c",
            'openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
            '-days 2 -subj "/CN=$1" -keyout "$2.key" -out "$2.crt" 2>/dev/null && '
            'cat "$2.crt" "$2.key" > "$2" && rm "$2.crt" "$2.key"',
            "-", name, pem)
        assert result.returncode == 0, result.stderr

    def served_subject(self, port, name):
        """The subject of the certificate served on port to a client asking for name."""
        result = self.run(
            "sh", "-c",
            'openssl s_client -connect "127.0.0.1:$1" -servername "$2" </dev/null 2>/dev/null'
            ' | openssl x509 -noout -subject',
            "-", str(port), name)
        assert result.returncode == 0, result.stderr
        return result.stdout.decode().strip().replace(" ", "")

    def control(self, action):
        subprocess.run([self.script, action], check=True, timeout=120)

    def restart(self):
        """Stops and starts Dovecot; returns the log offset of the new start."""
        self.control("stop")
        self.control("start")
        return self.log_size()

    def master_pid(self):
        with open(self.path(f"{BASE_DIR}/master.pid")) as f:
            return int(f.read().strip())

    def auth_pids(self):
        """The master's auth processes (the first authentication starts one)."""
        master = self.master_pid()
        return {pid for pid, parent, name, _ in processes() if parent == master and name == "auth"}

    def cpu_seconds(self):
        """CPU seconds of the Dovecot master and all its descendants, the exited ones
        included (they are counted in their parents' children times)."""
        parents, ticks = {}, {}
        for pid, parent, _, used in processes():
            parents[pid], ticks[pid] = parent, used
        root = self.master_pid()
        total = 0
        for pid, used in ticks.items():
            ancestor = pid
            while ancestor not in (0, 1, root) and ancestor in parents:
                ancestor = parents[ancestor]
            if ancestor == root:
                total += used
        return total / CLK_TCK

    def log_path(self):
        return self.path("/var/log/dovecot-test.log")

    def log_size(self):
        try:
            return os.path.getsize(self.log_path())
        except FileNotFoundError:
            return 0

    def log_since(self, offset):
        with open(self.log_path(), "rb") as log:
            log.seek(offset)
            return log.read().decode("utf-8", "replace")

    def wait_for_log(self, offset, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_since(offset):
                return True
            time.sleep(0.05)
        return False


class Shell:
    """One shell kept open in the tree, which saves entering the tree for each command."""

    def __init__(self, bed):
        self.proc = subprocess.Popen([bed.script, "run", "sh", "-s"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)

    def send(self, line):
        """Sends a command line; returns the shell's output to read the answer from."""
        self.proc.stdin.write(line)
        self.proc.stdin.flush()
        return self.proc.stdout

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def processes():
    """(pid, parent pid, name, CPU ticks with waited-for children) of each host process."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        yield (int(entry), int(fields[1]), stat[stat.index("(") + 1:stat.rindex(")")],
               sum(int(x) for x in fields[11:15]))


def imap(bed, user, password, mech="LOGIN"):
    """"OK", or the response code of the refusal (AUTHENTICATIONFAILED, UNAVAILABLE)."""
    client = imaplib.IMAP4("127.0.0.1", bed.port_base + 143, timeout=30)
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


def pop3(bed, user, password):
    """"OK", "AUTHENTICATIONFAILED" for a wrong login, or Dovecot's text of any other
    refusal."""
    client = poplib.POP3("127.0.0.1", bed.port_base + 110, timeout=30)
    try:
        client.user(user)
        client.pass_(password)
        client.quit()
        return "OK"
    except poplib.error_proto as e:
        client.close()
        text = e.args[0].decode()
        return "AUTHENTICATIONFAILED" if "Authentication failed" in text else text


def doveadm(bed, user, password):
    """The exit status and output of doveadm auth test."""
    result = bed.run("doveadm", "-c", DOVECOT_CONF, "auth", "test", user, password)
    return result.returncode, result.stdout.decode()
