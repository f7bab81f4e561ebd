#!/usr/bin/env bash
# Installs what building and testing Kavrel needs on Debian.
#   tools/install-deps.sh build   compiler and CMake (enough for the demo)
#   tools/install-deps.sh package plus what the Debian package is built with
#   tools/install-deps.sh all     plus GoogleTest, Google Benchmark, clang's
#                                 fuzzer runtime, pkg-config, mingw-w64 and
#                                 Wine (32 and 64-bit), wixl
# Packages already present are not installed again.
set -euo pipefail

profile=${1:-all}
build_pkgs=(g++ cmake ninja-build make)
package_pkgs=(dpkg-dev file)
test_pkgs=(libgtest-dev libgmock-dev clang libclang-rt-14-dev socat
  python3-pytest ser2net python3-serial
  tmux pkgconf)
windows_pkgs=(mingw-w64 mingw-w64-tools wine wine64 libwine-dev wine32:i386 locales wixl)

case "$profile" in
  build) wanted=("${build_pkgs[@]}") ;;
  package) wanted=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
  all) wanted=("${build_pkgs[@]}" "${package_pkgs[@]}" "${test_pkgs[@]}" "${windows_pkgs[@]}") ;;
  *) echo "usage: $0 build|package|all" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails the update for one index; try again, and
  # if it still fails go on with the indexes that did arrive: the install
  # below says plainly if a package really cannot be had.
  updated=no
  for attempt in 1 2 3; do
    if $SUDO apt-get update -qq; then updated=yes; break; fi
    echo "apt-get update failed (attempt $attempt)" >&2
    sleep $((attempt * 10))
  done
  if ! $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null; then
    # Without one suite's i386 index (the security suite's, seen here), an
    # i386 library cannot match the newer amd64 one beside it, which it must.
    # Taking the release's own versions for both keeps them in step.
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ "$updated" = yes ] || [ -z "$release" ]; then exit 100; fi
    echo "retrying the install with $release's own versions" >&2
    $SUDO apt-get install -y -qq -t "$release" "${missing[@]}" >/dev/null
  fi
fi

# The Wine tests run a script under code page 932: the ja_JP.UTF-8 locale.
if [ "$profile" = all ] && ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
