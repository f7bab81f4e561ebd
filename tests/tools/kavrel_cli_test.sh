#!/usr/bin/env bash
# Drives the kavrel command as a user would.
#   kavrel_cli_test.sh KAVREL list       list and find over a prepared sysfs tree
#   kavrel_cli_test.sh KAVREL transfer   query and send over a socat pty pair
#   kavrel_cli_test.sh KAVREL term       the terminal in tmux against a pty peer
set -uo pipefail
kavrel=$1
section=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
# tmux's sockets in a short private folder (a socket path is limited in length).
TMUX_TMPDIR=$(mktemp -d /tmp/kavrel-tmux.XXXXXX)
export TMUX_TMPDIR
unset TMUX
pids=()
sockets=()
# A tmux server of its own for each session: a new one never meets one that
# is still shutting down.
tm() { tmux -L "${sockets[-1]}" "$@"; }
new_tmux() {
  [ ${#sockets[@]} -gt 0 ] && tm kill-server 2>/dev/null
  sockets+=("kavrel-test-$$-${#sockets[@]}")
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for s in "${sockets[@]}"; do tmux -L "$s" kill-server 2>/dev/null; done
  rm -rf "$work" "$TMUX_TMPDIR"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() {  # what expected actual
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
  fi
}
expect_status() {  # what expected actual
  [ "$2" = "$3" ] || fail "$1: exit status $3, expected $2"
}
# Waits up to 10 s for a condition.
wait_for() {
  local i
  for i in $(seq 100); do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}
export KAVREL_REGISTRY=$work/registry.reg

# A pty pair: $work/$1 is the port, $work/$1.peer the other end.
pty_pair() {
  socat pty,raw,echo=0,link="$work/$1" pty,raw,echo=0,link="$work/$1.peer" 2>/dev/null &
  pids+=($!)
  wait_for "[ -e '$work/$1' ] && [ -e '$work/$1.peer' ]" || fail "socat made no pty pair"
}

case $section in
list)
  source "$here/fake_system.sh"
  make_fake_system "$work"
  export KAVREL_SYSFS_ROOT=$work/sys KAVREL_DEV_ROOT=$work/dev
  cat > "$KAVREL_REGISTRY" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Kavrel\Ports]
"COM2"="/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
"COM4"="/dev/ttyS0"
"COM12"="/dev/pts/9"
REG
  # The environment comes before the registry file (COM4); COM1 is ttyS0 by default.
  export KAVREL_COM3=/dev/ttyACM0 KAVREL_COM4=/dev/ttyUSB2 KAVREL_COM9=NULLMODEM0A \
    KAVREL_COM10=rfc2217://127.0.0.1:7000

  out=$("$kavrel" list)
  expect_status "list" 0 $?
  expect_eq "list" '/dev/ttyACM0  driver=cdc_acm  usb=2341:0043  serial=75833353035351A0D1E1  manufacturer="Arduino (www.arduino.cc)"  interface=00  interface_name="CDC Abstract Control Model"  location=1-3.2:1.0  by-id=/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_75833353035351A0D1E1-if00  com=COM3(KAVREL_COM3)
/dev/ttyS0  driver=serial  com=COM1(default)
/dev/ttyUSB0  driver=ftdi_sio  usb=0403:6001  serial=A50285BI  manufacturer=FTDI  product="FT232R USB UART"  interface=00  location=1-2:1.0  by-id=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  com=COM2(registry)
/dev/ttyUSB1  driver=ftdi_sio  usb=0403:6010  serial=FT2X  manufacturer=FTDI  product="Dual RS232-HS"  interface=00  location=1-4:1.0  by-id=/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2X-if00-port0
/dev/ttyUSB2  driver=ftdi_sio  usb=0403:6010  serial=FT2X  manufacturer=FTDI  product="Dual RS232-HS"  interface=01  location=1-4:1.1  by-id=/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2X-if01-port0  com=COM4(KAVREL_COM4)
COM9 -> NULLMODEM0A  (KAVREL_COM9)
COM10 -> rfc2217://127.0.0.1:7000  (KAVREL_COM10)
COM12 -> /dev/pts/9  (registry)' "$out"

  # A COM name mapped to a link of the user's own belongs to the port it leads to.
  ln -s "$work/dev/ttyUSB1" "$work/my-port"
  out=$(KAVREL_COM7=$work/my-port "$kavrel" list | grep -c '^/dev/ttyUSB1 .*  com=COM7(KAVREL_COM7)$')
  expect_eq "list: a COM name through a link outside /dev" 1 "$out"

  # --all shows the legacy port without a UART.
  out=$("$kavrel" list --all | grep ttyS1)
  expect_eq "list --all" '/dev/ttyS1  driver=serial8250  uart=none' "$out"
  # A port with no node in /dev (a container's) is left out; --all shows it.
  mv "$work/dev/ttyUSB0" "$work/ttyUSB0.away"
  expect_eq "list: a port without its node" 0 "$("$kavrel" list | grep -c '^/dev/ttyUSB0 ')"
  expect_eq "list --all: a port without its node" 1 "$("$kavrel" list --all | grep -c '^/dev/ttyUSB0 ')"
  mv "$work/ttyUSB0.away" "$work/dev/ttyUSB0"

  # Every field of the JSON document.
  "$kavrel" list --json > "$work/list.json"
  expect_status "list --json" 0 $?
  /usr/bin/python3 - "$work/list.json" <<'PY' || fail "list --json fields"
import json, sys
doc = json.load(open(sys.argv[1]))
ports = {p["name"]: p for p in doc["ports"]}
assert sorted(ports) == ["ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2"], sorted(ports)
ftdi = ports["ttyUSB0"]
assert ftdi == {
    "device": "/dev/ttyUSB0", "name": "ttyUSB0", "driver": "ftdi_sio",
    "by_id": "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
    "uart_type": None,
    "usb": {"vid": "0403", "pid": "6001", "serial": "A50285BI", "manufacturer": "FTDI",
            "product": "FT232R USB UART", "interface": "00", "interface_name": None,
            "location": "1-2:1.0"},
    "com": [{"name": "COM2", "source": "registry"}]}, ftdi
acm = ports["ttyACM0"]
assert acm["driver"] == "cdc_acm" and acm["usb"]["vid"] == "2341" and acm["usb"]["pid"] == "0043"
assert acm["usb"]["product"] is None and acm["usb"]["manufacturer"] == "Arduino (www.arduino.cc)"
assert acm["usb"]["interface_name"] == "CDC Abstract Control Model"
assert acm["usb"]["location"] == "1-3.2:1.0", acm
assert acm["com"] == [{"name": "COM3", "source": "KAVREL_COM3"}]
uart = ports["ttyS0"]
assert uart["usb"] is None and uart["uart_type"] == 4 and uart["driver"] == "serial" and uart["by_id"] is None
assert uart["com"] == [{"name": "COM1", "source": "default"}], uart
assert ports["ttyUSB2"]["usb"]["interface"] == "01" and ports["ttyUSB2"]["usb"]["location"] == "1-4:1.1"
assert doc["other_com_names"] == [
    {"name": "COM9", "source": "KAVREL_COM9", "target": "NULLMODEM0A"},
    {"name": "COM10", "source": "KAVREL_COM10", "target": "rfc2217://127.0.0.1:7000"},
    {"name": "COM12", "source": "registry", "target": "/dev/pts/9"}], doc["other_com_names"]
PY

  # A broken registry file: said on stderr; the environment's names still
  # show, and COM1 has no name, as opening it fails (1009) rather than
  # falling back to ttyS0.
  echo junk > "$KAVREL_REGISTRY"
  out=$("$kavrel" list 2> "$work/err" | grep -o 'com=.*' | tr '\n' ' ')
  expect_eq "list with a broken registry file" "com=COM3(KAVREL_COM3) com=COM4(KAVREL_COM4) " "$out"
  grep -q "cannot be used as a port map (line 1: " "$work/err" || fail "list: broken registry file not reported with its reason"
  # One value that is no device path: that name is reported, the file's
  # other names still show.
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n"COM2"=dword:00000001\n"COM13"="NULLMODEM1A"\n' > "$KAVREL_REGISTRY"
  out=$("$kavrel" list 2> "$work/err" | grep -c 'COM13 -> NULLMODEM1A  (registry)')
  expect_eq "list with one unusable port map value" 1 "$out"
  grep -q "maps COM2 to no device path" "$work/err" || fail "list: unusable COM2 not reported"
  grep -q "cannot be used as a port map" "$work/err" && fail "list: a usable registry file called unusable"
  rm -f "$KAVREL_REGISTRY"

  out=$("$kavrel" find 0403:6001)
  expect_status "find one" 0 $?
  expect_eq "find one" /dev/ttyUSB0 "$out"
  out=$("$kavrel" find 2341:43:75833353035351A0D1E1)
  expect_eq "find by serial, short id" /dev/ttyACM0 "$out"
  out=$("$kavrel" find 0403:6001:NOSUCH 2>/dev/null)
  expect_status "find none" 1 $?
  expect_eq "find none prints nothing" "" "$out"
  out=$("$kavrel" find 0403:6010:FT2X 2> "$work/err")
  expect_status "find several" 2 $?
  grep -q "ttyUSB1" "$work/err" && grep -q "ttyUSB2" "$work/err" || fail "find several: not listed"
  "$kavrel" find 0403 2>/dev/null
  expect_status "find with a bad id" 64 $?
  # Output that cannot be written is not a success.
  err=$("$kavrel" find 0403:6001 2>&1 > /dev/full)
  expect_status "find to a full disk" 74 $?
  expect_eq "find to a full disk" "kavrel: writing standard output: No space left on device" "$err"

  # Help on each command, the version, a bad command line.
  for c in list find term send query; do
    out=$("$kavrel" $c --help | head -1)
    [[ $out == "usage: kavrel $c "* ]] || fail "$c --help: $out"
  done
  expect_eq "--version" "kavrel 1.0 (comms object version 1.1)" "$("$kavrel" --version)"
  "$kavrel" list --bogus 2>/dev/null
  expect_status "unknown option" 64 $?
  "$kavrel" frobnicate 2>/dev/null
  expect_status "unknown command" 64 $?
  # A value out of range says what range is.
  for args in "send x - --baud 0|(1 to 4000000)" "query x y --timeout 90000|(seconds, 0 to 86400"; do
    "$kavrel" ${args%|*} 2> "$work/err"
    expect_status "$args" 64 $?
    grep -qF "${args#*|}" "$work/err" || fail "$args: $(cat "$work/err")"
  done
  ;;

transfer)
  pty_pair port
  port=$work/port peer=$work/port.peer
  # The peer reads the question and answers it.
  (head -c 7 "$peer" > "$work/question"; printf 'V 1.25\r\nrest' > "$peer") &
  pids+=($!)
  sleep 0.2
  out=$("$kavrel" query "$port" '*IDN?\r\n' --timeout 5)
  expect_status "query" 0 $?
  expect_eq "query: reply without its line ending" "V 1.25" "$out"
  expect_eq "query: escapes decoded" '*IDN?\r\n' "$(od -An -c "$work/question" | tr -d ' ')"

  (head -c 2 "$peer" > /dev/null; printf 'A;B;' > "$peer") &
  pids+=($!)
  sleep 0.2
  out=$("$kavrel" query "$port" 'Q\r' --until ';' --timeout 5)
  expect_eq "query --until" "A" "$out"

  out=$("$kavrel" query "$port" 'silence' --timeout 0.3 2> "$work/err")
  expect_status "query time-out" 1 $?
  expect_eq "query time-out: nothing printed" "" "$out"
  expect_eq "query time-out: said" "kavrel query: no reply within 0.3 s" "$(cat "$work/err")"
  expect_eq "query time-out: the text went out" "silence" "$(timeout 5 head -c 7 "$peer")"

  # A file goes out byte for byte, every byte value; no progress when piped.
  head -c 70000 /dev/urandom > "$work/file"
  (head -c 70000 "$peer" > "$work/received") &
  reader=$!
  out=$("$kavrel" send "$port" "$work/file" --baud 115200)
  expect_status "send" 0 $?
  expect_eq "send: no progress when piped" "" "$out"
  wait_for "! kill -0 $reader 2>/dev/null" || fail "send: the peer did not get it all"
  cmp -s "$work/file" "$work/received" || fail "send: bytes changed on the way"
  printf 'from stdin' | "$kavrel" send "$port" - > /dev/null
  out=$(timeout 5 head -c 10 "$peer")
  expect_eq "send -" "from stdin" "$out"

  # Standard input closed by the caller reads as empty: term ends, and
  # nothing of the process's own goes out on the line.
  timeout 5 "$kavrel" term "$port" <&- > /dev/null 2>&1
  expect_status "term with standard input closed" 0 $?
  printf 'end' | "$kavrel" send "$port" -
  expect_eq "term with standard input closed: nothing sent" "end" "$(timeout 5 head -c 3 "$peer")"

  # With a terminal, the progress line shows bytes, rate and completion.
  (cat "$peer" > /dev/null 2>&1) &
  pids+=($!)
  # Standard input that is a file read in part already counts what is left.
  for case in "'$work/file'|68.4 KiB" "-|50.8 KiB"; do
    new_tmux
    tm new-session -d -x 150 -y 10 \
      "{ head -c 18000 > /dev/null; '$kavrel' send '$port' ${case%|*}; echo exit=\$?; } < '$work/file'; sleep 30"
    wait_for "tm capture-pane -p | grep -q exit=" || fail "send in a terminal did not end"
    screen=$(tm capture-pane -p -J)
    echo "$screen" | grep -q "\[#\{30\}\]  100%  ${case#*|} / ${case#*|}  .*/s" ||
      { fail "send: progress line ($case)"; echo "$screen"; }
    echo "$screen" | grep -q 'exit=0' || fail "send in a terminal: exit status"
  done

  # Errors: the component's own line and the device the name stands for.
  err=$("$kavrel" query "$work/nothing-here" x 2>&1)
  expect_status "query on a missing device" 3 $?
  expect_eq "error line" "kavrel query: Error (2): CommOpen (CreateFile) - The system cannot find the file specified.
  device: $work/nothing-here" "$err"
  err=$(KAVREL_COM7=$work/file "$kavrel" send COM7 "$work/file" 2>&1)
  expect_status "send to a regular file" 3 $?
  echo "$err" | grep -q "^kavrel send: Error (50): CommOpen (CreateFile)" ||
    fail "send to a file: $err"
  echo "$err" | grep -q "device: $work/file (COM7)" || fail "send to a file: device: $err"
  # A device this user may not open is told apart from a port in use.
  device=$(readlink -f "$port")
  if [ "$(id -u)" != 0 ]; then
    chmod 000 "$device"
    err=$("$kavrel" query "$device" x 2>&1)
    chmod 600 "$device"
  elif setpriv --reuid=65534 --regid=65534 --clear-groups "$kavrel" --version > /dev/null 2>&1; then
    err=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$kavrel" query "$device" x 2>&1)
  else
    err="Error (5)
  this user may not open it"  # no other user to try it as
  fi
  echo "$err" | grep -q "Error (5)" && echo "$err" | grep -q "^  this user may not open it" ||
    fail "query on a device this user may not open: $err"
  # A COM name the registry file cannot map: why, as list says it.
  echo junk > "$KAVREL_REGISTRY"
  err=$("$kavrel" query COM7 x 2>&1)
  expect_status "query through an unusable registry file" 3 $?
  echo "$err" | grep -q "^kavrel query: Error (1009): " &&
    echo "$err" | grep -qF "device: COM7 (the registry file's port map cannot be used: $KAVREL_REGISTRY, line 1: " ||
    fail "query through an unusable registry file: $err"
  rm -f "$KAVREL_REGISTRY"
  err=$("$kavrel" query "$port" x --mode "baud=9600 parity=Q" 2>&1)
  expect_status "a mode the component refuses" 3 $?
  expect_eq "a refused mode" "kavrel query: Error (87): CommOpen (BuildCommDCB) - The parameter is incorrect.
  device: $port" "$err"
  "$kavrel" send "$port" "$work/no-such-file" 2>/dev/null
  expect_status "send a missing file" 64 $?
  err=$("$kavrel" send "$port" - < "$work" 2>&1)
  expect_status "send a folder" 64 $?
  expect_eq "send a folder" "kavrel send: reading standard input: Is a directory" "$err"
  # A kavrel ended by a signal lets go of the port's exclusive hold, which
  # would outlive it on a pseudo-terminal whose master stays open.
  exclusive() {
    /usr/bin/python3 -c 'import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
print(int.from_bytes(fcntl.ioctl(fd, 0x80045440, bytes(4)), "little"))' "$port"  # TIOCGEXCL
  }
  "$kavrel" send "$port" /dev/zero --baud 1200 2>/dev/null &
  sender=$!
  wait_for '[ "$(exclusive)" = 1 ]' || fail "send: the port was not held"
  kill -TERM $sender
  wait $sender
  expect_status "send ended by SIGTERM" 143 $?
  expect_eq "send ended by SIGTERM: port released" 0 "$(exclusive)"
  timeout 2 cat "$peer" > /dev/null

  # The device goes away after part of a reply: that part is printed, then
  # the error, status 3.
  pty_pair gone
  "$kavrel" query "$work/gone" 'x' --until '' --timeout 60 > "$work/out" 2> "$work/err" &
  querier=$!
  expect_eq "query, device gone: question" x "$(timeout 5 head -c 1 "$work/gone.peer")"
  printf 'part' > "$work/gone.peer"
  inq() {
    /usr/bin/python3 -c 'import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
print(int.from_bytes(fcntl.ioctl(fd, 0x541B, bytes(4)), "little"))' "$work/gone"  # FIONREAD
  }
  # Taken by the query once the pair has passed it on and nothing waits for a while.
  settled=0
  wait_for 'if [ "$(inq)" = 0 ]; then settled=$((settled + 1)); else settled=0; fi; [ $settled -ge 5 ]' ||
    fail "query, device gone: the reply was not read"
  kill "${pids[-1]}"
  wait $querier
  expect_status "query, device gone" 3 $?
  expect_eq "query, device gone: what came" part "$(cat "$work/out")"
  grep -q "^kavrel query: Error (1167): CommRead" "$work/err" || fail "query, device gone: $(cat "$work/err")"

  # A write held by flow control (CTS low: the far end is not open) times out;
  # the component records no error for it, so the count is what is said.
  err=$("$kavrel" query NULLMODEM0A 'ab' --mode "baud=9600 octs=on" 2>&1)
  expect_status "query: write time-out" 3 $?
  expect_eq "query: write time-out" "kavrel query: the write timed out after 0 of 2 bytes" "$err"
  err=$(printf 'ab' | "$kavrel" term NULLMODEM0A --mode "baud=9600 octs=on" 2>&1 >/dev/null)
  expect_status "term: write time-out" 3 $?
  expect_eq "term: write time-out" "kavrel term: the write timed out after 0 of 2 bytes" "$(echo "$err" | tail -1)"
  ;;

term)
  screen() { tm capture-pane -p -J -t term; }
  pty_pair port
  port=$work/port peer=$work/port.peer
  exec 7<> "$peer"
  # The pane runs term (its pid in term.pid), then records the terminal settings it left behind.
  start_term() {  # options...
    new_tmux
    tm new-session -d -s term -x 100 -y 20 \
      "stty -a > '$work/stty.before'; sh -c 'echo \$\$ > $work/term.pid; exec $kavrel term $port $*'; echo exit=\$? > '$work/exit'; stty -a > '$work/stty.after'; sleep 30"
    wait_for "screen | grep -q 'Ctrl-] quits'" || fail "term did not start: $(screen)"
  }
  restored() {
    wait_for "[ -s '$work/stty.after' ]" && cmp -s "$work/stty.before" "$work/stty.after"
  }

  rm -f "$work/exit" "$work/stty.after"
  start_term --echo
  wait_for "screen | grep -q 'modem lines: not available'" || fail "term: modem line note: $(screen)"
  tm send-keys -t term "hello" Enter
  out=$(timeout 5 head -c 6 <&7 | od -An -c | tr -d ' ')
  expect_eq "term: keys go out, Enter as CR" 'hello\r' "$out"
  wait_for "screen | grep -q '^hello *\$'" || fail "term --echo: $(screen)"
  printf 'WORLD 7\r\n' >&7
  wait_for "screen | grep -q 'WORLD 7'" || fail "term: received text not shown: $(screen)"
  # A device's escapes that switch screen, cursor and mouse modes are undone on the way out.
  printf '\033[?1049h\033[?25l\033[?1000h' >&7
  wait_for "[ \"\$(tm display -p -t term '#{alternate_on}')\" = 1 ]" || fail "term: escapes not passed"
  tm send-keys -t term C-]
  wait_for "[ -s '$work/exit' ]" || fail "term: Ctrl-] did not quit"
  expect_eq "term: exit status" "exit=0" "$(cat "$work/exit")"
  expect_eq "term: display modes put back" "0 1 0" \
    "$(tm display -p -t term '#{alternate_on} #{cursor_flag} #{mouse_any_flag}')"
  restored || fail "term: terminal not restored after Ctrl-]"

  rm -f "$work/exit" "$work/stty.after"
  start_term --hex --eol crlf
  tm send-keys -t term "a" Enter
  out=$(timeout 5 head -c 3 <&7 | od -An -c | tr -d ' ')
  expect_eq "term --eol crlf" 'a\r\n' "$out"
  printf 'AB\r\n' >&7
  wait_for "screen | grep -q '^41 42 0D 0A *\$'" || fail "term --hex: $(screen)"
  # Stopped from outside, the shell gets a sane terminal; resumed, keys are raw again.
  tty=$(tm display -p -t term '#{pane_tty}')
  kill -TSTP "$(cat "$work/term.pid")"
  wait_for "stty -F $tty -a | grep -q ' icanon'" || fail "term stopped: terminal left raw"
  stty -F "$tty" icanon echo
  kill -CONT "$(cat "$work/term.pid")"
  wait_for "stty -F $tty -a | grep -q -- '-icanon'" || fail "term resumed: keyboard not raw"
  # Ended by a signal: the terminal is put back all the same.
  kill -TERM "$(cat "$work/term.pid")"
  wait_for "[ -s '$work/exit' ]" || fail "term: SIGTERM did not end it"
  restored || fail "term: terminal not restored after SIGTERM"

  # The output's reader goes away (SIGPIPE): the terminal is put back too.
  rm -f "$work/exit" "$work/stty.after"
  new_tmux
  tm new-session -d -s term -x 100 -y 20 \
    "stty -a > '$work/stty.before'; sh -c '$kavrel term $port | head -c1'; echo exit=\$? > '$work/exit'; stty -a > '$work/stty.after'; sleep 30"
  wait_for "pgrep -f '^$kavrel term $port' > /dev/null" || fail "term | head: did not start"
  for i in 1 2 3 4 5; do printf 'data\n' >&7; sleep 0.1; done
  wait_for "[ -s '$work/exit' ]" || fail "term | head: did not end"
  restored || fail "term: terminal not restored after SIGPIPE"
  # A megabyte sent as fast as the pty pair takes it comes through whole
  # (term's standard input held open and silent by a FIFO, closed at the end).
  head -c 1000000 /dev/zero | tr '\0' z > "$work/mb"
  mkfifo "$work/quiet"
  "$kavrel" term "$port" < "$work/quiet" > "$work/got" 2> /dev/null &
  reader=$!
  exec 8> "$work/quiet"
  sleep 0.5
  cat "$work/mb" >&7
  for _ in $(seq 300); do
    [ "$(tr -cd z < "$work/got" | wc -c)" -ge 1000000 ] && break
    sleep 0.1
  done
  exec 8>&-
  wait "$reader"
  expect_eq "term: fast incoming data whole" 1000000 "$(tr -cd z < "$work/got" | wc -c)"
  # Standard output that cannot be written ends term with 74, not a silent loss.
  timeout 5 "$kavrel" term "$port" < /dev/null > /dev/full 2> "$work/err"
  expect_status "term: standard output full" 74 $?

  # The port is the keyboard's own terminal: its settings from before the open come back.
  rm -f "$work/exit" "$work/stty.after"
  new_tmux
  tm new-session -d -s term -x 100 -y 20 \
    "stty -a > '$work/stty.before'; $kavrel term /dev/tty; echo exit=\$? > '$work/exit'; stty -a > '$work/stty.after'; sleep 30"
  wait_for "screen | grep -q 'Ctrl-] quits'" || fail "term /dev/tty did not start: $(screen)"
  tm send-keys -t term C-]
  wait_for "[ -s '$work/exit' ]" || fail "term /dev/tty: Ctrl-] did not quit"
  restored || fail "term: terminal not restored after term on /dev/tty"

  # Modem lines, shown as they change, over a network port whose loop-back
  # line follows our outputs: CTS follows RTS, DSR follows DTR, DCD is on.
  /usr/bin/python3 "$here/../platform/com_port_server.py" > "$work/server" 2>/dev/null &
  pids+=($!)
  wait_for "[ -s '$work/server' ]" || fail "no network port server"
  new_tmux
  tm new-session -d -s term -x 100 -y 20 \
    "'$kavrel' term rfc2217://127.0.0.1:$(head -1 "$work/server") --dtr off --rts off; sleep 30"
  wait_for "screen | grep -q '^\[CTS off  DSR off  RI off  DCD on\]'" || fail "term: lines: $(screen)"
  tm send-keys -t term C-t d
  wait_for "screen | grep -q '^\[CTS off  DSR on  RI off  DCD on\]'" || fail "term: DSR: $(screen)"
  tm send-keys -t term C-t r
  wait_for "screen | grep -q '^\[CTS on  DSR on  RI off  DCD on\]'" || fail "term: CTS: $(screen)"
  tm send-keys -t term "loop" Enter
  wait_for "screen | grep -q '^loop'" || fail "term: loop-back over the network: $(screen)"
  tm send-keys -t term C-]

  # The peer goes away: the component's error, terminal restored, status 3.
  rm -f "$work/exit" "$work/stty.after"
  start_term
  kill "${pids[0]}"
  wait_for "[ -s '$work/exit' ]" || fail "term: a vanished peer did not end it"
  expect_eq "term: vanished device" "exit=3" "$(cat "$work/exit")"
  screen | grep -q 'Error (1167): CommRead' || fail "term: vanished device error: $(screen)"
  restored || fail "term: terminal not restored after the device went away"
  ;;
*)
  echo "unknown section $section" >&2
  exit 2
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$section: $failures failed"
  exit 1
fi
echo "$section: all passed"
