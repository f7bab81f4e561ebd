#!/usr/bin/env bash
# Builds Kavrel.dll (32-bit and 64-bit) with mingw-w64 and tests each under
# Wine, in a fresh Wine prefix of its own:
#   - kavrel_wine_platform.exe tests the Win32 platform layer directly;
#   - regsvr32 registers the DLL; the class, programmatic identifier,
#     interface and type library keys are in the registry;
#   - kavrel_wine_host.exe creates the object by "Kavrel.comms" and checks
#     resources, type information, vtable and late-bound calls, events and a
#     byte exchange over a pseudo-terminal pair mapped to COM3 and COM6;
#   - Wine's cscript runs comms_test.vbs against the same ports;
#   - regsvr32 /u removes every key again.
#
#   tests/windows/run_wine_tests.sh [win32] [win64]     (default: both)
#
# Needs mingw-w64, mingw-w64-tools, libwine-dev (IDL files), wine, wine64,
# wine32:i386 and socat. KAVREL_WINE_KEEP=1 keeps the prefixes for a look.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
archs=("$@")
[ ${#archs[@]} -eq 0 ] && archs=(win32 win64)

for tool in socat wine wineserver; do
  command -v "$tool" >/dev/null || { echo "run_wine_tests: $tool is missing" >&2; exit 2; }
done
# Debian's "wine" starts Wine's own programs (reg, regsvr32, cscript) as
# 32-bit ones; a 64-bit prefix needs the 64-bit loader to reach the 64-bit
# registry view and load a 64-bit DLL.
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)

echo "== building Kavrel.dll: ${archs[*]}"
tools/build-windows.sh "${archs[@]}" || { echo "run_wine_tests: build failed" >&2; exit 2; }

failures=0
fail() {
  echo "FAIL [$arch]: $*"
  failures=$((failures + 1))
}

clsid='{6B3E9A41-2D7C-4F1B-8E25-A1C4D0B7F310}'
libid='{6B3E9A40-2D7C-4F1B-8E25-A1C4D0B7F310}'
iid='{6B3E9A42-2D7C-4F1B-8E25-A1C4D0B7F310}'
diid='{6B3E9A43-2D7C-4F1B-8E25-A1C4D0B7F310}'
keys=("HKCR\\Kavrel.comms" "HKCR\\CLSID\\$clsid" "HKCR\\TypeLib\\$libid"
      "HKCR\\Interface\\$iid" "HKCR\\Interface\\$diid")

socat_pid=
work=
cleanup() {
  [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
  socat_pid=
  if [ -n "$work" ]; then
    WINEPREFIX=$work/prefix wineserver -k 2>/dev/null
    if [ "${KAVREL_WINE_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
  fi
  work=
}
trap cleanup EXIT

# Runs a Wine command with a time limit, its output indented.
wine_run() {
  local limit=$1
  shift
  timeout --kill-after=10 "$limit" "$WINE" "$@" 2>&1 | sed 's/^/   /'
  return "${PIPESTATUS[0]}"
}

for arch in "${archs[@]}"; do
  echo "== $arch"
  build=$root/build-$arch
  work=$(mktemp -d /tmp/kavrel-wine-XXXXXX)
  export WINEPREFIX=$work/prefix WINEARCH=$arch WINEDEBUG=-all
  WINE=wine
  if [ "$arch" = win64 ]; then
    [ -x "$wine64_loader" ] || { fail "no 64-bit Wine loader (wine64)"; cleanup; continue; }
    WINE=$wine64_loader
  fi
  # No Mono or Gecko installer dialogs on a machine without a display.
  export WINEDLLOVERRIDES="mscoree=;mshtml="
  mkdir -p "$work/bin"
  cp "$build/Kavrel.dll" "$build/tests/windows/kavrel_wine_host.exe" \
     "$build/tests/windows/kavrel_wine_platform.exe" \
     "$root/tests/windows/comms_test.vbs" "$work/bin/"

  # Two pseudo-terminals joined back to back: COM3 is the connection's port,
  # COM6 the peer. (Wine maps COM1-COM4 to /dev/ttyS0-3 unless told.)
  socat pty,raw,echo=0,link="$work/ttyA" pty,raw,echo=0,link="$work/ttyB" &
  socat_pid=$!
  for _ in $(seq 50); do [ -e "$work/ttyA" ] && [ -e "$work/ttyB" ] && break; sleep 0.1; done
  [ -e "$work/ttyA" ] || { fail "socat made no pseudo-terminals"; cleanup; continue; }

  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || { fail "the Wine prefix could not be made"; cleanup; continue; }
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$work/ttyA" /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$work/ttyB" /f >/dev/null 2>&1
  wineserver -k  # the next start maps the ports
  wineserver -w

  cd "$work/bin"
  echo "-- Win32 platform"
  wine_run 120 kavrel_wine_platform.exe
  rc=$?
  [ $rc -eq 0 ] || fail "kavrel_wine_platform.exe: exit code $rc"

  echo "-- regsvr32"
  wine_run 120 regsvr32 /s Kavrel.dll || fail "regsvr32 Kavrel.dll"
  for key in "${keys[@]}"; do
    "$WINE" reg query "$key" >/dev/null 2>&1 || fail "not registered: $key"
  done
  inproc=$("$WINE" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" 2>/dev/null | tr -d '\r')
  grep -q 'Kavrel.dll' <<<"$inproc" || fail "InprocServer32 does not name Kavrel.dll"
  grep -q 'ThreadingModel.*Apartment' <<<"$inproc" || fail "ThreadingModel is not Apartment"
  "$WINE" reg query "HKCR\\TypeLib\\$libid\\10.0" >/dev/null 2>&1 || fail "type library 16.0 not under 10.0"

  echo "-- host program"
  wine_run 300 kavrel_wine_host.exe 3 COM6
  rc=$?
  [ $rc -eq 0 ] || fail "kavrel_wine_host.exe: exit code $rc"

  echo "-- VBScript"
  log=$(wine_run 300 cscript //nologo comms_test.vbs 3 COM6)
  rc=$?
  echo "$log"
  [ $rc -eq 0 ] || fail "comms_test.vbs: exit code $rc"
  grep -q 'VBScript checks complete' <<<"$log" || fail "comms_test.vbs did not run to its end"

  echo "-- regsvr32 /u"
  wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u Kavrel.dll"
  wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u of an unregistered Kavrel.dll"
  for key in "${keys[@]}"; do
    "$WINE" reg query "$key" >/dev/null 2>&1 && fail "still registered: $key"
  done
  # Unregistered, the class cannot be created by name any more.
  printf 'On Error Resume Next\r\nSet o = CreateObject("Kavrel.comms")\r\nWScript.Quit Err.Number Mod 1000\r\n' >gone.vbs
  wine_run 120 cscript //nologo gone.vbs
  rc=$?
  [ $rc -ne 0 ] || fail "Kavrel.comms can still be created after regsvr32 /u"

  cd "$root"
  cleanup
done

if [ $failures -eq 0 ]; then
  echo "Wine tests passed: ${archs[*]}"
else
  echo "Wine tests: $failures failure(s)"
fi
[ $failures -eq 0 ]
