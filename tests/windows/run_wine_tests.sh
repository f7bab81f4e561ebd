#!/usr/bin/env bash
# Builds Kavrel.dll (32-bit and 64-bit) with mingw-w64 and tests each under
# Wine, in a fresh Wine prefix of its own:
#   - kavrel_wine_platform.exe tests the Win32 platform layer directly (and
#     once more where the only name server never answers);
#   - regsvr32 registers the DLL; the class, programmatic identifier,
#     interface and type library keys are in the registry;
#   - kavrel_wine_host.exe creates the object by "Kavrel.comms" and checks
#     resources, type information, vtable and late-bound calls, events and a
#     byte exchange over a pseudo-terminal pair mapped to COM3 and COM6;
#   - Wine's cscript runs comms_test.vbs against the same ports, and
#     codepage_test.vbs under code page 932 (the ja_JP.UTF-8 locale), whose
#     bytes are read at the other pseudo-terminal, and codepage_read_test.vbs,
#     which reads double-byte text longer than one read;
#   - regsvr32 /u removes every key again;
#   - in the 64-bit prefix, beside a 32-bit registration, regsvr32 /u of the
#     64-bit DLL keeps what the 32-bit one still needs;
#   - in the same prefix, the installer (msi_tests.sh): over an older version,
#     its registration compared with regsvr32's, uninstalled without a trace.
#
# A machine that runs no 32-bit programs (a 64-bit-only kernel) skips what
# needs them, and says so.
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
# Some kernels run no 32-bit code at all; Wine's 32-bit loader then fails
# with "Exec format error".
runs_32bit=1
wine --version >/dev/null 2>&1 || runs_32bit=0
if [ $runs_32bit -eq 0 ]; then
  echo "run_wine_tests: SKIPPED on this machine: everything 32-bit (its kernel runs no 32-bit programs)"
  remaining=()
  for a in "${archs[@]}"; do [ "$a" = win32 ] || remaining+=("$a"); done
  archs=("${remaining[@]}")
  [ ${#archs[@]} -eq 0 ] && exit 0
fi

# The 64-bit prefix also tests the installer, which holds both DLLs.
targets=("${archs[@]}")
[[ " ${archs[*]} " == *" win64 "* ]] && targets=(win32 win64 msi)
echo "== building: ${targets[*]}"
tools/build-windows.sh "${targets[@]}" || { echo "run_wine_tests: build failed" >&2; exit 2; }
source "$root/tests/windows/msi_tests.sh"

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
server_pids=()
work=
cleanup() {
  [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
  socat_pid=
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  server_pids=()
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

# Runs a command in namespaces of its own whose only name server, on their
# loopback, never answers (host names are looked up in files and DNS only):
# silent_name_server DIR COMMAND... Exit status 77 when such namespaces
# cannot be made here.
silent_name_server() {
  unshare --user --map-root-user --mount --net /usr/bin/python3 -c '
import fcntl, os, socket, struct, subprocess, sys
work = sys.argv[1]
try:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    fcntl.ioctl(s, 0x8914, struct.pack("16sH22x", b"lo", 1))  # SIOCSIFFLAGS: lo up
    s.bind(("127.0.0.1", 53))
    with open(work + "/resolv.conf", "w") as f:
        f.write("nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
    with open(work + "/nsswitch.conf", "w") as f:
        f.write("hosts: files dns\n")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    for name in ("resolv.conf", "nsswitch.conf"):
        subprocess.run(["mount", "--bind", work + "/" + name, "/etc/" + name], check=True)
except (OSError, subprocess.CalledProcessError):
    sys.exit(77)
sys.exit(subprocess.run(sys.argv[2:]).returncode)' "$@"
}

# A registry key written to a file: reg_export KEY FILE. Wine's reg now and
# then exits without writing the file (seen right after msiexec); it is
# asked again, and a file that never came is a failure of its own.
reg_export() {
  local try
  for try in 1 2 3; do
    rm -f "$2"
    "$WINE" reg export "$1" "$2" /y >/dev/null 2>&1
    [ -s "$2" ] && return 0
    sleep 2
  done
  fail "reg export $1 wrote no $2"
  return 1
}

# A registry query in one view: reg_has KEY 32|64. The 32-bit view is asked
# of the 32-bit reg where it runs: Wine's 64-bit reg does not find a key the
# two views share (a programmatic identifier) through /reg:32.
reg_has() {
  if [ "$2" = 32 ] && [ $runs_32bit -eq 1 ]; then
    wine reg query "$1" /reg:32 >/dev/null 2>&1
  else
    "$WINE" reg query "$1" /reg:"$2" >/dev/null 2>&1
  fi
}

# What a 32-bit registration writes (regsvr32 of the 32-bit DLL), for
# machines that cannot run it: imported into the 32-bit view.
import_32bit_registration() {
  local dll='C:\\kavrel32\\Kavrel.dll' c="HKEY_CLASSES_ROOT\\CLSID\\$clsid"
  local t="HKEY_CLASSES_ROOT\\TypeLib\\$libid\\10.0"
  {
    printf 'REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Kavrel.comms\\CLSID]\n@="%s"\n\n' "$clsid"
    printf '[%s\\InprocServer32]\n@="%s"\n"ThreadingModel"="Apartment"\n\n' "$c" "$dll"
    printf '[%s\\ProgID]\n@="Kavrel.comms"\n\n[%s\\Programmable]\n\n' "$c" "$c"
    printf '[%s\\TypeLib]\n@="%s"\n\n[%s\\VERSION]\n@="16.0"\n\n' "$c" "$libid" "$c"
    printf '[%s]\n@="Kavrel"\n\n[%s\\0\\win32]\n@="%s"\n\n' "$t" "$t" "$dll"
    printf '[%s\\FLAGS]\n@="0"\n\n[%s\\HELPDIR]\n@="C:\\\\kavrel32\\\\"\n\n' "$t" "$t"
    local i name ps
    for i in "$iid _comms {00020424-0000-0000-C000-000000000046}" \
             "$diid __comms {00020420-0000-0000-C000-000000000046}"; do
      read -r i name ps <<<"$i"
      printf '[HKEY_CLASSES_ROOT\\Interface\\%s]\n@="%s"\n\n' "$i" "$name"
      printf '[HKEY_CLASSES_ROOT\\Interface\\%s\\ProxyStubClsid]\n@="%s"\n\n' "$i" "$ps"
      printf '[HKEY_CLASSES_ROOT\\Interface\\%s\\ProxyStubClsid32]\n@="%s"\n\n' "$i" "$ps"
      printf '[HKEY_CLASSES_ROOT\\Interface\\%s\\TypeLib]\n@="%s"\n"Version"="10.0"\n\n' "$i" "$libid"
    done
  } >reg32.reg
  "$WINE" reg import reg32.reg /reg:32 >/dev/null 2>&1
}

# Both bitnesses registered side by side in the 64-bit prefix: unregistering
# the 64-bit DLL removes its class and its type library platform, and keeps
# the programmatic identifier, the interfaces and the 32-bit entries; a
# second /u, of a DLL no longer registered, changes nothing. Where 32-bit
# programs run, the other way round too, with the real 32-bit regsvr32.
side_by_side() {
  echo "-- beside the 32-bit registration"
  local real32=0 dll32=
  if [ $runs_32bit -eq 1 ] && [ -f "$root/build-win32/Kavrel.dll" ]; then
    real32=1
    mkdir -p "$work/bin32" && cp "$root/build-win32/Kavrel.dll" "$work/bin32/"
    dll32=$(winepath_of "$work/bin32/Kavrel.dll")
  else
    echo "   (the 32-bit registration imported: this machine runs no 32-bit regsvr32)"
  fi
  wine_run 120 regsvr32 /s Kavrel.dll || fail "regsvr32 Kavrel.dll"
  if [ $real32 -eq 1 ]; then
    timeout 120 wine regsvr32 /s "$dll32" >/dev/null 2>&1 || fail "32-bit regsvr32"
  else
    import_32bit_registration || fail "importing the 32-bit registration"
  fi
  reg_has "HKCR\\TypeLib\\$libid\\10.0\\0\\win32" 64 || fail "no 32-bit registration to test beside"

  wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u Kavrel.dll beside the 32-bit one"
  reg_has "HKCR\\CLSID\\$clsid" 64 && fail "the 64-bit class is still registered"
  reg_has "HKCR\\TypeLib\\$libid\\10.0\\0\\win64" 64 && fail "the win64 type library entry is still there"
  local key view
  for key in "CLSID\\$clsid\\InprocServer32" "Kavrel.comms\\CLSID" "TypeLib\\$libid\\10.0\\0\\win32" \
             "Interface\\$iid\\TypeLib" "Interface\\$diid\\TypeLib"; do
    reg_has "HKCR\\$key" 32 || fail "32-bit view lost HKCR\\$key"
  done
  for view in 32 64; do
    reg_has "HKCR\\Interface\\$iid" $view || fail "$view-bit view lost Interface\\$iid"
  done
  reg_export 'HKLM\Software\Classes' before.reg
  wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u of an unregistered Kavrel.dll"
  reg_export 'HKLM\Software\Classes' after.reg
  cmp -s before.reg after.reg || fail "regsvr32 /u of an unregistered Kavrel.dll changed the registry"

  if [ $real32 -eq 1 ]; then
    printf 'On Error Resume Next\r\nSet o = CreateObject("Kavrel.comms")\r\nWScript.Quit Err.Number Mod 1000\r\n' >made.vbs
    timeout 120 wine cscript //nologo made.vbs >/dev/null 2>&1 || fail "32-bit CreateObject after the 64-bit /u"
    # The other way round: the 32-bit /u beside the 64-bit registration.
    wine_run 120 regsvr32 /s Kavrel.dll || fail "regsvr32 Kavrel.dll"
    timeout 120 wine regsvr32 /u /s "$dll32" >/dev/null 2>&1 || fail "32-bit regsvr32 /u"
    for key in "CLSID\\$clsid\\InprocServer32" "Kavrel.comms\\CLSID" "TypeLib\\$libid\\10.0\\0\\win64" \
               "Interface\\$iid\\TypeLib" "Interface\\$diid\\TypeLib"; do
      reg_has "HKCR\\$key" 64 || fail "64-bit view lost HKCR\\$key after the 32-bit /u"
    done
    wine_run 120 cscript //nologo made.vbs || fail "64-bit CreateObject after the 32-bit /u"
    wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u Kavrel.dll"
  else
    # The 64-bit DLL registered again; the imported 32-bit registration goes
    # as its own /u would take it beside the 64-bit one; then the 64-bit /u,
    # the last, removes the shared entries from both views.
    wine_run 120 regsvr32 /s Kavrel.dll || fail "regsvr32 Kavrel.dll"
    "$WINE" reg delete "HKCR\\CLSID\\$clsid" /f /reg:32 >/dev/null 2>&1
    "$WINE" reg delete "HKCR\\TypeLib\\$libid\\10.0\\0\\win32" /f /reg:32 >/dev/null 2>&1
    wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u Kavrel.dll"
  fi
  for key in "${keys[@]}"; do
    for view in 32 64; do reg_has "$key" $view && fail "still registered ($view-bit view): $key"; done
  done
}

# Two pseudo-terminals joined back to back at $work/ttyA and $work/ttyB (a
# pair that has been closed at one end is made anew).
join_ptys() {
  [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
  rm -f "$work/ttyA" "$work/ttyB"
  socat pty,raw,echo=0,link="$work/ttyA" pty,raw,echo=0,link="$work/ttyB" &
  socat_pid=$!
  for _ in $(seq 50); do [ -e "$work/ttyA" ] && [ -e "$work/ttyB" ] && break; sleep 0.1; done
  [ -e "$work/ttyA" ] && [ -e "$work/ttyB" ]
}

winepath_of() { "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

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
     "$root/tests/windows/comms_test.vbs" "$root/tests/windows/codepage_test.vbs" \
     "$root/tests/windows/codepage_read_test.vbs" "$work/bin/"

  # Two pseudo-terminals joined back to back: COM3 is the connection's port,
  # COM6 the peer. (Wine maps COM1-COM4 to /dev/ttyS0-3 unless told.)
  join_ptys || { fail "socat made no pseudo-terminals"; cleanup; continue; }

  # A serial server on the Linux loopback: ser2net serves ttyC, Wine opens
  # the far end ttyD as COM7, and Kavrel's port map sends COM5 to ser2net.
  far_end=
  if command -v ser2net >/dev/null; then
    socat pty,raw,echo=0,link="$work/ttyC" pty,raw,echo=0,link="$work/ttyD" &
    server_pids+=($!)
    for _ in $(seq 50); do [ -e "$work/ttyC" ] && [ -e "$work/ttyD" ] && break; sleep 0.1; done
    net_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'connection: &wine\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
      "$net_port" "$work/ttyC" >"$work/ser2net.yaml"
    ser2net -n -c "$work/ser2net.yaml" >/dev/null 2>&1 &
    server_pids+=($!)
    far_end=COM7
  else
    echo "   (ser2net is not installed: network ports not tested)"
  fi

  # A port whose far end takes 4 KiB and then hangs up, as COM8.
  socat pty,raw,echo=0,link="$work/ttyE" SYSTEM:'head -c 4096 >/dev/null' 2>/dev/null &
  server_pids+=($!)
  for _ in $(seq 50); do [ -e "$work/ttyE" ] && break; sleep 0.1; done

  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || { fail "the Wine prefix could not be made"; cleanup; continue; }
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$work/ttyA" /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$work/ttyB" /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM8 /t REG_SZ /d "$work/ttyE" /f >/dev/null 2>&1
  if [ -n "$far_end" ]; then
    "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$work/ttyD" /f >/dev/null 2>&1
    "$WINE" reg add 'HKLM\Software\Kavrel\Ports' /v COM5 /t REG_SZ \
      /d "rfc2217://127.0.0.1:$net_port" /f >/dev/null 2>&1
  fi
  wineserver -k  # the next start maps the ports
  wineserver -w

  cd "$work/bin"
  echo "-- Win32 platform"
  KAVREL_TEST_FAR_END=$far_end KAVREL_TEST_HANG_UP=COM8 wine_run 120 kavrel_wine_platform.exe
  rc=$?
  [ $rc -eq 0 ] || fail "kavrel_wine_platform.exe: exit code $rc"
  # Wine inside takes the namespace's user (root) for its own: as root only.
  rc=77
  if [ "$(id -u)" = 0 ]; then
    KAVREL_TEST_SILENT_NAME_SERVER=1 silent_name_server "$work" \
      timeout --kill-after=10 120 "$WINE" kavrel_wine_platform.exe 2>&1 | sed 's/^/   /'
    rc=${PIPESTATUS[0]}
  fi
  if [ $rc -eq 77 ]; then
    echo "   (a name server that never answers: no namespaces of a process's own here, skipped)"
  elif [ $rc -ne 0 ]; then
    fail "kavrel_wine_platform.exe with a silent name server: exit code $rc"
  fi

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

  echo "-- code page 932"
  if locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    # WriteComm and CommWrite each send "A", U+65E5, U+672C, "B".
    join_ptys || fail "socat made no pseudo-terminals"
    timeout 60 head -c 12 "$work/ttyB" | od -An -tx1 | tr -s ' \n' ' ' >"$work/bytes" &
    reader=$!
    log=$(LC_ALL=ja_JP.UTF-8 wine_run 120 cscript //nologo codepage_test.vbs 3)
    rc=$?
    echo "$log"
    wait $reader
    [ $rc -eq 0 ] || fail "codepage_test.vbs: exit code $rc"
    grep -q 'code page checks complete' <<<"$log" || fail "codepage_test.vbs did not run to its end"
    bytes=$(cat "$work/bytes")
    echo "   bytes at the other end:$bytes"
    [ "$bytes" = " 41 93 fa 96 7b 42 41 93 fa 96 7b 42 " ] || fail "code page 932 bytes sent:$bytes"
    # Received: double-byte text longer than one read, each character whole.
    join_ptys || fail "socat made no pseudo-terminals"
    log=$(LC_ALL=ja_JP.UTF-8 wine_run 120 cscript //nologo codepage_read_test.vbs 3 COM6)
    rc=$?
    echo "$log"
    [ $rc -eq 0 ] || fail "codepage_read_test.vbs: exit code $rc"
    grep -q 'code page read checks complete' <<<"$log" || fail "codepage_read_test.vbs did not run to its end"
  else
    fail "the ja_JP.UTF-8 locale is missing (tools/install-deps.sh generates it)"
  fi

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

  if [ "$arch" = win64 ]; then
    side_by_side
    msi_tests
    msi_x86_tests
  fi

  cd "$root"
  cleanup
done

if [ $failures -eq 0 ]; then
  echo "Wine tests passed: ${archs[*]}"
else
  echo "Wine tests: $failures failure(s)"
fi
[ $failures -eq 0 ]
