#!/usr/bin/env bash
# Builds the engine's C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in build/asan and runs them; any report fails the run. With --python it also builds
# the extension under ASan and runs the pytest suite with libasan preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# GCC leaves float-to-integer overflow out of "undefined"; NaN and huge camera scalars make it likely.
flags="-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer -fno-sanitize-recover=all"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELVANE_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined,float-cast-overflow" >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure
if [ "${1:-}" = "--python" ]; then
  # A private virtualenv, so the ASan extension never replaces the one in use.
  python3 -m venv --system-site-packages build/asan-venv
  build/asan-venv/bin/python -m pip install -q --no-build-isolation ".[test]" \
    -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan-py \
    -Ccmake.define.CMAKE_CXX_FLAGS="$flags" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined,float-cast-overflow"
  # The interpreter itself is not built with ASan: its allocations at exit are not ours.
  libasan="$(g++ -print-file-name=libasan.so)"
  libubsan="$(g++ -print-file-name=libubsan.so)"
  (cd tests && ASAN_OPTIONS="detect_leaks=0" LD_PRELOAD="$libasan $libubsan" \
    ../build/asan-venv/bin/python -m pytest -q -p no:cacheprovider .)
fi
