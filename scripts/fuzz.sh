#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan and UBSan (build/fuzz) and runs
# each for a bounded time from the seed corpus in fuzz/corpus/<name>.
#   bash scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: fuzz_catalog, fuzz_image (both by default). New inputs go to build/fuzz/corpus/,
# crash reproducers to build/fuzz/artifacts/; a finding fails the run. To replay one:
#   build/fuzz/fuzz_image build/fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
if ! command -v clang++ >/dev/null || ! clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq clang libclang-rt-14-dev
fi
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_catalog fuzz_image)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DSTELVANE_BUILD_TESTS=OFF -DSTELVANE_BUILD_PYTHON=OFF -DSTELVANE_BUILD_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz --target "${targets[@]}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
rm -rf build/fuzz/artifacts && mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  corpus="build/fuzz/corpus/${t#fuzz_}"
  mkdir -p "$corpus"
  echo "== $t for ${seconds}s"
  # -rss_limit_mb bounds memory per input: an allocation driven by a hostile count is a finding.
  "build/fuzz/$t" "$corpus" "fuzz/corpus/${t#fuzz_}" -max_total_time="$seconds" -print_final_stats=1 \
    -rss_limit_mb=1024 -malloc_limit_mb=512 -timeout=10 -artifact_prefix=build/fuzz/artifacts/ 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY|Done [0-9]+ runs|==[0-9]+==' || true
  # grep hides libFuzzer's exit status; an artifact written in this run is the finding.
done
if compgen -G "build/fuzz/artifacts/*" >/dev/null; then
  echo "findings in build/fuzz/artifacts:"; ls build/fuzz/artifacts
  exit 1
fi
