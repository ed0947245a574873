#!/usr/bin/env bash
# Installs the built project into a temporary prefix, checks the files, and
# builds and runs a small consumer against it.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir="$(ls -d "$prefix"/lib*/ | head -1)"
test -L "$libdir/libquillmar-hexview.so"
test -e "$libdir/libquillmar-hexview.so.1"
test -f "$prefix/include/quillmar_hexview.h"
if [ -e "$build_dir/tools/hexview/hexview" ]; then
  test -x "$prefix/bin/hexview"
  "$prefix/bin/hexview" --help >/dev/null
  man -l "$prefix"/share/man/man1/hexview.1* | grep -q "hexview dump"
fi

"$here/consume.sh" "$prefix" "$libdir" "$work"
echo "package ok"
