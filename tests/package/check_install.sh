#!/usr/bin/env bash
# Installs the built project into a temporary prefix, then builds and runs a
# small consumer against it twice: through find_package and through pkg-config.
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
test -x "$prefix/bin/hexview"
"$prefix/bin/hexview" --help >/dev/null

cmake -S "$here" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-consumer/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$here/consumer.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs quillmar-hexview)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer"
echo "package ok"
