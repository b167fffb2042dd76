#!/usr/bin/env bash
# Builds and runs the native checks of the peak record split with AddressSanitizer
# and UndefinedBehaviorSanitizer: on this machine, and on Arm64 under user-mode
# emulation when a cross compiler and qemu-aarch64 are installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
CXX=${CXX:-g++}
build=tests/native/build
mkdir -p "$build"
sources=(tests/native/record_split_check.cpp src/spectra/record_split.cpp)
flags=(-std=c++20 -O2 -g -Wall -Wextra -Werror -Isrc)

"$CXX" "${flags[@]}" -fsanitize=address,undefined -fno-sanitize-recover=all \
    "${sources[@]}" -o "$build/record_split_check"
"$build/record_split_check"

if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    aarch64-linux-gnu-g++ "${flags[@]}" -static "${sources[@]}" -o "$build/record_split_check_arm64"
    qemu-aarch64 "$build/record_split_check_arm64"
else
    echo "record split: no aarch64 cross compiler or qemu-aarch64; the NEON path is not checked here"
fi
