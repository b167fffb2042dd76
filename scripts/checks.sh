#!/usr/bin/env bash
# Builds the core's checks with CMake and runs them with ctest.
#   scripts/checks.sh host [ctest arguments...]  the fuzz replay and the native checks,
#       under AddressSanitizer and UndefinedBehaviorSanitizer (e.g. `host -L native`,
#       `host -R fuzz_replay`);
#   scripts/checks.sh arm64   the native checks built for Arm64 and run under user-mode
#       emulation, when aarch64-linux-gnu-g++ and qemu-aarch64 are installed;
#   scripts/checks.sh         both.
# Warnings are errors. Exits non-zero on a failing check or any sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
common=(-DKESTRUNE_MODULE=OFF -DKESTRUNE_CHECKS=ON -DKESTRUNE_WERROR=ON -DCMAKE_BUILD_TYPE=)

host() {
    cmake -S . -B build/checks "${common[@]}" -DCMAKE_CXX_COMPILER="${CXX:-g++}" \
        -DCMAKE_CXX_FLAGS="-O2 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all" \
        >/dev/null
    cmake --build build/checks -j 2
    ctest --test-dir build/checks --output-on-failure "$@"
}

arm64() {
    if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
        echo "checks: no aarch64 cross compiler or qemu-aarch64; the NEON paths are not checked here"
        return 0
    fi
    cmake -S . -B build/checks-arm64 "${common[@]}" -DKESTRUNE_FUZZ_REPLAY=OFF \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
        -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_CXX_FLAGS="-O2 -g" \
        -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64 >/dev/null
    cmake --build build/checks-arm64 -j 2
    ctest --test-dir build/checks-arm64 --output-on-failure -L native
}

case "${1:-all}" in
    host) shift; host "$@" ;;
    arm64) arm64 ;;
    all) host && arm64 ;;
    *) echo "usage: scripts/checks.sh [host [ctest arguments...] | arm64]" >&2; exit 2 ;;
esac
