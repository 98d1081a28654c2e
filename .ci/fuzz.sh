#!/usr/bin/env bash
# Fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer; .ci/run calls it
# last, and it is also how to fuzz for longer by hand:
#
#   bash .ci/fuzz.sh                          both targets, FUZZ_SECONDS (60) each
#   FUZZ_SECONDS=1800 bash .ci/fuzz.sh core   one target, half an hour
#
# core: tests/fuzz/core_fuzz.cpp, a libFuzzer target built with clang.
# binding: tests/fuzz/binding_fuzz.py, an atheris target, run by Debian's debug
#   interpreter (python3-dbg, for sys.gettotalrefcount) against the extension
#   built with clang and the same sanitizers.
#
# Each target runs in one process from its seeds (tests/fuzz/make_seeds.py) and
# the corpus it kept from earlier runs in $BUILD/corpus-*. A crash, a sanitizer
# report or a wrong answer stops it: the input is saved under $BUILD/artifacts/
# and printed here in base64, and the script fails. Replay an input with
# `$BUILD/core_fuzz FILE`, or for the binding with the command printed below.
#
# Environment: FUZZ_SECONDS, QUILLMERE_FUZZ_BUILD (default build/fuzz),
# PYTHON_DEBUG (default python3-dbg).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-60}
BUILD=${QUILLMERE_FUZZ_BUILD:-build/fuzz}
PYDBG=${PYTHON_DEBUG:-python3-dbg}
TARGETS=${*:-core binding}
start=$SECONDS
mkdir -p "$BUILD/artifacts"
BUILD=$(cd "$BUILD" && pwd)

# Debian's clang, its libFuzzer and sanitizer runtimes, and the debug interpreter.
if ! command -v clang++ >/dev/null || ! command -v "$PYDBG" >/dev/null ||
    ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer - -o "$BUILD/probe" 2>/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang python3-dbg python3-dev python3-venv >/dev/null
    apt-get install -y -qq "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" >/dev/null
fi

python3 tests/fuzz/make_seeds.py "$BUILD/seeds-core" "$BUILD/seeds-binding"

# Runs a build step quietly; on failure shows its output and fails.
quietly() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { cat "$log"; echo "fuzz: failed: $*" >&2; exit 1; }
}

# Runs one target; on failure prints each saved input in base64 and fails.
fuzz() {
    local name=$1
    shift
    mkdir -p "$BUILD/corpus-$name"
    rm -f "$BUILD/artifacts/$name-"*
    local status=0
    "$@" -max_total_time="$SECONDS_EACH" -timeout=60 -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$name-" "$BUILD/corpus-$name" "$BUILD/seeds-$name" \
        >"$BUILD/$name.log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$BUILD/$name.log" || true
    if [[ $status -ne 0 ]]; then
        tail -n 60 "$BUILD/$name.log"
        for input in "$BUILD/artifacts/$name-"*; do
            [[ -e $input ]] || continue
            echo "fuzz: $name failed on $input; its bytes in base64:"
            head -c 65536 "$input" | base64 -w 0
            echo
        done
        echo "fuzz: the $name target failed (status $status); full log in $BUILD/$name.log" >&2
        exit 1
    fi
}

SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
if [[ " $TARGETS " == *" core "* ]]; then
    echo "== fuzz: core (libFuzzer), ${SECONDS_EACH} s"
    # clang ignores a target attribute it does not fully know, and it does not know
    # prefer-vector-width: stripped from a copy, so that the AVX-512 kernel is built
    # as such. pointer-overflow checks keep clang from vectorising the kernels; the
    # address sanitizer still checks every access.
    rm -rf "$BUILD/core-src" "$BUILD/core-obj"
    mkdir -p "$BUILD/core-obj"
    cp -r src/core "$BUILD/core-src"
    sed -i 's/,prefer-vector-width=512//g' "$BUILD/core-src/"*.cpp
    FLAGS="-std=c++17 -O2 -pthread -ffp-contract=off -fno-fast-math -I$BUILD/core-src"
    for source in "$BUILD/core-src/"*.cpp; do
        quietly "$BUILD/core-build.log" clang++ $FLAGS $SAN -fsanitize=fuzzer-no-link \
            -fno-sanitize=pointer-overflow -c "$source" -o "$BUILD/core-obj/$(basename "$source" .cpp).o"
    done
    # The harness's own comparisons (the reference sort) need no tracing.
    quietly "$BUILD/core-build.log" clang++ $FLAGS $SAN -fsanitize=fuzzer \
        -fno-sanitize-coverage=trace-cmp tests/fuzz/core_fuzz.cpp "$BUILD/core-obj/"*.o -o "$BUILD/core_fuzz"
    fuzz core "$BUILD/core_fuzz" -dict=tests/fuzz/core.dict
fi

if [[ " $TARGETS " == *" binding "* ]]; then
    echo "== fuzz: binding (atheris), ${SECONDS_EACH} s"
    venv="$BUILD/venv-dbg"
    if [[ ! -x $venv/bin/python ]]; then
        "$PYDBG" -m venv "$venv"
    fi
    quietly "$BUILD/pip.log" "$venv/bin/python" -W ignore -m pip install atheris==3.0.0 numpy
    # The atheris runtime (its own libFuzzer, ASan and UBSan) is preloaded; it
    # comes from another LLVM release than Debian's clang and lacks the handler
    # of clang 14's function-type check, which is left out.
    quietly "$BUILD/ext-build.log" cmake -S . -B "$BUILD/ext" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$venv/bin/python" \
        -DCMAKE_CXX_FLAGS="$SAN -fsanitize=fuzzer-no-link -fno-sanitize=vptr,pointer-overflow,function"
    quietly "$BUILD/ext-build.log" cmake --build "$BUILD/ext" -j 2
    runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    with_runtime() {
        env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$BUILD/ext" \
            ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1" \
            UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" "$@"
    }
    # The preloaded runtime must catch what the extension's instrumentation reports.
    clang++ -std=c++17 -shared -fPIC -O1 $SAN -fno-sanitize=function tests/sanitizer/canary.cpp -o "$BUILD/canary.so"
    for defect in overflow:AddressSanitizer undefined:runtime.error; do
        if with_runtime "$venv/bin/python" -c "import ctypes; ctypes.CDLL('$BUILD/canary.so').canary_${defect%%:*}()" \
            >"$BUILD/canary.log" 2>&1 || ! grep -q "${defect#*:}" "$BUILD/canary.log"; then
            cat "$BUILD/canary.log"
            echo "fuzz: a deliberate ${defect%%:*} went unreported under the atheris runtime" >&2
            exit 1
        fi
    done
    echo "replay: LD_PRELOAD=$runtime PYTHONMALLOC=malloc PYTHONPATH=$BUILD/ext" \
        "ASAN_OPTIONS=detect_leaks=0 $venv/bin/python tests/fuzz/binding_fuzz.py FILE"
    fuzz binding with_runtime "$venv/bin/python" tests/fuzz/binding_fuzz.py -max_len=2048
fi

echo "== fuzz passed in $((SECONDS - start)) s"
