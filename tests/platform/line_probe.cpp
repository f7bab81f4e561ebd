// termios2 (any baud rate) cannot share a translation unit with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "pty_pair.h"

namespace kavrel::testing {

LineProbe ProbeLine(int fd) {
  struct termios2 t {};
  LineProbe probe;
  if (ioctl(fd, TCGETS2, &t) != 0) return probe;
  probe.speed = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      probe.dataBits = 5;
      break;
    case CS6:
      probe.dataBits = 6;
      break;
    case CS7:
      probe.dataBits = 7;
      break;
    default:
      probe.dataBits = 8;
  }
  probe.parity = t.c_cflag & PARENB;
  probe.oddParity = t.c_cflag & PARODD;
  probe.stickParity = t.c_cflag & CMSPAR;
  probe.twoStopBits = t.c_cflag & CSTOPB;
  probe.rtscts = t.c_cflag & CRTSCTS;
  probe.ixon = t.c_iflag & IXON;
  probe.ixoff = t.c_iflag & IXOFF;
  probe.inpck = t.c_iflag & INPCK;
  probe.canonical = t.c_lflag & ICANON;
  probe.echo = t.c_lflag & ECHO;
  probe.outputProcessing = t.c_oflag & OPOST;
  return probe;
}

}  // namespace kavrel::testing
