#!/usr/bin/env bash
# Builds the extension with g++'s AddressSanitizer and UndefinedBehaviorSanitizer
# into a fresh virtual environment and runs the whole pytest suite against it.
# Exits non-zero on a failing test or on any sanitizer report.
#   [PYTHON=python3.x] scripts/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${PYTHON:-python3}" -m venv "$work/venv"
"$work/venv/bin/pip" install -q pytest numpy
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
"$work/venv/bin/pip" install -q . \
    -C build-dir=build/sanitize \
    -C cmake.define.CMAKE_CXX_FLAGS="$flags" \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"

# The interpreter does not link the C++ runtime itself: preloaded alone, the
# sanitizer runtime cannot find the real __cxa_throw and aborts on the first C++
# exception, so the C++ runtime is preloaded beside it.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# CPython keeps its own objects alive at exit, so leak detection stays off here;
# the leak checks are tests/test_stability.py and the fuzz replay. The quarantine of
# freed memory is kept to 16 MiB: at the default 256 MiB, the resident set that the
# stability test watches grows with the quarantine (by some 20 MiB over its loop,
# depending on what ran before), not with any leak.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:quarantine_size_mb=16
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The installed module, not the source tree, must be the one imported.
status=0
(cd "$work" && LD_PRELOAD="$preload" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider \
    "$OLDPWD/tests" "$@") 2>&1 | tee "$work/pytest.log" || status=$?
if grep -qE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$work/pytest.log"; then
    echo "sanitize.sh: sanitizer report above" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize.sh: pytest exited with $status" >&2
    exit "$status"
fi
echo "sanitize.sh: suite clean under AddressSanitizer and UndefinedBehaviorSanitizer"
