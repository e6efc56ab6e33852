#!/usr/bin/env bash
# Builds and runs every test: the engine's C++ unit tests (CTest), plain and under
# sanitizers, then the package installed from this checkout and its pytest suite, and
# builds the manual with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python3 -m pip install -q --upgrade pip
python3 -m pip install -q ".[test,docs,files,batch]"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTELVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure
# The same C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan).
bash scripts/sanitize.sh
# Run from tests/ against the installed package, not the source tree.
python3 -m pytest -q -p no:cacheprovider tests
python3 -m mypy.stubtest stelvane --allowlist tests/stubtest-allowlist.txt --ignore-unused-allowlist
# The manual: a broken link or an unreadable docstring fails the run.
python3 -m sphinx -W --keep-going -q -b html docs build/docs
