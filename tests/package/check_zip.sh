#!/usr/bin/env bash
# Makes the Windows zip of the build with cpack, checks what it holds, builds
# the consumer against the unpacked zip with the same toolchain, and runs the
# consumer and hexview.exe from there under Wine.
# Usage: check_zip.sh BUILD_DIR VERSION TOOLCHAIN_FILE WINE_RUN
set -euo pipefail
build_dir="$1" version="$2" toolchain="$3" wine_run="$4"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G ZIP -B "$work/zip" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
zip="$work/zip/quillmar-hexview-$version-windows-x64.zip"
(cd "$work" && cmake -E tar xf "$zip")
root="$work/quillmar-hexview-$version-windows-x64"
for f in bin/quillmar-hexview.dll bin/hexview.exe lib/libquillmar-hexview.dll.a include/quillmar_hexview.h \
  lib/cmake/quillmar-hexview/quillmar-hexview-config.cmake; do
  [ -f "$root/$f" ] || { echo "check_zip: the zip holds no $f" >&2; exit 1; }
done

cmake -S "$here" -B "$work/consumer" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -Dquillmar-hexview_DIR="$root/lib/cmake/quillmar-hexview" >/dev/null
cmake --build "$work/consumer" >/dev/null
cp "$root/bin/quillmar-hexview.dll" "$work/consumer/"
"$wine_run" "$work/consumer/consumer.exe"
"$wine_run" "$root/bin/hexview.exe" info "Z:$root/include/quillmar_hexview.h" | grep "^size"
echo "zip ok"
