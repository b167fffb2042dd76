#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/build/fuzz_reader with clang 16 or later
# (Debian 12: apt-get install clang-16 libclang-rt-16-dev; clang 14 lacks the
# builtin behind std::source_location). Run it with fuzz/run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++-16 || command -v clang++)}
mkdir -p fuzz/build
shopt -s nullglob
"$CXX" -std=c++20 -O2 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -Isrc fuzz/harness.cpp src/reader/*.cpp src/metadata/*.cpp src/simd/*.cpp src/spectra/*.cpp \
    -o fuzz/build/fuzz_reader
echo "built fuzz/build/fuzz_reader"
