# The installer (build-msi/Kavrel-<version>.msi) in the 64-bit prefix of
# run_wine_tests.sh, sourced by it: installed over an older version and again,
# its registration compared with regsvr32's, Kavrel.comms created and talking
# to a COM port, and uninstalled back to the registry and files as before.

# The registry (HKLM and HKCU software) and the file tree of the prefix.
msi_snapshot() {
  reg_export 'HKLM\Software' "$1-hklm.reg"
  reg_export 'HKCU\Software' "$1-hkcu.reg"
  # (C:\windows\Installer, the installer's cache, exists on every Windows;
  # a package left in it would still show.)
  (cd "$WINEPREFIX/drive_c" && find . ! -ipath '*/temp/*' ! -ipath '*/temp' ! -path ./windows/Installer |
    sort) >"$1-files"
}

# The one product of our upgrade code, and its version (as the installer
# keeps it: major in the high byte).
msi_products() {
  "$WINE" reg query 'HKLM\Software\Classes\Installer\UpgradeCodes\6F9B17A57B82CFB4EBD20A4A898AD8EA' \
    2>/dev/null | tr -d '\r' | grep -cE '^ +[0-9A-F]{32} '
}
msi_version() {
  local product
  product=$("$WINE" reg query 'HKLM\Software\Classes\Installer\UpgradeCodes\6F9B17A57B82CFB4EBD20A4A898AD8EA' \
    2>/dev/null | tr -d '\r' | grep -oE '^ +[0-9A-F]{32}' | tr -d ' ' | head -1)
  "$WINE" reg query "HKLM\\Software\\Classes\\Installer\\Products\\$product" /v Version 2>/dev/null |
    tr -d '\r' | grep -oE '0x[0-9a-f]+'
}

msi_tests() {
  echo "-- installer"
  local version c=$WINEPREFIX/drive_c diff=$root/tests/windows/registry_diff.py rc
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build-win64/CMakeCache.txt")
  [ -f "$root/build-msi/Kavrel-$version.msi" ] || { fail "no installer build-msi/Kavrel-$version.msi"; return; }
  cp "$root/build-msi/Kavrel-$version.msi" "$c/Kavrel.msi"
  # An older version of the same product, which this one must replace.
  (cd "$root/build-msi" && wixl -a x64 -D Version=0.9 -D SourceDir=stage -D Win64=yes \
    -o "$c/Kavrel-old.msi" ../packaging/windows/kavrel.wxs) >/dev/null 2>&1 ||
    { fail "building an older installer"; return; }

  msi_snapshot before
  # What regsvr32 registers, to compare the installer's entries with.
  wine_run 120 regsvr32 /s Kavrel.dll || fail "regsvr32 Kavrel.dll"
  reg_export 'HKLM\Software\Classes' regsvr32.reg
  wine_run 120 regsvr32 /u /s Kavrel.dll || fail "regsvr32 /u Kavrel.dll"

  wine_run 300 msiexec /i 'C:\Kavrel-old.msi' /qn || fail "msiexec /i of version 0.9"
  wine_run 300 msiexec /i 'C:\Kavrel.msi' /qn || fail "msiexec /i over version 0.9"
  [ "$(msi_products)" = 1 ] || fail "not exactly one Kavrel product after the upgrade ($(msi_products))"
  local major minor build
  IFS=. read -r major minor build <<<"$version"
  [ "$(msi_version)" = "$(printf '0x%x' $((major << 24 | ${minor:-0} << 16 | ${build:-0})))" ] ||
    fail "the installed version is $(msi_version), not $version"
  reg_export 'HKLM\Software\Classes' installed.reg
  wine_run 300 msiexec /i 'C:\Kavrel.msi' /qn || fail "msiexec /i a second time"
  reg_export 'HKLM\Software\Classes' again.reg
  /usr/bin/python3 "$diff" same-ours installed.reg again.reg | sed 's/^/   /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "installing a second time changed the registration"

  /usr/bin/python3 "$diff" match before-hklm.reg regsvr32.reg installed.reg | sed 's/^/   /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the installer's registration is not regsvr32's"
  cmp -s "$c/Program Files/Kavrel/Kavrel.dll" "$root/build-win64/Kavrel.dll" ||
    fail "the 64-bit Kavrel.dll is not in Program Files\\Kavrel"
  cmp -s "$c/Program Files (x86)/Kavrel/Kavrel.dll" "$root/build-win32/Kavrel.dll" ||
    fail "the 32-bit Kavrel.dll is not in Program Files (x86)\\Kavrel"
  for f in "Getting started.txt" Licence.txt README.md windows.md members.md; do
    [ -f "$c/Program Files/Kavrel/$f" ] || fail "$f is not installed"
  done

  # Created by name from the 64-bit (and, where it runs, the 32-bit) script
  # host, talking to a COM port.
  join_ptys || fail "socat made no pseudo-terminals"
  local log
  log=$(wine_run 300 cscript //nologo comms_test.vbs 3 COM6)
  rc=$?
  [ $rc -eq 0 ] && grep -q 'VBScript checks complete' <<<"$log" ||
    { echo "$log"; fail "comms_test.vbs on the installed Kavrel: exit code $rc"; }
  if [ $runs_32bit -eq 1 ]; then
    timeout 120 wine cscript //nologo comms_test.vbs >/dev/null 2>&1 ||
      fail "comms_test.vbs from the 32-bit cscript on the installed Kavrel"
  fi

  wine_run 300 msiexec /x 'C:\Kavrel.msi' /qn || fail "msiexec /x"
  [ "$(msi_products)" = 0 ] || fail "a Kavrel product is still registered after msiexec /x"
  msi_snapshot after
  local part
  for part in hklm hkcu; do
    /usr/bin/python3 "$diff" same "before-$part.reg" "after-$part.reg" | sed 's/^/   /'
    [ "${PIPESTATUS[0]}" -eq 0 ] || fail "msiexec /x left the registry ($part) changed"
  done
  diff before-files after-files | sed 's/^/   /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "msiexec /x left the files changed"
}

# The package for 32-bit Windows, in the same 64-bit prefix: the 32-bit DLL
# in Program Files (x86), registered in the 32-bit view only, and gone again.
msi_x86_tests() {
  echo "-- installer for 32-bit Windows"
  local version c=$WINEPREFIX/drive_c diff=$root/tests/windows/registry_diff.py
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build-win64/CMakeCache.txt")
  [ -f "$root/build-msi/Kavrel-$version-x86.msi" ] || { fail "no installer build-msi/Kavrel-$version-x86.msi"; return; }
  cp "$root/build-msi/Kavrel-$version-x86.msi" "$c/Kavrel-x86.msi"
  msi_snapshot before86
  wine_run 300 msiexec /i 'C:\Kavrel-x86.msi' /qn || fail "msiexec /i of the x86 package"
  cmp -s "$c/Program Files (x86)/Kavrel/Kavrel.dll" "$root/build-win32/Kavrel.dll" ||
    fail "the x86 package did not install the 32-bit Kavrel.dll in Program Files (x86)"
  "$WINE" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /reg:32 2>/dev/null | grep -q 'Program Files (x86)' ||
    fail "the x86 package did not register the 32-bit class"
  reg_has "HKCR\\CLSID\\$clsid" 64 && fail "the x86 package registered a 64-bit class"
  wine_run 300 msiexec /x 'C:\Kavrel-x86.msi' /qn || fail "msiexec /x of the x86 package"
  msi_snapshot after86
  /usr/bin/python3 "$diff" same before86-hklm.reg after86-hklm.reg | sed 's/^/   /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "msiexec /x of the x86 package left the registry changed"
  diff before86-files after86-files | sed 's/^/   /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "msiexec /x of the x86 package left the files changed"
}
