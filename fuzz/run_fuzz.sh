#!/bin/sh
# Builds one libFuzzer target with the library it tests (the MIME library,
# or the web server's request parser) and runs it for a
# bounded time over its regression corpus. Any crash fails the test; the
# input that caused it is left in the work folder as crash-*.
#   run_fuzz.sh TARGET SOURCE_ROOT WORK_DIR SECONDS CLANGXX
set -eu
target=$1 root=$2 work=$3 seconds=$4 cxx=$5
mkdir -p "$work/$target.corpus"
bin="$work/$target"
files=""
case $target in
  http_*)
    files="$root/src/web/http_request.cpp" ;;
  *)
    srcs="codectables codecutils charsettables headerwords qev_util qevattfile qevmsg details"
    for s in $srcs; do files="$files $root/src/codecs/$s.cpp"; done ;;
esac
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" -o "$bin" "$root/fuzz/${target}_fuzz.cpp" $files
cd "$work"
# New inputs go to the work corpus; the regression corpus is only read.
exec "$bin" "$work/$target.corpus" "$root/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$work/$target-" -print_final_stats=1
