#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/build/fuzz_reader with clang 16 or later
# (Debian 12: apt-get install clang-16 libclang-rt-16-dev; clang 14 lacks the
# builtin behind std::source_location). Run it with fuzz/run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-$(command -v clang++-16 || command -v clang++)}
cmake -S . -B build/fuzzer -DKESTRUNE_MODULE=OFF -DKESTRUNE_FUZZER=ON -DCMAKE_BUILD_TYPE= \
    -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_CXX_FLAGS="-O2 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all" \
    >/dev/null
cmake --build build/fuzzer -j 2 --target fuzz_reader
mkdir -p fuzz/build
cp build/fuzzer/fuzz_reader fuzz/build/fuzz_reader
echo "built fuzz/build/fuzz_reader"
