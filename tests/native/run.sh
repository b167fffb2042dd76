#!/usr/bin/env bash
# Builds and runs the native checks of the loops with vector paths (listed in
# CMakeLists.txt) with AddressSanitizer and UndefinedBehaviorSanitizer: on this
# machine, and on Arm64 under user-mode emulation when a cross compiler and
# qemu-aarch64 are installed. The ctest label native (scripts/checks.sh).
set -euo pipefail
checks="$(dirname "$0")/../../scripts/checks.sh"
bash "$checks" host -L native
bash "$checks" arm64
