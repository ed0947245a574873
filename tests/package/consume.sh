#!/usr/bin/env bash
# Builds and runs the small consumer against an installed tree twice: through
# find_package and through pkg-config.
# Usage: consume.sh PREFIX LIBDIR WORK_DIR
set -euo pipefail
prefix="$1" libdir="$2" work="$3"
here="$(cd "$(dirname "$0")" && pwd)"

cmake -S "$here" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-consumer/consumer"

PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$libdir/pkgconfig" \
  cc "$here/consumer.c" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config --cflags --libs quillmar-hexview)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer"
