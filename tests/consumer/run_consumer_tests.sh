#!/usr/bin/env bash
# Kavrel as an installed library: installs the build tree into a scratch
# prefix and builds the two host programs of this directory against it
# (find_package and pkg-config), then the same against the Debian package,
# unpacked into a scratch root and, when run as root on a machine without
# it, installed with apt and removed again. Each host creates the object,
# opens NULLMODEM0A and sends a text to NULLMODEM0B.
#   tests/consumer/run_consumer_tests.sh [build-dir]
# Prints one PASS/FAIL line per check and "consumers: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(cd "${1:-build}" && pwd)
jobs=${KAVREL_JOBS:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # name command...
  local name=$1 log="$work/log"
  shift
  if "$@" >"$log" 2>&1; then
    echo "PASS: $name"
    passed=$((passed + 1))
  else
    echo "FAIL: $name"
    sed 's/^/    /' "$log" | tail -30
    failed=$((failed + 1))
  fi
}

# The host programs against an installed tree: prefix, library directory.
cmake_host() {  # prefix out
  cmake -S tests/consumer/find-package -B "$2" -DCMAKE_PREFIX_PATH="$1" &&
    cmake --build "$2" && "$2/host" | grep -qx 'received the text'
}
pkg_config_host() {  # pkgconfig-dir libdir bindir out
  rm -rf "$4" && cp -r tests/consumer/pkg-config "$4" &&
    PKG_CONFIG_PATH=$1 make -s -C "$4" &&
    KAVREL_REGISTRY=$4/registry.reg "$3/kavrel-regsvr" -s &&
    KAVREL_REGISTRY=$4/registry.reg LD_LIBRARY_PATH=$2 "$4/host" | grep -qx 'received the text'
}
headers_host() {  # prefix libdir out: the headers in every language mode the compilers have
  local src=tests/consumer/headers/headers.c modes=0 cc std lang
  mkdir -p "$3"
  for cc in gcc clang g++ clang++; do
    command -v "$cc" >/dev/null || continue
    case $cc in *++) lang=c++ ;; *) lang=c ;; esac
    for std in c99 c11 c17 c++11 c++14 c++17 c++20; do
      case $std in c++*) [ $lang = c++ ] || continue ;; *) [ $lang = c ] || continue ;; esac
      echo "$cc -std=$std"
      "$cc" -x "$lang" -std="$std" -Wall -Wextra -Wpedantic -Werror -I"$1/include" -c "$src" \
        -o "$3/other.o" &&
        "$cc" -x "$lang" -std="$std" -Wall -Wextra -Wpedantic -Werror -I"$1/include" \
          -DKAVREL_HEADERS_MAIN -c "$src" -o "$3/main.o" &&
        "$cc" "$3/main.o" "$3/other.o" -L"$2" -lkavrel -o "$3/host" &&
        LD_LIBRARY_PATH=$2 "$3/host" || return 1
      modes=$((modes + 1))
    done
  done
  [ "$modes" -gt 0 ]
}
soname() {  # library
  readelf -d "$1" | grep -q 'SONAME.*\[libkavrel\.so\.1\]'
}
python_host() {  # dist-packages libdir: import kavrel from there, over the system's loader
  env -u KAVREL_LIBRARY PYTHONPATH=$1 LD_LIBRARY_PATH=$2 /usr/bin/python3 -s -B -c '
import sys, kavrel
assert kavrel.__file__.startswith(sys.argv[1]), kavrel.__file__
assert kavrel.library_path() == "libkavrel.so.1", kavrel.library_path()
mode = "baud=9600 parity=N data=8 stop=1"
with kavrel.Comms() as c:
    assert c.CommOpen(1, "NULLMODEM0A", mode) == 0 and c.CommOpen(2, "NULLMODEM0B", mode) == 0
    assert c.CommWrite(1, "text") == 4 and c.CommRead(2, 64) == (4, "text")
' "$1"
}
no_build_path() {  # tree: no file names the source or build tree
  ! grep -rlaF -e "$root" -e "$build" "$1"
}
# Every document the installed docs name (`docs/members.md`, `python/README.md`)
# is installed there, beside the README.
docs_resolve() {  # docdir
  local doc name ok=0
  for doc in "$1"/README.md "$1"/docs/*.md "$1"/python/README.md; do
    for name in $(grep -oE '(docs|python)/[A-Za-z0-9_.-]+\.md' "$doc" | sort -u); do
      [ -f "$1/$name" ] || { echo "$doc names $name, which is not installed"; ok=1; }
    done
  done
  return $ok
}

prefix=$work/prefix
check "install into a scratch prefix" cmake --install "$build" --prefix "$prefix"
check "every document the docs name is installed" docs_resolve "$prefix/share/doc/kavrel"
libdir=$(dirname "$(find "$prefix" -name libkavrel.so.1 | head -1)")
check "SONAME libkavrel.so.1" soname "$libdir/libkavrel.so.1"
check "no build path in the installed tree" no_build_path "$prefix"
check "find_package host against the prefix" cmake_host "$prefix" "$work/cmake-host"
check "headers in every C and C++ mode, pedantic" headers_host "$prefix" "$libdir" "$work/headers"
check "pkg-config host against the prefix" \
  pkg_config_host "$libdir/pkgconfig" "$libdir" "$prefix/bin" "$work/pc-host"
check "Python package from the prefix" python_host "$prefix/lib/python3/dist-packages" "$libdir"

# A build tree configured for /usr is packaged as it stands (the test run's);
# otherwise the package is built as a user would build it.
if grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$build/CMakeCache.txt"; then
  rm -f "$build"/kavrel_*.deb
  (cd "$build" && cpack -G DEB) >"$work/deb.log" 2>&1
  deb=$(ls "$build"/kavrel_*_*.deb 2>/dev/null | head -1)
else
  deb=$root/$(KAVREL_JOBS=$jobs bash tools/build-deb.sh 2>"$work/deb.log" | tail -1)
fi
check "Debian package built" test -f "$deb"
[ -f "$deb" ] || tail -20 "$work/deb.log"
if [ -f "$deb" ]; then
  scratch=$work/root
  check "package unpacked into a scratch root" dpkg -x "$deb" "$scratch"
  debdir=$scratch/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  check "no build path in the package" no_build_path "$scratch"
  check "find_package host against the package" cmake_host "$scratch/usr" "$work/deb-cmake-host"
  check "pkg-config host against the package" \
    pkg_config_host "$debdir/pkgconfig" "$debdir" "$scratch/usr/bin" "$work/deb-pc-host"
  check "Python package from the package" \
    python_host "$scratch/usr/lib/python3/dist-packages" "$debdir"

  if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W -f='${Status}' kavrel 2>/dev/null | grep -q 'ok installed'; then
    export DEBIAN_FRONTEND=noninteractive
    check "apt-get install the package" apt-get install -y -qq "$deb"
    check "find_package host against the system" cmake_host "" "$work/sys-cmake-host"
    check "pkg-config host against the system" pkg_config_host "" "" /usr/bin "$work/sys-pc-host"
    check "Python package from the system" python_host /usr/lib/python3/dist-packages ""
    # Imported by root with bytecode writing on, as a user's script would be.
    check "Python package compiled in place" env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -s -c \
      'import kavrel, sys; sys.exit(kavrel.__file__ != "/usr/lib/python3/dist-packages/kavrel/__init__.py")'
    files=$(dpkg -L kavrel 2>/dev/null | while read -r f; do [ -f "$f" ] && echo "$f"; done)
    check "apt-get remove the package" apt-get remove --purge -y -qq kavrel
    left=""
    for f in $files; do [ -e "$f" ] && left="$left $f"; done
    check "nothing of the package left" test -z "$left"
    check "no Python package directory left" test ! -e /usr/lib/python3/dist-packages/kavrel
  else
    echo "SKIP: apt-get install (needs root and no kavrel package already installed)"
  fi
fi
echo "consumers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
