#!/usr/bin/env bash
# Sanitizer runs; .ci/run calls this after the normal suite, from the repository
# root, with the test virtual environment (.venv) active. Any report fails it.
#
# 1. AddressSanitizer + UndefinedBehaviorSanitizer: the extension is built with
#    both and the whole Python test suite runs against that build, with the
#    sanitizer runtime preloaded into the interpreter and Python objects
#    allocated with malloc, so that the sanitizer sees them too.
#    Leak reports are judged one by one (tests/sanitizer/check_reports.py): a
#    leak whose allocation stack passes through the module fails the run; the
#    interpreter's own blocks that it never frees at exit are only counted.
# 2. ThreadSanitizer: the core's parallel search, built with it, is driven from
#    several threads at once on one shared store (tests/cpp/tsan_driver.cpp).
#
# Before either, deliberate defects (tests/sanitizer/canary.cpp) prove that a
# leak, a heap overflow and undefined behaviour are each reported and caught.
#
# Environment: PYTHON (default python), CXX (default g++), QUILLMERE_SAN_BUILD
# (default build/sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=$(command -v "${PYTHON:-python}")
CXX=${CXX:-g++}
BUILD=${QUILLMERE_SAN_BUILD:-build/sanitizers}
SAN_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
start=$SECONDS

rm -rf "$BUILD"
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)

runtime() {
    local path
    path=$("$CXX" -print-file-name="$1")
    if [[ "$path" != /* || ! -e "$path" ]]; then
        echo "sanitizers: $CXX has no $1" >&2
        exit 1
    fi
    echo "$path"
}
PRELOAD="$(runtime libasan.so) $(runtime libstdc++.so)"  # libstdc++ too: the interpreter does not link it,
                                                          # and the runtime must find it to intercept C++ throws

# Runs a command with the address and undefined-behaviour sanitizer runtime in
# the interpreter; reports go to log files in the directory $1.
with_asan() {
    local logs=$1
    shift
    mkdir -p "$logs"
    # exitcode=0: leaks do not change the exit status (they are judged from the logs);
    # every other report aborts the process at once.
    env LD_PRELOAD="$PRELOAD" \
        ASAN_OPTIONS="detect_leaks=1:exitcode=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:log_path=$logs/asan" \
        UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
        PYTHONMALLOC=malloc \
        "$@"
}

check_reports() {
    "$PY" tests/sanitizer/check_reports.py "$@" --frame "quillmere::" --frame "PyInit_quillmere" \
        --frame "/quillmere.cpython-" --frame "/quillmere.abi3" --frame "$ROOT/src/"
}

echo "== sanitizers: the checks catch deliberate defects"
"$CXX" -shared -fPIC -O1 -g $SAN_FLAGS tests/sanitizer/canary.cpp -o "$BUILD/canary.so"
for defect in leak overflow undefined; do
    status=0
    # The undefined-behaviour runtime writes to standard error whatever its log_path says.
    with_asan "$BUILD/canary-$defect" "$PY" -c "import ctypes; ctypes.CDLL('$BUILD/canary.so').canary_$defect()" \
        >/dev/null 2>"$BUILD/canary-$defect.stderr" || status=$?
    mv "$BUILD/canary-$defect.stderr" "$BUILD/canary-$defect/stderr"
    if check_reports "$BUILD/canary-$defect" >/dev/null; then
        echo "sanitizers: the deliberate $defect was not reported; the sanitizer checks do not work" >&2
        exit 1
    fi
    if [[ $defect != leak && $status -eq 0 ]]; then
        echo "sanitizers: the deliberate $defect did not stop the process" >&2
        exit 1
    fi
done
echo "leak, heap overflow and undefined behaviour are each reported"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: building the extension"
cmake -S . -B "$BUILD/asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
    -DPython_EXECUTABLE="$PY" -DCMAKE_CXX_FLAGS="$SAN_FLAGS" >/dev/null
cmake --build "$BUILD/asan" -j 2

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the Python test suite"
with_asan "$BUILD/logs-check" env PYTHONPATH="$BUILD/asan" "$PY" -c "
import quillmere, sys
sys.exit(0 if quillmere.__file__.startswith('$BUILD/asan/') else 'the suite would not test the sanitized build: ' + quillmere.__file__)"
# Fewer repetitions in the leak tests: every call is slower here, and native leaks are the
# leak checker's job. Tests that lower the address-space limit cannot run: the sanitizer has
# reserved terabytes of it and needs more for every new thread. The wheel tests build the
# project with pip, cmake and make, which would all run under the preloaded runtime (and make
# trips its string checks); they test packaging, not the module's code, and run in the plain suite.
status=0
with_asan "$BUILD/logs" env PYTHONPATH="$BUILD/asan" QUILLMERE_LEAK_ROUNDS=2000 \
    "$PY" -m pytest -p no:cacheprovider -q \
    --deselect tests/test_parallel_search.py::test_thread_creation_failure_raises_panic \
    --ignore tests/test_wheel.py \
    2>&1 | tee "$BUILD/pytest.out" || status=$?
cp "$BUILD/pytest.out" "$BUILD/logs/"  # undefined-behaviour reports arrive on standard error
check_reports "$BUILD/logs" || status=1
if [[ $status -ne 0 ]]; then
    echo "sanitizers: AddressSanitizer/UndefinedBehaviorSanitizer run failed" >&2
    exit 1
fi

echo "== ThreadSanitizer: parallel search from several threads on one store"
"$CXX" -std=c++17 -fsanitize=thread -O1 -g -pthread -ffp-contract=off -fno-fast-math -Isrc/core \
    src/core/*.cpp tests/cpp/tsan_driver.cpp -o "$BUILD/tsan_driver"
run_tsan() {
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:report_thread_leaks=1:second_deadlock_stack=1" "$@" "$BUILD/tsan_driver"
}
status=0
run_tsan 2>"$BUILD/tsan.log" || status=$?
if [[ $status -ne 0 ]] && grep -q "unexpected memory mapping" "$BUILD/tsan.log"; then
    # Kernels with wide address randomisation need it off for this runtime.
    status=0
    run_tsan setarch "$(uname -m)" -R 2>"$BUILD/tsan.log" || status=$?
fi
cat "$BUILD/tsan.log" >&2
if [[ $status -ne 0 ]]; then
    echo "sanitizers: ThreadSanitizer run failed (status $status)" >&2
    exit 1
fi

echo "== sanitizers passed in $((SECONDS - start)) s"
