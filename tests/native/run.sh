#!/usr/bin/env bash
# Builds and runs the native checks of the loops with vector paths (the peak record
# split, the marker search's pair scan, the text-run scans' unit search) with AddressSanitizer and
# UndefinedBehaviorSanitizer: on this machine, and on Arm64 under user-mode emulation
# when a cross compiler and qemu-aarch64 are installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
CXX=${CXX:-g++}
build=tests/native/build
mkdir -p "$build"
flags=(-std=c++20 -O2 -g -Wall -Wextra -Werror -Isrc)
checks=(record_split pair_scan text_units)
declare -A sources=(
    [record_split]="src/spectra/record_split.cpp src/reader/processor.cpp"
    [pair_scan]="src/metadata/pair_scan.cpp src/reader/processor.cpp"
    [text_units]="src/simd/text_units.cpp src/reader/processor.cpp"
)

for check in "${checks[@]}"; do
    # shellcheck disable=SC2086  # the source lists split on purpose
    "$CXX" "${flags[@]}" -fsanitize=address,undefined -fno-sanitize-recover=all \
        "tests/native/${check}_check.cpp" ${sources[$check]} -o "$build/${check}_check"
    "$build/${check}_check"
done

if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    for check in "${checks[@]}"; do
        # shellcheck disable=SC2086
        aarch64-linux-gnu-g++ "${flags[@]}" -static "tests/native/${check}_check.cpp" ${sources[$check]} \
            -o "$build/${check}_check_arm64"
        qemu-aarch64 "$build/${check}_check_arm64"
    done
else
    echo "native checks: no aarch64 cross compiler or qemu-aarch64; the NEON paths are not checked here"
fi
