#!/usr/bin/env bash
# Runs the C++ unit tests and then the whole pytest suite against an
# AddressSanitizer + UndefinedBehaviorSanitizer build (Debug, build/asan).
#
# The extension is built with -fsanitize=address,undefined and put into a
# package directory (build/asan/pkg/mevora) next to the pure-Python part;
# pytest then runs with that directory first on PYTHONPATH and the ASan
# runtime preloaded, since the interpreter itself is not instrumented and
# the runtime must come first in the process. UBSan's runtime is a normal
# dependency of the extension and needs no preloading. Every process the
# tests start (python -m mevora, the crash-test writers, mypy, true, sleep)
# inherits the same environment, so it runs under the same checks.
#
# Any memory error or undefined behaviour stops the process with a report;
# leaks are reported at exit, except the interpreter-internal ones listed
# in lsan.supp. PYTHONMALLOC=malloc makes every Python object a heap block,
# so a reference leaked by the binding is a leak the checker can see.
#
# Usage: tools/sanitize/asan_pytest.sh [PYTEST ARGS...]
# Needs g++, cmake, ninja, GoogleTest and the test extras (python -m pip
# install '.[test]'). Exit status: the first failing step's, else pytest's.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=build/asan

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DMEVORA_SANITIZE=address,undefined -DMEVORA_BUILD_EXTENSION=ON -DMEVORA_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2

pkg=$root/$build/pkg
rm -rf "$pkg"
mkdir -p "$pkg/mevora"
cp -R python/mevora/. "$pkg/mevora/"
rm -f "$pkg"/mevora/_mevora*.so
cp "$build"/_mevora*.so "$pkg/mevora/"

# The interpreter itself, not a launcher script: LD_PRELOAD must reach only
# Python processes and what they start.
py=$(python -c 'import sys; print(sys.executable)')
"$py" -c 'import pytest' 2>/dev/null || {
  echo "pytest is missing: python -m pip install '.[test]'" >&2
  exit 2
}

export PYTHONPATH=$pkg${PYTHONPATH:+:$PYTHONPATH}
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
ASAN_OPTIONS+=:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS=suppressions=$root/tools/sanitize/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
asan_runtime=$(g++ -print-file-name=libasan.so)

# The unit tests are instrumented programs of their own: no preloading.
ctest --test-dir "$build" --output-on-failure -j2

# Fails unless the instrumented package is the one imported.
LD_PRELOAD=$asan_runtime "$py" -c "
import mevora._mevora as m, sys
sys.exit(0 if m.__file__.startswith('$pkg/') else 'imported ' + m.__file__ + ', not the ASan build')"

LD_PRELOAD=$asan_runtime "$py" -m pytest -q -p no:cacheprovider "$@"
