#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time from its seed corpus; new inputs go to OUTDIR/corpus/.
#
# Usage: fuzz/build-and-run.sh OUTDIR SECONDS
# Exits non-zero when a target fails to build or finds a crash; the reproducer is left
# in OUTDIR/artifacts/.
set -eu

# One target a line: its name, then the sources besides fuzz/NAME_fuzz.cpp, then any
# libraries as -lNAME. The seed corpus is fuzz/corpus/NAME/; fuzz/NAME.dict is used
# when present.
TARGETS='
sj_parser maildata/sj_parser.cpp
mail_db_reader maildata/sj_parser.cpp maildata/domain_name.cpp maildata/mail_db_rules.cpp maildata/mail_db_parse.cpp maildata/mail_db_session.cpp maildata/mail_db_debug.cpp lib/process/lib/popen_exec.cpp lib/process/lib/fork_exec.cpp lib/process/lib/ChildSetup.cpp lib/util/user_lookup.cpp lib/errors/SystemError.cpp lib/log/log.cpp lib/log/messlog.cpp
vqa_conf mail/dovecot/authdb/vqa_conf.cpp lib/log/log.cpp lib/log/messlog.cpp
base64 mail/dovecot/authdb/base64.cpp
velka_cipher mail/dovecot/authdb/velka_cipher.cpp mail/dovecot/authdb/symmetric_cipher.cpp mail/dovecot/authdb/base64.cpp lib/log/log.cpp lib/log/messlog.cpp -lcrypto
idn lib/util/idn.cpp -lidn
wendra_options wendra/handlers.cpp wendra/ProgramOptionsHelper.cpp wendra/option_values.cpp maildata/MailDbOptions.cpp maildata/sj_parser.cpp maildata/domain_name.cpp maildata/mail_db_rules.cpp maildata/mail_db_parse.cpp maildata/mail_db_session.cpp maildata/mail_db_debug.cpp lib/process/lib/popen_exec.cpp lib/process/lib/fork_exec.cpp lib/process/lib/ChildSetup.cpp lib/util/user_lookup.cpp lib/util/idn.cpp lib/errors/SystemError.cpp lib/log/log.cpp lib/log/messlog.cpp lib/log/UtilityErrorStream.cpp -lboost_program_options -lboost_regex -lidn
'

if [ $# -ne 2 ]; then
    echo "usage: $0 OUTDIR SECONDS" >&2
    exit 2
fi
outdir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
CXX=${CXX:-clang++}
CXXFLAGS="-std=c++17 -g -O1 -Wall -Wextra -fno-omit-frame-pointer \
-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"

mkdir -p "$outdir/artifacts"
failed=0
while read -r name sources; do
    [ -n "$name" ] || continue
    binary=$outdir/${name}_fuzz
    set --
    for source in $sources; do
        case $source in
        -l*) set -- "$@" "$source" ;;
        *) set -- "$@" "$root/$source" ;;
        esac
    done
    echo "== building $name"
    if ! $CXX $CXXFLAGS -I"$root" -o "$binary" "$root/fuzz/${name}_fuzz.cpp" "$@"; then
        failed=1
        continue
    fi

    corpus=$outdir/corpus/$name
    mkdir -p "$corpus"
    set -- -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$outdir/artifacts/$name-"
    if [ -f "$root/fuzz/$name.dict" ]; then
        set -- "$@" -dict="$root/fuzz/$name.dict"
    fi
    echo "== running $name for $seconds s"
    if ! ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
        UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
        "$binary" "$@" "$corpus" "$root/fuzz/corpus/$name" </dev/null; then
        echo "== $name FAILED" >&2
        failed=1
    fi
done <<END
$TARGETS
END
exit $failed
