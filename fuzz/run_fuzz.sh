#!/bin/sh
# Builds one libFuzzer target with the sources it needs and runs it for a
# bounded time over its regression corpus. Any crash fails the test; the
# input that caused it is left in the work folder as crash-*.
#   run_fuzz.sh TARGET SOURCE_ROOT WORK_DIR SECONDS CLANGXX
set -eu
target=$1 root=$2 work=$3 seconds=$4 cxx=$5
mkdir -p "$work/$target.corpus"
bin="$work/$target"
files=""
extra=""
add() { for s in "$@"; do files="$files $root/src/$s.cpp"; done; }
# The protocol parsers live in the mail engine's units beside the Qt-based
# windows that use them. Only their plain routines run here, so the rest of
# each unit is left unresolved (bound lazily, never called) rather than
# building the whole engine with clang for every run.
engine() {
    add "$@"
    extra="$(pkg-config --cflags --libs Qt6Widgets Qt6Network) -fPIC -no-pie -Wl,-z,lazy -Wl,--unresolved-symbols=ignore-all"
}
case "$target" in
http_*) add web/http_request codecs/qev_util codecs/charsettables codecs/headerwords codecs/codectables codecs/codecutils ;;
parse_raw_mail|decode_header_text)
    add codecs/codectables codecs/codecutils codecs/charsettables codecs/headerwords codecs/qev_util \
        codecs/qevattfile codecs/qevmsg codecs/details ;;
smtp_server_command) engine transport/smtp_server transport/message_rewrite transport/store codecs/qev_util ;;
pop3_server_command) engine transport/pop3_server transport/store transport/logfile codecs/auth codecs/qev_util ;;
smtp_client_reply) engine transport/relay transport/store codecs/qev_util platform/clock ;;
pop3_client_reply) engine transport/collector transport/store codecs/qev_util platform/clock ;;
collector_distribution) engine transport/distribution transport/logfile transport/globals codecs/qev_util ;;
ini_reader) add platform/inifile platform/files platform/env ;;
table_loader) for s in "$root"/src/tables/*.cpp; do files="$files $s"; done ;;
*) echo "unknown fuzz target $target" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" -o "$bin" "$root/fuzz/${target}_fuzz.cpp" $files $extra
cd "$work"
# New inputs go to the work corpus; the regression corpus is only read.
exec "$bin" "$work/$target.corpus" "$root/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$work/$target-" -print_final_stats=1
