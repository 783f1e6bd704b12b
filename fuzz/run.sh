#!/usr/bin/env bash
# Builds the move-text fuzz harness and runs it for a bounded time.
#
#   fuzz/run.sh [seconds]        (default 60)
#
# The build, the corpus and any crash artifacts go to $TWIRLKIT_FUZZ_DIR
# (default /tmp/twirlkit-fuzz), never into the source tree. The compiler is
# $FUZZ_CXX (default clang++-14). Exits non-zero if the fuzzer finds a fault.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${TWIRLKIT_FUZZ_DIR:-/tmp/twirlkit-fuzz}"
cxx="${FUZZ_CXX:-clang++-14}"

mkdir -p "$out/corpus"

"$cxx" -std=c++20 -O2 -g -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/src" \
    "$root/fuzz/fuzz_move_text.cpp" "$root/src/model/move_text.cpp" \
    -o "$out/fuzz_move_text"

# Seeds: the notation, junk tokens, every kind of separator, NUL and broken
# UTF-8. printf keeps the bytes exact.
seed() { printf "$2" >"$out/corpus/seed_$1"; }
seed notation "R U R' U' F2 B! L' D2"
seed junk "R sune U2 x B!\nD' Rw u M' U'' U'2 U2' 2 '"
seed ascii_space " \t\n\v\f\rR  U\r\n"
seed unicode_space 'R\xc2\x85U\xc2\xa0F\xe1\x9a\x80B\xe2\x80\x80L\xe2\x80\x8aD\xe2\x80\xa8U\xe2\x80\xa9R\xe2\x80\xafF\xe2\x81\x9fB\xe3\x80\x80L'
seed look_alikes 'R\x1cU\x1fF\xe2\x80\x8bB\xef\xbb\xbfL\xe1\xa0\x8eD,U\xe2\x80\x99'
seed nul 'U\x00 R'
seed broken 'R\xe2\x80 U\xe2 \xc2\xc0\xa0\xe0\x80\xa0\xff\x80 F\xe2'

dict="$out/move_text.dict"
{
    for face in U D R L F B; do
        printf '"%s"\n' "$face" "$face'" "$face!" "${face}2"
    done
    for space in '\x09' '\x0a' '\x0b' '\x0c' '\x0d' '\x20' '\xc2\x85' '\xc2\xa0' \
        '\xe1\x9a\x80' '\xe2\x80\x80' '\xe2\x80\x85' '\xe2\x80\x8a' '\xe2\x80\xa8' \
        '\xe2\x80\xa9' '\xe2\x80\xaf' '\xe2\x81\x9f' '\xe3\x80\x80' '\xe2\x80\x8b' \
        '\x1c' '\x1f' '\xef\xbb\xbf' '\xe1\xa0\x8e' '\xe2\x80\x99' '\x00'; do
        printf '"%s"\n' "$space"
    done
} >"$dict"

log="$out/fuzz.log"
status=0
"$out/fuzz_move_text" -max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-256}" -print_final_stats=1 \
    -dict="$dict" -artifact_prefix="$out/" "$out/corpus" 2>&1 | tee "$log" || status=$?

runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
echo "executions: ${runs:-?}  exec/s: ${rate:-?}"
exit "$status"
