#!/usr/bin/env bash
# Builds the libFuzzer targets of src/fuzz into build/fuzz/<target>.
#
# Usage: src/fuzz/build.sh [target...]   (default: every target)
# Needs clang++ with the libFuzzer runtime (Debian: clang, libclang-rt-14-dev).
# CXX overrides the compiler. Targets are built with AddressSanitizer and
# UndefinedBehaviorSanitizer; undefined behaviour aborts like a crash.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

CXX="${CXX:-clang++}"
FLAGS=(-std=c++20 -O1 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -Wshadow -Isrc)

# The server reports the project version (HELLO); the build takes it from
# pyproject.toml as CMake does.
VERSION="$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml)"
FLAGS+=("-DMEVORA_VERSION=\"$VERSION\"")

PERSIST=(src/core/persist/coding.cc src/core/persist/file_io.cc
         src/core/persist_error.cc src/util/os_error.cc src/util/platform.cc)

sources_of() {
  case "$1" in
    fuzz_resp_reader|fuzz_inline_split) echo src/server/resp.cc ;;
    fuzz_glob) echo src/core/glob.cc ;;
    fuzz_wal_replay) echo src/core/persist/wal.cc src/core/persist/wal_batch.cc "${PERSIST[@]}" ;;
    fuzz_snapshot_load) echo src/core/persist/snapshot.cc "${PERSIST[@]}" ;;
    # The whole library: the command layer over a real store.
    fuzz_commands) find src/core src/server src/util -name '*.cc' ! -name '*_test.cc' | sort ;;
    *) echo "unknown fuzz target: $1" >&2; return 1 ;;
  esac
}

ALL=(fuzz_resp_reader fuzz_inline_split fuzz_glob fuzz_wal_replay fuzz_snapshot_load fuzz_commands)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${ALL[@]}")

mkdir -p build/fuzz
for t in "${targets[@]}"; do
  srcs="$(sources_of "$t")"
  # shellcheck disable=SC2086  # the source list is split on purpose
  "$CXX" "${FLAGS[@]}" "src/fuzz/$t.cc" $srcs -pthread -o "build/fuzz/$t"
  echo "built build/fuzz/$t"
done
