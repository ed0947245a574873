#!/usr/bin/env bash
# Makes the Debian packages of the build with cpack, checks their names,
# contents and dependencies, unpacks them into a throw-away root with
# `dpkg -x`, and builds and runs the consumer and the command from there.
# Usage: check_debs.sh BUILD_DIR VERSION
set -euo pipefail
build_dir="$1" version="$2"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
major="${version%%.*}"
runtime="libquillmar-hexview$major"

fail() { echo "check_debs: $*" >&2; exit 1; }
field() { dpkg-deb -f "$work/debs/$1"_*.deb "$2"; }

(cd "$build_dir" && cpack -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
for pkg in "$runtime" libquillmar-hexview-dev hexview python3-quillmar-hexview; do
  ls "$work/debs/${pkg}_${version}"-*.deb >/dev/null 2>&1 || fail "no package $pkg"
done

# The runtime package is named after the SONAME it holds, and says so in shlibs.
dpkg-deb -x "$work/debs/${runtime}"_*.deb "$work/lib-only"
lib="$(find "$work/lib-only" -name 'libquillmar-hexview.so.*.*')"
soname="$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')"
[ "$soname" = "libquillmar-hexview.so.$major" ] || fail "SONAME is '$soname'"
[ -L "$(dirname "$lib")/$soname" ] || fail "no $soname link in $runtime"
[ -z "$(find "$work/lib-only" -name '*.h' -o -name 'libquillmar-hexview.so')" ] || fail "$runtime holds dev files"
dpkg-deb -e "$work/debs/${runtime}"_*.deb "$work/control"
grep -qx "libquillmar-hexview $major $runtime (>= $version-[0-9]*)" "$work/control/shlibs" ||
  fail "shlibs: $(cat "$work/control/shlibs")"

# Dependencies: the dev package and the command need this very library; every
# other dependency is a package of the system that built them.
for pkg in libquillmar-hexview-dev hexview python3-quillmar-hexview; do
  field "$pkg" Depends | grep -q "$runtime (= $version-" || fail "$pkg does not depend on $runtime: $(field "$pkg" Depends)"
done
for pkg in "$runtime" hexview; do
  for dep in $(field "$pkg" Depends | tr ',' '\n' | awk '{ print $1 }'); do
    [ "$dep" = "$runtime" ] || dpkg-query -W "$dep" >/dev/null 2>&1 || fail "$pkg depends on unknown $dep"
  done
  field "$pkg" Depends | grep -q "libc6" || fail "$pkg lists no libc6"
done

root="$work/root"
for deb in "$work"/debs/*.deb; do dpkg -x "$deb" "$root"; done
prefix="$root/usr"
libdir="$(dirname "$(find "$prefix" -name 'libquillmar-hexview.so' | head -1)")"
test -f "$prefix/include/quillmar_hexview.h"
"$prefix/bin/hexview" info "$prefix/include/quillmar_hexview.h" | grep -q "^size"
man -l "$prefix/share/man/man1/hexview.1.gz" | grep -q "hexview dump"

# The Python package is for every architecture and, from the unpacked root,
# loads the library by its SONAME.
[ "$(field python3-quillmar-hexview Architecture)" = all ] || fail "python3-quillmar-hexview is not Architecture: all"
pydir="$(dirname "$(find "$root" -type d -name quillmar_hexview | head -1)")"
env -u QUILLMAR_HEXVIEW_LIBRARY PYTHONPATH="$pydir" LD_LIBRARY_PATH="$libdir" /usr/bin/python3 -B -c '
import sys, quillmar_hexview as hx
assert hx.__file__.startswith(sys.argv[1]), hx.__file__
with hx.open(sys.argv[2]) as f:
    assert f.search("QUILLMAR_HEXVIEW_H", "ascii").count > 0
assert sys.argv[3] in open("/proc/self/maps").read(), "not the packaged library"
' "$prefix" "$prefix/include/quillmar_hexview.h" "$libdir" || fail "the Python package does not work from the packages"

"$here/consume.sh" "$prefix" "$libdir" "$work"
echo "debs ok"
