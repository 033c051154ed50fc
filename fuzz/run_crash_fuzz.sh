#!/bin/sh
# Builds one libFuzzer target of the crash library and runs it for a
# bounded time over its regression corpus. Any crash fails the test; the
# input that caused it is left in the work folder as crash-*.
#   run_crash_fuzz.sh TARGET SOURCE_ROOT WORK_DIR SECONDS CLANGXX
set -eu
target=$1 root=$2 work=$3 seconds=$4 cxx=$5
mkdir -p "$work/$target.corpus"
bin="$work/$target"
case $target in
  crash_disasm) srcs="zel_disasm zel_capture zel_strings" ;;
  crash_inflate) srcs="zel_zip zel_types" ;;
  crash_mapfile) srcs="zel_mapfile zel_elfmap zel_zip zel_crypt zel_tools zel_strings zel_types"
                 libs="-ldw -lelf -lz" extra="$root/src/codecs/cipher_blowfish_tables.cpp $root/src/codecs/blowfish.cpp $root/src/codecs/codectables.cpp" ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
files="${extra:-}"
for s in $srcs; do files="$files $root/src/crash/$s.cpp"; done
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" -o "$bin" "$root/fuzz/${target}_fuzz.cpp" $files ${libs:-}
cd "$work"
corpus="$root/fuzz/corpus/$target"
[ -d "$corpus" ] || corpus=""
# New inputs go to the work corpus; the regression corpus is only read.
exec "$bin" "$work/$target.corpus" $corpus \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$work/$target-" -print_final_stats=1
