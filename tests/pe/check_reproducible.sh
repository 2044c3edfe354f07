#!/usr/bin/env bash
# Builds the stub again in a second, differently named build folder and compares the bytes with the
# main build's stub: no path, time or random byte may reach the image.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
reference=$1
other=$(mktemp -d /tmp/stub-repro-XXXXXX)
trap 'rm -rf "$other"' EXIT
cmake -S "$root" -B "$other/elsewhere" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DSTUB_BUILD_TESTS=OFF >/dev/null
cmake --build "$other/elsewhere" --target stub_exe -j"$(nproc)" >/dev/null
if cmp "$reference" "$other/elsewhere/stub.exe"; then
  echo "reproducible: $(stat -c %s "$reference") bytes, identical from two build folders"
  echo "1 passed, 0 failed"
else
  echo "the stub built in $other/elsewhere differs from $reference"
  echo "0 passed, 1 failed"
  exit 1
fi
