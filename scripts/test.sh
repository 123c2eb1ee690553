#!/usr/bin/env bash
# Sets everything up and runs every test: the normal build, the Debian
# package (installed and removed again), the sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer) and short fuzz runs.
# Ends with one summary line "tests: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh || exit 1

jobs=$(nproc)
fuzz_seconds=${VELMORA_FUZZ_SECONDS:-20}
passed=0
failed=0
status=0

# run_suite NAME BUILD_DIR CMAKE_ARGS...: configure, build and run ctest.
run_suite() {
  local name=$1 dir=$2
  shift 2
  echo "== $name build ($dir)"
  if ! cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    echo "configure failed: $name"
    failed=$((failed + 1)); status=1; return
  fi
  if ! ninja -C "$dir" -j "$jobs"; then
    echo "build failed: $name"
    failed=$((failed + 1)); status=1; return
  fi
  echo "== $name tests"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j "$jobs") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  elif [ "$rc" != 0 ]; then
    failed=$((failed + 1))
  fi
  [ "$rc" = 0 ] || status=1
}

run_suite normal build

# The Debian package, made from the normal build: installed, used for one
# publication, removed and purged (scripts/package-test.sh, as root).
echo "== package test"
if bash scripts/package-test.sh build; then
  passed=$((passed + 1))
else
  echo "package test failed"
  failed=$((failed + 1)); status=1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite sanitizer build-asan -DVELMORA_SANITIZE=ON
unset ASAN_OPTIONS UBSAN_OPTIONS

# Fuzz targets: each runs for a bounded time over its seed corpus.
echo "== fuzz build (clang)"
fuzz_targets=()
for src in fuzz/*_fuzz.cpp; do
  [ -e "$src" ] || continue
  base=${src##*/}
  fuzz_targets+=("fuzz_${base%_fuzz.cpp}")
done
if [ ${#fuzz_targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
elif cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=ON -DVELMORA_TESTS=OFF -DVELMORA_WERROR=ON >build-fuzz.configure.log 2>&1 \
    && ninja -C build-fuzz -j "$jobs" "${fuzz_targets[@]}"; then
  for fuzzer in build-fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=${fuzzer##*/fuzz_}
    corpus="$root/fuzz/corpus/$name"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "== fuzz $name for ${fuzz_seconds}s"
    if "$fuzzer" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
        "$work" >"build-fuzz/$name.log" 2>&1; then
      passed=$((passed + 1))
      grep -E 'stat::number_of_executed_units' "build-fuzz/$name.log" || true
    else
      tail -n 60 "build-fuzz/$name.log"
      echo "fuzz target failed: $name"
      failed=$((failed + 1)); status=1
    fi
    rm -rf "$work"
  done
else
  tail -n 30 build-fuzz.configure.log
  echo "fuzz build failed"
  failed=$((failed + 1)); status=1
fi

echo "tests: $passed passed, $failed failed"
exit $status
