#!/bin/bash
# Shows the system at work against a real Dovecot 2.4: builds everything, starts the
# test bed's Dovecot, runs wendra there and stops Dovecot again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

step "Installing build dependencies"
"$REPO/scripts/install-deps.sh"
step "Preparing the Dovecot 2.4 test bed"
"$TESTBED" create
step "Building"
build_normal
"$TESTBED" install-build "$BUILD_DIR"

step "Starting the test bed's Dovecot"
"$TESTBED" start
trap '"$TESTBED" stop' EXIT
"$TESTBED" status
"$TESTBED" run dovecot --version

step "wendra --help"
"$TESTBED" run wendra --help
step "wendra --help-commands"
"$TESTBED" run wendra --help-commands

step "wendra at work on the running Dovecot"
# Limits set and read back through doveconf, a certificate installed for a name and
# served over IMAPS for that name, the quota warning switched, the feature report.
# Every change is applied by the velkarc stand-in reloading the running Dovecot; the
# files wendra wrote are taken out of conf.d again at the end.
DEMO_ROOT="$("$TESTBED" root)"
DEMO_CERT=/etc/dovecot/private/wendra-demo.pem
DEMO_IMAPS_PORT=$(($("$TESTBED" port-base) + 993))
wendra_demo() { echo "\$ wendra $*" >&2; "$TESTBED" run wendra "$@"; }
served_for() {
    echo "IMAPS certificate for SNI name $1:" >&2
    "$TESTBED" run sh -c 'openssl s_client -connect "127.0.0.1:$1" -servername "$2" \
        </dev/null 2>/dev/null | openssl x509 -noout -subject' - "$DEMO_IMAPS_PORT" "$1"
}
wendra_demo_cleanup() {
    rm -f "$DEMO_ROOT/etc/dovecot/conf.d/"92-velka-*.conf \
        "$DEMO_ROOT/etc/dovecot/conf.d/"14-velka-sni-*.conf \
        "$DEMO_ROOT/etc/dovecot/conf.d/20-velka-quota-warning.conf" "$DEMO_ROOT$DEMO_CERT"
}
trap 'wendra_demo_cleanup; "$TESTBED" stop' EXIT
wendra_demo --get-connections-limit
wendra_demo --set-connections-limit --limit=100
wendra_demo --get-connections-limit
wendra_demo --set-connections-per-ip-limit --limit=20
wendra_demo --get-connections-per-ip-limit
grep -E 'SIGHUP' "$DEMO_ROOT/var/log/dovecot-test.log" | tail -n 2
"$TESTBED" run sh -c 'openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
    -nodes -days 2 -subj "/CN=mail.demo.test" -keyout "$1.key" -out "$1.crt" 2>/dev/null &&
    cat "$1.crt" "$1.key" > "$1" && rm "$1.crt" "$1.key"' - "$DEMO_CERT"
served_for mail.demo.test
wendra_demo --install-certificate --names=Mail.Demo.TEST --certfile="$DEMO_CERT"
served_for mail.demo.test
served_for other.demo.test
DEMO_DOC='{"domain": {"name": "demo.test", "dom_aliases": [], "maillists": [], "mails": []},
 "certificates": [{"name": "mail.demo.test", "certfile": ""}]}'
echo "\$ echo '$DEMO_DOC' | wendra --remove-certificate" >&2
echo "$DEMO_DOC" | "$TESTBED" run wendra --remove-certificate
served_for mail.demo.test
wendra_demo --quota-warning-enable
"$TESTBED" run doveconf -n | grep -A 3 'service quota-warning'
wendra_demo --quota-warning-disable
wendra_demo --features
wendra_demo_cleanup
trap '"$TESTBED" stop' EXIT

step "IMAP login authenticated by the passdb plug-in"
# An account made through the library's own mailAuthSet, the plug-in as the passdb,
# and a real IMAP login; the test bed's authentication is put back afterwards.
ROOT="$("$TESTBED" root)"
AUTH_CONF="$ROOT/etc/velka-testbed/auth.conf"
cp "$AUTH_CONF" "$AUTH_CONF.main-job"
restore_auth() {
    [ ! -f "$AUTH_CONF.main-job" ] || mv -f "$AUTH_CONF.main-job" "$AUTH_CONF"
    rm -rf "$ROOT/var/lib/velka" "$ROOT/etc/vqa" "$ROOT/var/mail/vmail/demo.test" \
        "$ROOT/usr/local/sbin/authdb_admin"
}
trap 'restore_auth; "$TESTBED" stop' EXIT
install -m 755 "$BUILD_DIR/tests/authdb/authdb_admin" "$ROOT/usr/local/sbin/authdb_admin"
"$TESTBED" run authdb_admin 0 init
"$TESTBED" run authdb_admin 0 set demo demo.test 'Demo-Passw0rd'
install -d "$ROOT/etc/vqa"
echo "VELKA_MAILNAMES_D /var/mail/vmail" > "$ROOT/etc/vqa/vqa.conf"
"$TESTBED" run install -d -o vmail -g vmail /var/mail/vmail/demo.test /var/mail/vmail/demo.test/demo \
    /var/mail/vmail/demo.test/demo/Maildir
cat > "$AUTH_CONF" <<'CONF'
auth_debug = yes
passdb velka {
  driver = velka
  use_worker = yes
  velka_smtp_server = QMail
}
userdb static {
}
CONF
"$TESTBED" restart
IMAP_PORT=$(($("$TESTBED" port-base) + 143)) /usr/bin/python3 - <<'PY'
import imaplib, os
imap = imaplib.IMAP4("127.0.0.1", int(os.environ["IMAP_PORT"]))
print("LOGIN demo@demo.test:", imap.login("demo@demo.test", "Demo-Passw0rd"))
print("SELECT INBOX:", imap.select("INBOX"))
imap.logout()
PY
grep -E 'velka: (Found|Valid)|Logged in: user=<demo' "$ROOT/var/log/dovecot-test.log" | tail -n 3
restore_auth
trap '"$TESTBED" stop' EXIT

step "Stopping Dovecot"
"$TESTBED" stop
trap - EXIT
