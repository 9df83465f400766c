# host_mirror SUFFIX: the Debian mirror the host already uses (SUFFIX "" for the main
# archive, "-security" for security updates), so that the Debian 13 trees come from
# the same place. Sourced by the test bed and the packaging scripts.
host_mirror() {
    local suffix="$1" uri
    uri=$(grep -rhoE "https?://[^ ]+/debian${suffix}/?( |$)" /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
          | head -n1 | tr -d ' ' || true)
    [ -n "$uri" ] || uri="http://deb.debian.org/debian${suffix}"
    echo "${uri%/}"
}
