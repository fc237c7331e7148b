#!/usr/bin/env bash
# The whole test suite, as CI runs it (.ci/run calls this script). On a fresh
# Debian 12 machine, as root, it installs what it needs, then runs stages:
#   lint     clang-format check of every tracked C and C++ file, then
#            clang-tidy on src/ (two tests: one per tool)
#   release  configure, build (warnings are errors), ctest; then the Python
#            black-box and peer tests against the release build, and the
#            packaging tests (install, examples, Debian package) and the
#            Python binding's tests
#   asan     the same build under AddressSanitizer + UBSan, ctest, then the
#            black-box tests against it
#   tsan     the same build under ThreadSanitizer, the integration tests
#   fuzz     the libFuzzer targets (clang, ASan + UBSan): each corpus replayed
#            as a ctest, then each target fuzzed for BV_FUZZ_SECONDS (one
#            test per target)
# A stage that fails is recorded and the next one still runs. The script ends
# with a summary and one closing line "N passed, N failed" (all the tests
# together), and exits 1 when any test failed or any stage could not run.
#
# BV_STAGES="release asan" runs a subset of the stages (default: all).
# BV_FUZZ_SECONDS sets the fuzzing time per target (default 30).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD

ALL_STAGES="lint release asan tsan fuzz"
STAGES=${BV_STAGES:-$ALL_STAGES}
JOBS=2
LOG_DIR=$ROOT/build/test-logs
# A hung Python test must not eat CI's whole budget.
PYTEST_TIMEOUT=1200

for stage in $STAGES; do
  case " $ALL_STAGES " in
    *" $stage "*) ;;
    *) echo "test.sh: unknown stage '$stage' in BV_STAGES (known: $ALL_STAGES)" >&2; exit 2 ;;
  esac
done

total_passed=0
total_failed=0
stage_errors=0
summary=()

banner() {
  printf '\n==================== %s ====================\n' "$*"
}

# Records one line for the summary: ok, FAIL (tests failed) or ERROR (the
# stage could not complete, which counts against the run by itself).
record() {
  local stage=$1 seconds=$2 status=$3 detail=$4
  summary+=("$(printf '%-8s %-6s %4ss  %s' "$stage" "$status" "$seconds" "$detail")")
  if [[ $status == ERROR ]]; then stage_errors=$((stage_errors + 1)); fi
}

# Appends one part to STAGE_DETAIL, the summary text of the running stage.
STAGE_DETAIL=""
note() {
  STAGE_DETAIL+="${STAGE_DETAIL:+; }$1"
}

# Runs ctest with the given arguments, adds its counts to the totals and
# sets CTEST_DETAIL. Returns non-zero when ctest did not print its summary
# (it could not run), not when tests failed: failures are counted instead.
CTEST_DETAIL=""
run_ctest() {
  local log=$1
  shift
  local rc=0
  ctest "$@" 2>&1 | tee "$log" || rc=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1) || true
  if [[ -z $line ]]; then
    CTEST_DETAIL="ctest gave no result (exit $rc)"
    return 1
  fi
  local failed total
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  total_passed=$((total_passed + total - failed))
  total_failed=$((total_failed + failed))
  CTEST_DETAIL="ctest $((total - failed)) passed, $failed failed"
  return 0
}

# Test files are named test_*.py, *_test.py or by area (01-lifecycle-start.py);
# other modules in the folders are helpers. run_pytest gives pytest the same
# patterns.
PYTHON_TEST_FILES='test_*.py *_test.py [0-9][0-9]-*.py'

# The Python test folders (of those given) that hold at least one test file.
python_test_dirs() {
  local dir
  for dir in "$@"; do
    if [[ -d $dir ]] && find "$dir" -type f \( -name 'test_*.py' -o -name '*_test.py' \
        -o -name '[0-9][0-9]-*.py' \) -print -quit | grep -q .; then
      printf '%s\n' "$dir"
    fi
  done
}

# Runs pytest on the given folders (with the caller's environment), adds its
# counts to the totals and sets PYTEST_DETAIL. Exit 5, "no tests collected",
# is not a failure. Returns non-zero when pytest could not run.
PYTEST_DETAIL=""
run_pytest() {
  local log=$1
  shift
  local rc=0
  timeout -k 10 "$PYTEST_TIMEOUT" "$PY" -m pytest -q -rfE -p no:cacheprovider \
    -o "python_files=$PYTHON_TEST_FILES" "$@" 2>&1 | tee "$log" || rc=$?
  if ((rc == 5)); then
    PYTEST_DETAIL="pytest collected no tests"
    return 0
  fi
  local line passed=0 failed=0 errors=0
  line=$(grep -E '[0-9]+ (passed|failed|errors?)' "$log" | tail -n 1) || true
  if [[ -z $line ]]; then
    PYTEST_DETAIL="pytest gave no result (exit $rc)"
    return 1
  fi
  if [[ $line =~ ([0-9]+)\ passed ]]; then passed=${BASH_REMATCH[1]}; fi
  if [[ $line =~ ([0-9]+)\ failed ]]; then failed=${BASH_REMATCH[1]}; fi
  if [[ $line =~ ([0-9]+)\ errors? ]]; then errors=${BASH_REMATCH[1]}; fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed + errors))
  PYTEST_DETAIL="pytest $passed passed, $((failed + errors)) failed"
  # Failures are counted above; any other non-zero exit (a timeout, an
  # internal error, an interrupted session) means the run is incomplete.
  if ((rc != 0 && failed + errors == 0)); then
    PYTEST_DETAIL+=" (exit $rc)"
    return 1
  fi
  return 0
}

# Runs node's test runner on the JavaScript peer tests (with the caller's
# environment), adds its counts to the totals and sets NODE_DETAIL. Returns
# non-zero when the runner gave no result.
NODE_DETAIL=""
run_node_tests() {
  local log=$1
  shift
  local rc=0
  timeout -k 10 "$PYTEST_TIMEOUT" node --test "$@" 2>&1 | tee "$log" || rc=$?
  local passed failed
  passed=$(grep -E '^# pass [0-9]+' "$log" | tail -n 1 | awk '{print $3}') || true
  failed=$(grep -E '^# fail [0-9]+' "$log" | tail -n 1 | awk '{print $3}') || true
  if [[ -z $passed || -z $failed ]]; then
    NODE_DETAIL="node --test gave no result (exit $rc)"
    return 1
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  NODE_DETAIL="node $passed passed, $failed failed"
  if ((rc != 0 && failed == 0)); then
    NODE_DETAIL+=" (exit $rc)"
    return 1
  fi
  return 0
}

# Configures and builds a preset; further arguments name the only targets to
# build (default: all).
configure_and_build() {
  local preset=$1
  shift
  local targets=()
  if (($# > 0)); then targets=(--target "$@"); fi
  echo "--- configure ($preset)"
  cmake --preset "$preset" || return 1
  echo "--- build ($preset${1:+: $*})"
  cmake --build --preset "$preset" "${targets[@]}" || return 1
}

# ---- set-up -----------------------------------------------------------------

banner "set-up"
start=$SECONDS
STAGE_DETAIL=""
setup_status=ok
if ! bash scripts/setup.sh; then
  # Nothing can be built without the packages.
  setup_status=ERROR
  note "installing Debian packages failed"
  STAGES=""
fi
# The JavaScript peers run with the release stage only.
if [[ $setup_status == ok && -f package-lock.json && " $STAGES " == *" release "* ]]; then
  echo "--- npm ci"
  if ! npm ci --no-audit --no-fund; then
    # The stages still run; the peer tests that need these packages fail.
    setup_status=ERROR
    note "npm ci failed"
  fi
fi
# Python packages come from Debian, so the system interpreter runs the tests;
# another python3 earlier on PATH cannot see them.
PY=$(command -p -v python3 || true)
if [[ $setup_status == ok && -z $PY ]]; then
  setup_status=ERROR
  note "no python3 on the default PATH"
  STAGES=""
fi
echo "--- tools: $(cmake --version | head -n 1); $(g++ --version | head -n 1); python ${PY:-none}; $(nproc) cores"
mkdir -p "$LOG_DIR"
record set-up $((SECONDS - start)) "$setup_status" "$STAGE_DETAIL"

# ---- stages -----------------------------------------------------------------

# The format check, then clang-tidy on src/ with the release build's compile
# commands (only configured here). Each counts as one test; the files and
# findings are listed in the output.
stage_lint() {
  local list files=() unformatted=() f
  list=$(git ls-files '*.c' '*.cpp' '*.h') || { note "git ls-files failed"; return 1; }
  mapfile -t files <<<"$list"
  command -v clang-format >/dev/null || { note "no clang-format"; return 1; }
  echo "--- clang-format --dry-run --Werror ($(clang-format --version | head -n 1); ${#files[@]} files)"
  for f in "${files[@]}"; do
    [[ -f $f ]] || continue  # deleted in the work tree
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
  done
  if ((${#unformatted[@]} == 0)); then
    total_passed=$((total_passed + 1))
    note "clang-format clean"
  else
    total_failed=$((total_failed + 1))
    note "clang-format: ${#unformatted[@]} files to reformat"
    echo "files that need clang-format (reformat with the command in .clang-format):"
    printf '  %s\n' "${unformatted[@]}"
  fi

  command -v run-clang-tidy >/dev/null || { note "no run-clang-tidy"; return 1; }
  echo "--- configure (release) for its compile commands"
  cmake --preset release >/dev/null || { note "release configure failed"; return 1; }
  echo "--- run-clang-tidy on src/"
  local log=$LOG_DIR/lint-tidy.log rc=0 findings
  run-clang-tidy -p build/release -quiet -j "$JOBS" "^$ROOT/src/" >"$log" 2>&1 || rc=$?
  # The findings without colours and without the notes that explain them.
  findings=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E '^/.*: (warning|error): ' | sort -u) || true
  if ((rc == 0)); then
    total_passed=$((total_passed + 1))
    note "clang-tidy clean"
  elif [[ -n $findings ]]; then
    total_failed=$((total_failed + 1))
    note "clang-tidy: $(wc -l <<<"$findings") findings"
    printf '%s\n' "${findings//"$ROOT"\//}"
  else
    tail -n 40 "$log"
    note "run-clang-tidy failed without findings (exit $rc)"
    return 1
  fi
  return 0
}

stage_release() {
  local dirs
  configure_and_build release || { note "build failed"; return 1; }
  echo "--- ctest (release)"
  run_ctest "$LOG_DIR/release-ctest.log" --preset release -j "$JOBS" --no-tests=error
  local rc=$?
  note "$CTEST_DETAIL"
  ((rc == 0)) || return 1
  mapfile -t dirs < <(python_test_dirs tests/blackbox tests/peer)
  if ((${#dirs[@]} == 0)); then
    note "no Python tests"
    return 0
  fi
  echo "--- pytest (release): ${dirs[*]}"
  BV_LIB=$ROOT/build/release/libbrelvane-mqtt.so \
    BV_DAEMON=$ROOT/build/release/daemon/brelvane-mqttd \
    run_pytest "$LOG_DIR/release-pytest.log" "${dirs[@]}"
  rc=$?
  note "$PYTEST_DETAIL"
  ((rc == 0)) || return 1
  local js
  mapfile -t js < <(find tests/peer -name '*.test.mjs' | sort)
  if ((${#js[@]} > 0)); then
    echo "--- node peers (release): ${js[*]}"
    BV_DAEMON=$ROOT/build/release/daemon/brelvane-mqttd \
      run_node_tests "$LOG_DIR/release-node.log" "${js[@]}"
    rc=$?
    note "$NODE_DETAIL"
  fi
  # The installed package (cmake --install, the examples built against it,
  # cpack -G DEB) and the Python binding, in a pytest run of their own: their
  # helpers would clash with the black-box ones.
  local prc=0
  mapfile -t dirs < <(python_test_dirs tests/packaging bindings/python/tests)
  if ((${#dirs[@]} > 0)); then
    echo "--- pytest (release, packaging and binding): ${dirs[*]}"
    BV_LIB=$ROOT/build/release/libbrelvane-mqtt.so BV_BUILD_DIR=$ROOT/build/release \
      run_pytest "$LOG_DIR/release-packaging.log" "${dirs[@]}"
    prc=$?
    note "packaging and binding: $PYTEST_DETAIL"
  fi
  ((rc == 0 && prc == 0))
}

stage_asan() {
  local dirs
  configure_and_build asan || { note "build failed"; return 1; }
  echo "--- ctest (asan)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "$LOG_DIR/asan-ctest.log" --preset asan -j "$JOBS" --no-tests=error
  local rc=$?
  note "$CTEST_DETAIL"
  ((rc == 0)) || return 1
  mapfile -t dirs < <(python_test_dirs tests/blackbox)
  if ((${#dirs[@]} == 0)); then
    note "no black-box tests"
    return 0
  fi
  echo "--- pytest (asan): ${dirs[*]}"
  # The interpreter is not instrumented: ASan's runtime must be loaded
  # first, and the interpreter's own allocations are not leak-checked.
  LD_PRELOAD=$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    BV_LIB=$ROOT/build/asan/libbrelvane-mqtt.so \
    BV_DAEMON=$ROOT/build/asan/daemon/brelvane-mqttd \
    run_pytest "$LOG_DIR/asan-pytest.log" "${dirs[@]}"
  rc=$?
  note "$PYTEST_DETAIL"
  return "$rc"
}

stage_tsan() {
  # Only the integration tests run here; building the rest under TSan would
  # cost minutes for nothing.
  configure_and_build tsan integration_tests || { note "build failed"; return 1; }
  echo "--- ctest (tsan, integration)"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_ctest "$LOG_DIR/tsan-ctest.log" --preset tsan -L integration -j "$JOBS" --no-tests=error
  local rc=$?
  note "$CTEST_DETAIL"
  return "$rc"
}

# Builds the fuzz targets, replays their committed corpora (ctest -L fuzz),
# then fuzzes each target from its corpus for BV_FUZZ_SECONDS. New inputs go
# to build/fuzz/corpus/<target>, never into fuzz/corpus; a crashing input is
# saved in build/fuzz/findings/. Each target's run counts as one test.
stage_fuzz() {
  local seconds=${BV_FUZZ_SECONDS:-30}
  if [[ ! $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    note "BV_FUZZ_SECONDS must be a positive number of seconds, not '$seconds'"
    return 1
  fi
  configure_and_build fuzz || { note "build failed"; return 1; }
  echo "--- ctest (fuzz: corpus replay)"
  run_ctest "$LOG_DIR/fuzz-ctest.log" --preset fuzz -j "$JOBS" --no-tests=error
  local rc=$?
  note "$CTEST_DETAIL"
  ((rc == 0)) || return 1

  local targets=() target passed=0 failed=0 log args
  mapfile -t targets < <(find fuzz -maxdepth 1 -name 'fuzz_*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
  for target in "${targets[@]}"; do
    mkdir -p "build/fuzz/corpus/$target" build/fuzz/findings
    log=$LOG_DIR/fuzz-$target.log
    args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="build/fuzz/findings/$target-")
    if [[ -f fuzz/$target.dict ]]; then args+=(-dict="fuzz/$target.dict"); fi
    echo "--- $target: $seconds s"
    # Generous slack: libFuzzer checks the time limit only between inputs.
    if timeout -k 10 $((seconds + 120)) "build/fuzz/fuzz/$target" "${args[@]}" \
        "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      passed=$((passed + 1))
      grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
    else
      failed=$((failed + 1))
      tail -n 40 "$log"
      echo "$target FAILED; the input is in build/fuzz/findings/ (log: ${log#"$ROOT"/})"
    fi
  done
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  note "fuzzing $passed passed, $failed failed (${seconds} s each)"
  return 0
}

run_stage() {
  case $1 in
    lint) stage_lint ;;
    release) stage_release ;;
    asan) stage_asan ;;
    tsan) stage_tsan ;;
    fuzz) stage_fuzz ;;
  esac
}

for stage in $STAGES; do
  banner "$stage"
  start=$SECONDS
  failed_before=$total_failed
  STAGE_DETAIL=""
  # Called in a condition so that one failing stage cannot end the script
  # (errexit is off inside); each stage checks its own steps.
  if ! run_stage "$stage"; then
    status=ERROR
  elif ((total_failed > failed_before)); then
    status=FAIL
  else
    status=ok
  fi
  record "$stage" $((SECONDS - start)) "$status" "$STAGE_DETAIL"
  echo "--- $stage: $status in $((SECONDS - start)) s"
done

# ---- summary ----------------------------------------------------------------

banner "summary"
printf '%s\n' "${summary[@]}"
if ((stage_errors > 0)); then
  echo "$stage_errors stage(s) could not complete; logs in ${LOG_DIR#"$ROOT"/}"
fi
echo "$total_passed passed, $total_failed failed"
if ((total_failed > 0 || stage_errors > 0)); then
  exit 1
fi
exit 0
