#!/usr/bin/env bash
# Builds the store, persistence and server with ThreadSanitizer (build/tsan)
# and runs, under it, first the C++ unit tests and then the stress program
# tools/stress (mevora_stress): many threads on one persistent store, its
# running server and two in-memory stores for a bounded time.
#
# Usage: tools/sanitize/tsan_stress.sh [SECONDS]   (stress length, default 20)
#
# Any data race, lock-order inversion or thread leak the sanitizer sees
# makes the run fail (exit status 66), as does any check of the stress
# program itself. Needs g++, cmake, ninja and GoogleTest.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
build=build/tsan

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEVORA_SANITIZE=thread -DMEVORA_BUILD_EXTENSION=OFF -DMEVORA_BUILD_TESTS=ON -DMEVORA_BUILD_STRESS=ON >/dev/null
cmake --build "$build" -j2

export TSAN_OPTIONS=halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=4
ctest --test-dir "$build" --output-on-failure -j2
"$build/mevora_stress" --seconds "$seconds"
