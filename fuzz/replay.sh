#!/usr/bin/env bash
# Replays the seed and regression corpora through the fuzz entry with g++'s
# AddressSanitizer and UndefinedBehaviorSanitizer; no clang needed. Exits non-zero
# on any sanitizer report or trap.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-g++}
mkdir -p fuzz/build
shopt -s nullglob
"$CXX" -std=c++20 -O2 -g -fno-omit-frame-pointer \
    -fsanitize=address,undefined -fno-sanitize-recover=all \
    -Isrc fuzz/replay_main.cpp fuzz/harness.cpp src/reader/*.cpp src/metadata/*.cpp src/simd/*.cpp src/spectra/*.cpp \
    -o fuzz/build/replay
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    fuzz/build/replay fuzz/corpus fuzz/regressions
