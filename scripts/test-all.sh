#!/usr/bin/env bash
# Installs what is missing, then builds and tests every leg of the build
# matrix in turn, stopping at the first leg that fails:
#
#   native        x86_64 Linux, RelWithDebInfo, every test (there must be some)
#                 under TZ=UTC, the host's tests again under a zone half an
#                 hour off UTC, and one brief run of each benchmark
#   asan-ubsan    the same tests with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan          ThreadSanitizer, the tests of the threaded parts
#   i686-linux    32-bit Linux, linked statically, tests under qemu-i386
#   mingw-x86_64  64-bit Windows, tests under wine64
#   mingw-i686    32-bit Windows, the plug-in's real target: tests under 32-bit
#                 wine, then a check of the export table of Orvik7316.dll
#   fuzz          clang, libFuzzer with ASan/UBSan: replays the seed corpus and
#                 the regression cases, then runs each fuzz target for a while
#   soak          a million frames through the exports under ASan/LSan, and
#                 test start/stop with host threads under TSan
#   coverage      gcc --coverage, every test, then line and branch coverage of
#                 the plug-in's own code with gcovr, held to a floor
#
# usage: scripts/test-all.sh [leg...]      (no leg: all of them, in this order)
#
# Environment:
#   ORVIK_OUT         build folders (default: <repo>/out), one per leg
#   ORVIK_JOBS        parallel compile and test jobs (default: 2)
#   ORVIK_TSAN_TESTS  extended regex, case-insensitive, selecting the tsan leg's
#                     tests by test name or test program name
#                     (default: plugin|session|watcher|platform|sharedmm|refhost_view)
#
# Prints one line per leg (name, result, tests, seconds) and, last, the total
# "N passed, N failed" over all legs; a leg whose configure or build fails
# counts as one failed test. Exit code 0 only when every leg passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${ORVIK_OUT:-$root/out}
jobs=${ORVIK_JOBS:-2}
tsan_tests=${ORVIK_TSAN_TESTS:-plugin|session|watcher|platform|sharedmm|refhost_view}
toolchains=$root/cmake/toolchains

all_legs=(native asan-ubsan tsan i686-linux mingw-x86_64 mingw-i686 fuzz soak coverage)
legs=("$@")
if ((${#legs[@]} == 0)); then
  legs=("${all_legs[@]}")
fi
for leg in "${legs[@]}"; do
  if [[ " ${all_legs[*]} " != *" $leg "* ]]; then
    echo "test-all: unknown leg '$leg' (legs: ${all_legs[*]})" >&2
    exit 2
  fi
done

bash "$root/scripts/install-deps.sh"

mkdir -p "$out/logs"
total_passed=0
total_failed=0
total_skipped=0
summary=()

# Sanitizer runtimes of gcc 12 can fail to map their shadow memory when the
# kernel randomises addresses with more bits than they expect; their builds
# (which run the test programs to list their tests) and tests run without
# address randomisation where the system allows it.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
fi

finish() {
  echo
  echo "== summary"
  printf '%s\n' "${summary[@]}"
  if ((total_skipped > 0)); then
    echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
  else
    echo "$total_passed passed, $total_failed failed"
  fi
}

# record LEG RESULT PASSED FAILED SECONDS [NOTE]; tests_skipped counts too.
record() {
  local leg=$1 result=$2 passed=$3 failed=$4 secs=$5 note=${6:-}
  local skipped=${tests_skipped:-0}
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
  local line
  line=$(printf 'leg %-13s %-7s %4d tests %5d s' "$leg" "$result" $((passed + failed + skipped)) "$secs")
  ((skipped > 0)) && line+="  ($skipped skipped)"
  [[ -n $note ]] && line+="  ($note)"
  summary+=("$line")
  echo "$line"
}

leg_failed() {
  record "$@"
  finish
  exit 1
}

# build LEG DIR CMAKE-ARGS...: configure and build everything (or only the
# targets listed in build_targets); on failure, show the failing part of the
# log and stop.
build() {
  local leg=$1 dir=$2
  shift 2
  local log=$out/logs/$leg.build.log
  local only=()
  ((${#build_targets[@]} == 0)) || only=(--target "${build_targets[@]}")
  echo "-- $leg: configure and build in $dir (log: $log)"
  if ! { "${leg_prefix[@]}" cmake -S "$root" -B "$dir" -G Ninja "$@" &&
         "${leg_prefix[@]}" cmake --build "$dir" -j "$jobs" "${only[@]}"; } >"$log" 2>&1 </dev/null; then
    if grep -q '^FAILED: ' "$log"; then
      sed -n '/^FAILED: /,$p' "$log" | head -n 400
    else
      tail -n 100 "$log"
    fi
    leg_failed "$leg" FAILED 0 1 $((SECONDS - leg_start)) "build failed, see $log"
  fi
}

# run_tests LEG DIR CTEST-ARGS...: runs ctest, sets tests_passed, tests_failed
# and tests_skipped from its closing lines and returns ctest's exit code.
run_tests() {
  local leg=$1 dir=$2
  shift 2
  local log=$out/logs/$leg.test.log rc=0
  echo "-- $leg: tests (log: $log)"
  "${leg_prefix[@]}" ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" \
    </dev/null 2>&1 | tee "$log" || rc=$?
  local closing
  closing=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ -n $closing ]]; then
    tests_failed=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$closing")
    # Tests that skipped themselves count as passed in ctest's figures.
    tests_skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" || true)
    tests_passed=$(($(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$closing") - tests_failed - tests_skipped))
  else
    tests_passed=0
    tests_failed=0
    tests_skipped=0
  fi
  tests_note=""
  if ((rc != 0 && tests_failed == 0)); then
    # ctest itself failed: no tests where some are required, or an error.
    tests_failed=1
    tests_note="ctest failed"
    grep -q 'No tests were found' "$log" && tests_note="no tests found"
  fi
  return "$rc"
}

# Settings shared by every leg: warnings are errors on our own targets anyway.
common=(-DORVIK_BUILD_TESTS=ON -DORVIK_BUILD_BENCH=OFF)
# Cross legs: optimised as shipped (-O2), without debug information, which
# nothing reads there and which makes the static links a third slower.
cross=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
       -DORVIK_GTEST_FROM_SOURCE=ON -DORVIK_BUILD_REFHOST=OFF)

# test_numbers DIR REGEX: ",N,N..." of the tests whose own name, or the
# name of the program that holds them, matches REGEX (lower case);
# discovered GoogleTest cases are named Suite.Case.
test_numbers() {
  ctest --test-dir "$1" -N -V </dev/null | awk -v re="$2" '
    /^[0-9]+: Test command: / {
      n = $1; sub(/:$/, "", n); prog = $4; sub(/.*\//, "", prog); program[n] = prog; next
    }
    /^ *Test +#[0-9]+: / {
      n = $2; sub(/^#/, "", n); sub(/:$/, "", n)
      if (tolower(program[n]) ~ re || tolower($3) ~ re) printf ",%s", n
    }'
}

# The host's tests (their programs' names) and the zone they run in once
# more: half an hour off UTC, where a time labelled with the wrong offset shows.
refhost_tests='^(refhost_|port_session_)'
refhost_zone=${ORVIK_TEST_ZONE:-America/St_Johns}

leg_native() {
  local dir=$out/native
  # The benchmarks are built here too, and each runs once, briefly: a
  # benchmark that no longer builds or that crashes fails the leg.
  build native "$dir" "${common[@]}" -DORVIK_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  leg_prefix=(env TZ=UTC)
  if ! run_tests native "$dir" --no-tests=error --timeout 300; then
    leg_failed native FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
  local utc_passed=$tests_passed utc_skipped=$tests_skipped
  leg_prefix=(env TZ="$refhost_zone")
  if ! run_tests native-zone "$dir" -I "0,0,0$(test_numbers "$dir" "$refhost_tests")" --timeout 300; then
    leg_failed native FAILED $((utc_passed + tests_passed)) "$tests_failed" $((SECONDS - leg_start)) \
      "host tests under TZ=$refhost_zone: $tests_note"
  fi
  leg_prefix=()
  local zone_runs=$((tests_passed + tests_skipped))
  tests_passed=$((utc_passed + tests_passed))
  tests_skipped=$((utc_skipped + tests_skipped))
  local bench runs=0
  for bench in "$dir"/bin/*_bench; do
    [[ -x $bench ]] || continue
    echo "-- native: benchmark smoke run: ${bench##*/}"
    # A smoke run proves the benchmark runs: the campaign's and the live
    # view's get small inputs, their full size is for measuring.
    if ! ORVIK_CAMPAIGN_BENCH_BASES=1 ORVIK_CAMPAIGN_BENCH_DRIVES=4 ORVIK_CAMPAIGN_BENCH_DRIVE_S=60 ORVIK_VIEW_BENCH_S=3 \
      "$bench" --benchmark_min_time=0.001 >"$out/logs/native.${bench##*/}.log" 2>&1 </dev/null; then
      cat "$out/logs/native.${bench##*/}.log"
      leg_failed native FAILED $((tests_passed + runs)) $((tests_failed + 1)) $((SECONDS - leg_start)) \
        "benchmark ${bench##*/} failed"
    fi
    runs=$((runs + 1))
  done
  record native passed $((tests_passed + runs)) 0 $((SECONDS - leg_start)) \
    "$zone_runs of them host tests again under TZ=$refhost_zone, $runs benchmark smoke runs"
}

# The sanitizer legs' settings; the soak leg builds in the same folders.
asan_args=("${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DORVIK_SANITIZE=address,undefined)
tsan_args=("${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DORVIK_SANITIZE=thread)
asan_env() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
}
tsan_env() {
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt}
}

leg_asan_ubsan() {
  local dir=$out/asan-ubsan
  asan_env
  leg_prefix=("${no_aslr[@]}")
  build asan-ubsan "$dir" "${asan_args[@]}"
  if run_tests asan-ubsan "$dir" --no-tests=error --timeout 600; then
    record asan-ubsan passed "$tests_passed" 0 $((SECONDS - leg_start))
  else
    leg_failed asan-ubsan FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
}

leg_tsan() {
  local dir=$out/tsan
  tsan_env
  leg_prefix=("${no_aslr[@]}")
  build tsan "$dir" "${tsan_args[@]}"
  local numbers
  numbers=$(test_numbers "$dir" "$tsan_tests")
  if [[ -z $numbers ]]; then
    echo "-- tsan: no test matches /$tsan_tests/"
    record tsan passed 0 0 $((SECONDS - leg_start)) "no test matches /$tsan_tests/"
    return
  fi
  # -I START,END,STRIDE,N,N...: an empty range, then the chosen test numbers.
  if run_tests tsan "$dir" -I "0,0,0$numbers" --timeout 600; then
    record tsan passed "$tests_passed" 0 $((SECONDS - leg_start)) "tests matching /$tsan_tests/"
  else
    leg_failed tsan FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
}

# Cross legs run whole test programs through the toolchain's emulator; a
# crash or a program the emulator cannot start exits non-zero and fails.
# cross_result LEG CTEST-EXIT-CODE
cross_result() {
  local leg=$1 rc=$2 note=""
  if ((rc != 0)); then
    leg_failed "$leg" FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
  ((tests_passed > 0)) || note="no tests registered"
  record "$leg" passed "$tests_passed" 0 $((SECONDS - leg_start)) "$note"
}

leg_i686_linux() {
  local dir=$out/i686-linux
  build i686-linux "$dir" "${common[@]}" "${cross[@]}" -DORVIK_STATIC=ON \
    -DCMAKE_TOOLCHAIN_FILE="$toolchains/i686-linux.cmake"
  local rc=0
  run_tests i686-linux "$dir" --timeout 900 || rc=$?
  cross_result i686-linux "$rc"
}

# build_and_run_windows LEG DIR TOOLCHAIN: build, then every test program
# under wine; sets rc to ctest's exit code.
build_and_run_windows() {
  local leg=$1 dir=$2
  build "$leg" "$dir" "${common[@]}" "${cross[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchains/$3" "${@:4}"
  rc=0
  if [[ $leg == mingw-i686 ]] && ! runs_32bit_programs; then
    # Counted as skipped, never as passed: nothing of the build ran.
    tests_skipped=$(ctest --test-dir "$dir" -N 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
    tests_passed=0
    tests_failed=0
    tests_note=""
    echo "-- $leg: this machine's kernel does not run 32-bit programs (32-bit wine: exec format error);"
    echo "   the ${tests_skipped:-0} test programs are built but skipped; run this leg on a machine that runs them"
    return
  fi
  run_tests "$leg" "$dir" --timeout 900 || rc=$?
  # The wine server of this build's prefix lingers a few seconds; end it now.
  WINEPREFIX=$dir/wineprefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}

# Whether 32-bit programs run here at all: some virtual machines are built
# without the kernel's 32-bit support, and 32-bit wine then cannot start.
runs_32bit_programs() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

leg_mingw_x86_64() {
  local dir=$out/mingw-x86_64 rc
  build_and_run_windows mingw-x86_64 "$dir" mingw-x86_64.cmake -DORVIK_BUILD_REPLAY_CORE=ON
  # The bundled sample replayed through the 64-bit DLL under wine64 must
  # write the native replay's records too.
  local replay_log=$out/logs/mingw-x86_64.replay.log
  if ((rc == 0)); then
    if bash "$root/refhost/replay-lite/compare-with-native.sh" "$dir" "$out/mingw-x86_64-native-replay" \
      /usr/lib/wine/wine64 >"$replay_log" 2>&1 </dev/null; then
      tests_passed=$((tests_passed + 1))
    else
      tail -n 40 "$replay_log"
      tests_failed=$((tests_failed + 1))
      tests_note="64-bit replay differs, see $replay_log"
      rc=1
    fi
  fi
  cross_result mingw-x86_64 "$rc"
}

leg_mingw_i686() {
  local dir=$out/mingw-i686 rc
  build_and_run_windows mingw-i686 "$dir" mingw-i686.cmake -DORVIK_BUILD_REPLAY_CORE=ON
  if ((rc != 0)); then
    leg_failed mingw-i686 FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
  local ran=$tests_passed
  # The check itself first, on DLLs made right and wrong on purpose.
  local self_log=$out/logs/mingw-i686.check-exports.log cases
  if ! bash "$root/scripts/test-check-exports.sh" "$dir/check-exports-cases" >"$self_log" 2>&1; then
    cat "$self_log"
    leg_failed mingw-i686 FAILED 0 1 $((SECONDS - leg_start)) "export check self-test failed"
  fi
  cat "$self_log"
  cases=$(sed -nE 's/.* ([0-9]+) of [0-9]+ cases right$/\1/p' "$self_log")
  # The host's replay core on the real target: the bundled sample replayed
  # through Orvik7316.dll under 32-bit wine writes the native replay's records.
  local replay_log=$out/logs/mingw-i686.replay.log
  if ! runs_32bit_programs; then
    echo "-- mingw-i686: 32-bit replay comparison skipped: 32-bit programs do not run here"
    tests_skipped=$((tests_skipped + 1))
  elif ! bash "$root/refhost/replay-lite/compare-with-native.sh" "$dir" "$out/mingw-i686-native-replay" \
    >"$replay_log" 2>&1 </dev/null; then
    tail -n 40 "$replay_log"
    leg_failed mingw-i686 FAILED $((ran + cases)) 1 $((SECONDS - leg_start)) "32-bit replay differs, see $replay_log"
  else
    ran=$((ran + 1))
  fi
  local dll=$dir/bin/Orvik7316.dll
  if [[ -f $dll ]]; then
    if bash "$root/scripts/check-exports.sh" "$dll"; then
      record mingw-i686 passed $((ran + cases + 1)) 0 $((SECONDS - leg_start)) "Orvik7316.dll exports checked"
    else
      leg_failed mingw-i686 FAILED $((ran + cases)) 1 $((SECONDS - leg_start)) "Orvik7316.dll exports wrong"
    fi
  elif compgen -G "$dir/bin/*Orvik7316*.dll" >/dev/null; then
    echo "-- mingw-i686: the plug-in is built under another name:" "$dir"/bin/*Orvik7316*.dll
    leg_failed mingw-i686 FAILED $((ran + cases)) 1 $((SECONDS - leg_start)) "plug-in not named Orvik7316.dll"
  else
    echo "-- mingw-i686: no Orvik7316.dll built yet; export check skipped"
    record mingw-i686 passed $((ran + cases)) 0 $((SECONDS - leg_start)) "export check skipped: no Orvik7316.dll yet"
  fi
}

# run_check LEG NAME LOG COMMAND...: runs one check of a leg, its output in
# LOG; counts it in checks_passed, or shows the log's end and fails the leg.
run_check() {
  local leg=$1 name=$2 log=$3
  shift 3
  echo "-- $leg: $name (log: $log)"
  if ! "$@" >"$log" 2>&1 </dev/null; then
    tail -n 60 "$log"
    leg_failed "$leg" FAILED "$checks_passed" 1 $((SECONDS - leg_start)) "$name failed, see $log"
  fi
  checks_passed=$((checks_passed + 1))
}

leg_fuzz() {
  local dir=$out/fuzz seconds=${ORVIK_FUZZ_SECONDS:-45} target runs=""
  local targets=(fuzz_parser fuzz_receive fuzz_record_copy fuzz_line_reader fuzz_capture fuzz_nmea)
  asan_env
  leg_prefix=("${no_aslr[@]}")
  build_targets=("${targets[@]}" sharedmm_tests)
  build fuzz "$dir" -DCMAKE_C_COMPILER="$(command -v clang)" -DCMAKE_CXX_COMPILER="$(command -v clang++)" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_SANITIZE=address,undefined \
    -DORVIK_BUILD_FUZZ=ON -DORVIK_BUILD_TESTS=ON -DORVIK_BUILD_BENCH=OFF
  # The corpus and the regression cases once each, and the shared memory
  # stand-in's own tests under clang's address sanitizer.
  if ! run_tests fuzz "$dir" -R '_replay$|^SharedMM|^SpareBlocks' --no-tests=error --timeout 300; then
    leg_failed fuzz FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
  checks_passed=$tests_passed
  # Then each target for a while, from a scratch copy of its corpus; a
  # finding stops the leg and is left in $dir/findings.
  mkdir -p "$dir/findings"
  for target in "${targets[@]}"; do
    rm -rf "$dir/corpus-run/$target"
    mkdir -p "$dir/corpus-run/$target"
    cp "$root/fuzz/corpus/$target/"* "$dir/corpus-run/$target/"
    local log=$out/logs/fuzz.$target.log
    run_check fuzz "$target for ${seconds}s" "$log" "${leg_prefix[@]}" "$dir/bin/$target" \
      -max_total_time="$seconds" -max_len=8200 -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$target-" "$dir/corpus-run/$target"
    runs+="${runs:+, }$target $(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log") runs"
  done
  record fuzz passed "$checks_passed" 0 $((SECONDS - leg_start)) "$runs"
}

leg_soak() {
  local frames=${ORVIK_SOAK_FRAMES:-1000000} cycles=${ORVIK_SOAK_CYCLES:-2000}
  checks_passed=0
  # In the sanitizer legs' own folders: after those legs nothing is left to build.
  asan_env
  leg_prefix=("${no_aslr[@]}")
  build_targets=(reliability_soak_replay)
  build soak "$out/asan-ubsan" "${asan_args[@]}"
  run_check soak "$frames frames under ASan/LSan" "$out/logs/soak.replay.log" \
    env ORVIK_SOAK_FRAMES="$frames" "${leg_prefix[@]}" "$out/asan-ubsan/bin/reliability_soak_replay"
  tsan_env
  build_targets=(reliability_soak_watcher)
  build soak "$out/tsan" "${tsan_args[@]}"
  run_check soak "$cycles start/stop cycles under TSan" "$out/logs/soak.watcher.log" \
    env ORVIK_SOAK_CYCLES="$cycles" "${leg_prefix[@]}" "$out/tsan/bin/reliability_soak_watcher"
  record soak passed "$checks_passed" 0 $((SECONDS - leg_start)) "$frames frames, $cycles cycles"
}

leg_coverage() {
  local dir=$out/coverage lines=${ORVIK_COVERAGE_LINES:-95} branches=${ORVIK_COVERAGE_BRANCHES:-90}
  build coverage "$dir" "${common[@]}" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
    -DCMAKE_SHARED_LINKER_FLAGS=--coverage
  find "$dir" -name '*.gcda' -delete
  if ! run_tests coverage "$dir" --no-tests=error --timeout 600; then
    leg_failed coverage FAILED "$tests_passed" "$tests_failed" $((SECONDS - leg_start)) "$tests_note"
  fi
  checks_passed=$tests_passed
  # The plug-in's own code only: not the stand-ins, the reference host or the
  # tests. Left out: the parser built a second time with its portable scan
  # (gcovr cannot merge two builds of one file whose functions differ), and
  # the host objects' reserved table positions, empty defaults no one calls.
  local report=$out/logs/coverage.txt filters=() area
  for area in support serial testdata host plugin platform; do filters+=(--filter "$root/$area/"); done
  run_check coverage "coverage of at least $lines% lines and $branches% branches (report: $report)" \
    "$out/logs/coverage.gcovr.log" gcovr --root "$root" --object-directory "$dir" "${filters[@]}" \
    --exclude-directories '.*parser_tests_portable.*' \
    --exclude-lines-by-pattern '.*virtual void ReservedSlot[0-9]+\(\) \{\}.*' \
    --exclude-unreachable-branches --exclude-throw-branches --txt "$report" --print-summary \
    --fail-under-line "$lines" --fail-under-branch "$branches"
  # Not named summary: a local of that name would hide the legs' summary
  # from record.
  local figures
  figures=$(grep -E '^(lines|branches):' "$out/logs/coverage.gcovr.log" | sed -E 's/ \(.*//' | paste -sd, -)
  record coverage passed "$checks_passed" 0 $((SECONDS - leg_start)) "$figures"
}

for leg in "${legs[@]}"; do
  echo
  echo "== leg $leg"
  leg_start=$SECONDS
  leg_prefix=()
  build_targets=()
  tests_skipped=0
  case $leg in
    native) leg_native ;;
    asan-ubsan) leg_asan_ubsan ;;
    tsan) leg_tsan ;;
    i686-linux) leg_i686_linux ;;
    mingw-x86_64) leg_mingw_x86_64 ;;
    mingw-i686) leg_mingw_i686 ;;
    fuzz) leg_fuzz ;;
    soak) leg_soak ;;
    coverage) leg_coverage ;;
  esac
done

finish
