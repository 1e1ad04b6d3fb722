#!/usr/bin/env bash
# Builds corvid with AddressSanitizer and UndefinedBehaviorSanitizer into .venv-asan and
# runs the test suite against that build (arguments go to pytest).
export CORVID_SANITIZE=ON CORVID_VENV="${CORVID_VENV:-$(cd "$(dirname "$0")/.." && pwd)/.venv-asan}"
export CORVID_BUILD_DIR="${CORVID_BUILD_DIR:-build/asan}"
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh" test
cd "$root"
# The interpreter itself is not instrumented: preload the runtimes. Python's own allocations
# are not all freed at exit, so leak detection would only report the interpreter. A huge
# allocation must fail as it does without ASan (NumPy then raises MemoryError), not abort.
runtime="$(${CXX:-c++} -print-file-name=libasan.so) $(${CXX:-c++} -print-file-name=libubsan.so)"
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
    "$python" -m pytest -p no:cacheprovider "$@"
