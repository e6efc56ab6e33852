#!/usr/bin/env bash
# Builds the engine's C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in build/asan and runs them; any report fails the run. With --python it also builds
# the extension under ASan and runs the pytest suite with libasan preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELVANE_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure
if [ "${1:-}" = "--python" ]; then
  # The interpreter itself is not built with ASan: its leaks at exit are not ours.
  python3 -m pip install -q --no-build-isolation -e . \
    -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan-py \
    -Ccmake.define.CMAKE_CXX_FLAGS="$flags" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
  libasan="$(g++ -print-file-name=libasan.so)"
  libubsan="$(g++ -print-file-name=libubsan.so)"
  ASAN_OPTIONS="detect_leaks=0" LD_PRELOAD="$libasan $libubsan" \
    python3 -m pytest -q -p no:cacheprovider tests
fi
