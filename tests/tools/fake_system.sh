# Lays out a sysfs tree and a /dev tree under $1 shaped like a machine's:
#   ttyUSB0       FTDI FT232R (usb-serial), by-id link, below the root hub
#   ttyUSB1/2     FTDI FT2232H, one serial number, interfaces 00 and 01
#   ttyACM0       CDC-ACM board behind a hub, with an interface string
#   ttyS0         a UART on PnP (type 4), below the serial-base controller and
#                 port devices of Linux 6.5 and later
#   ttyS1         a legacy ttyS with no UART (type 0)
#   tty0          a virtual console (no device behind it)
# Sourced by the command's tests.
make_fake_system() {
  local root=$1 sys=$1/sys dev=$1/dev
  local pci=$sys/devices/pci0000:00/0000:00:14.0
  mkdir -p "$sys/class/tty" "$sys/bus/usb/drivers/ftdi_sio" "$sys/bus/usb/drivers/cdc_acm" \
    "$sys/bus/usb-serial/drivers/ftdi_sio" "$sys/bus/pnp/drivers/serial" \
    "$sys/bus/platform/drivers/serial8250" "$dev/serial/by-id"

  attr() { printf '%s\n' "$3" > "$1/$2"; }
  usb_device() {  # dir vid pid serial manufacturer product
    mkdir -p "$1"
    attr "$1" idVendor "$2"
    attr "$1" idProduct "$3"
    [ -n "$4" ] && attr "$1" serial "$4"
    [ -n "$5" ] && attr "$1" manufacturer "$5"
    [ -n "$6" ] && attr "$1" product "$6"
    attr "$1" busnum 1
  }
  tty_node() {  # class-dir name device-link-target
    mkdir -p "$1"
    printf 'MAJOR=188\nMINOR=0\nDEVNAME=%s\n' "$2" > "$1/uevent"
    ln -s "$3" "$1/device"
    ln -s "$(realpath --relative-to="$sys/class/tty" "$1")" "$sys/class/tty/$2"
    : > "$dev/$2"
  }

  # The root hub is a USB device too: the walk must stop at the adapter.
  usb_device "$pci/usb1" 1d6b 0002 "0000:00:14.0" "Linux 6.1.0 xhci-hcd" "xHCI Host Controller"

  usb_device "$pci/usb1/1-2" 0403 6001 A50285BI FTDI "FT232R USB UART"
  local if0=$pci/usb1/1-2/1-2:1.0
  mkdir -p "$if0/ttyUSB0"
  attr "$if0" bInterfaceNumber 00
  ln -s "$(realpath --relative-to="$if0" "$sys/bus/usb/drivers/ftdi_sio")" "$if0/driver"
  ln -s "$(realpath --relative-to="$if0/ttyUSB0" "$sys/bus/usb-serial/drivers/ftdi_sio")" \
    "$if0/ttyUSB0/driver"
  tty_node "$if0/ttyUSB0/tty/ttyUSB0" ttyUSB0 ../../../ttyUSB0
  ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"

  usb_device "$pci/usb1/1-4" 0403 6010 FT2X "FTDI" "Dual RS232-HS"
  local n
  for n in 0 1; do
    local ifn=$pci/usb1/1-4/1-4:1.$n port=ttyUSB$((n + 1))
    mkdir -p "$ifn/$port"
    attr "$ifn" bInterfaceNumber "0$n"
    ln -s "$(realpath --relative-to="$ifn/$port" "$sys/bus/usb-serial/drivers/ftdi_sio")" \
      "$ifn/$port/driver"
    tty_node "$ifn/$port/tty/$port" "$port" "../../../$port"
    ln -s "../../$port" "$dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2X-if0$n-port0"
  done

  usb_device "$pci/usb1/1-3" 05e3 0608 "" "" "USB2.0 Hub"
  usb_device "$pci/usb1/1-3/1-3.2" 2341 0043 75833353035351A0D1E1 "Arduino (www.arduino.cc)" ""
  local acm=$pci/usb1/1-3/1-3.2/1-3.2:1.0
  mkdir -p "$acm"
  attr "$acm" bInterfaceNumber 00
  attr "$acm" interface "CDC Abstract Control Model"
  ln -s "$(realpath --relative-to="$acm" "$sys/bus/usb/drivers/cdc_acm")" "$acm/driver"
  tty_node "$acm/tty/ttyACM0" ttyACM0 ../../../1-3.2:1.0
  ln -s ../../ttyACM0 "$dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_75833353035351A0D1E1-if00"

  local pnp=$sys/devices/pnp0/00:05
  mkdir -p "$pnp/00:05:0/00:05:0.0" "$sys/bus/serial-base/drivers/ctrl" \
    "$sys/bus/serial-base/drivers/port"
  ln -s ../../../bus/pnp/drivers/serial "$pnp/driver"
  ln -s ../../../../bus/serial-base "$pnp/00:05:0/subsystem"
  ln -s ../../../../bus/serial-base/drivers/ctrl "$pnp/00:05:0/driver"
  ln -s ../../../../../bus/serial-base "$pnp/00:05:0/00:05:0.0/subsystem"
  ln -s ../../../../../bus/serial-base/drivers/port "$pnp/00:05:0/00:05:0.0/driver"
  tty_node "$pnp/00:05:0/00:05:0.0/tty/ttyS0" ttyS0 ../../../00:05:0.0
  attr "$pnp/00:05:0/00:05:0.0/tty/ttyS0" type 4

  local legacy=$sys/devices/platform/serial8250
  mkdir -p "$legacy"
  ln -s ../../../bus/platform/drivers/serial8250 "$legacy/driver"
  tty_node "$legacy/tty/ttyS1" ttyS1 ../../../serial8250
  attr "$legacy/tty/ttyS1" type 0

  mkdir -p "$sys/devices/virtual/tty/tty0"
  ln -s ../../devices/virtual/tty/tty0 "$sys/class/tty/tty0"
}
