#!/usr/bin/env bash
# Builds the decoder fuzz target with libFuzzer, ASan and UBSan, then runs it for a while on a
# copy of the seed corpus. Exit 77 (skipped) when clang++ is missing.
# Usage: run-fuzz.sh SOURCE_DIR OUTPUT_DIR [SECONDS]
set -euo pipefail
src=$1
out=$2
seconds=${3:-20}
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzzing skipped: $cxx not found"
    exit 77
fi

mkdir -p "$out"
sources=("$src"/mtp/{ByteReader,PTPString,MTPDate,Container,Datasets,MTPError,MTPSession}.cpp
         "$src"/tests/mtp/fuzz/decoders_fuzz.cpp)
binary=$out/decoders_fuzz
if [[ ! -x $binary ]] || [[ -n $(find "${sources[@]}" "$src"/mtp/*.h \
    "$src"/tests/mtp/ScriptedTransport.h -newer "$binary") ]]; then
    echo "building $binary"
    "$cxx" -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=undefined -I"$src" "${sources[@]}" \
        $(pkg-config --cflags --libs icu-uc) -o "$binary"
fi

rm -rf "$out/corpus"
cp -r "$src/tests/mtp/fuzz/corpus" "$out/corpus"
exec "$binary" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus"
