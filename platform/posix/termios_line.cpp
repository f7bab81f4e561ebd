#include "platform/posix/termios_line.h"

namespace kavrel::platform::posix {

namespace {

struct StandardSpeed {
  DWORD baud;
  tcflag_t flag;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

BYTE DataBits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

tcflag_t SizeFlag(BYTE dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

}  // namespace

tcflag_t SpeedFlag(DWORD baud) {
  for (const StandardSpeed& s : kStandardSpeeds) {
    if (s.baud == baud) return s.flag;
  }
  return BOTHER;
}

DWORD OutputBaud(const Termios2& t) {
  const tcflag_t flag = t.c_cflag & CBAUD;
  if (flag == BOTHER) return t.c_ospeed;
  for (const StandardSpeed& s : kStandardSpeeds) {
    if (s.flag == flag) return s.baud;
  }
  return 0;  // B0: the line is hung up
}

void ReadTermios(const Termios2& t, DCB& dcb) {
  dcb.BaudRate = OutputBaud(t);
  dcb.ByteSize = DataBits(t.c_cflag);
  if (!(t.c_cflag & PARENB)) {
    dcb.Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  // A UART sends 1.5 stop bits for "two" at 5 data bits.
  if (!(t.c_cflag & CSTOPB)) {
    dcb.StopBits = ONESTOPBIT;
  } else {
    dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  // CRTSCTS is CTS output flow control (and drives RTS as well): a line
  // found with it and no RTS setting of the caller's has RTS handshake too.
  // Without it, an RTS handshake the caller set is kept in the block.
  if (t.c_cflag & CRTSCTS) {
    if (!dcb.fOutxCtsFlow && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    dcb.fOutxCtsFlow = 1;
  } else {
    dcb.fOutxCtsFlow = 0;
  }
}

void WriteTermios(const DCB& dcb, Termios2& t) {
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  const tcflag_t speed = SpeedFlag(dcb.BaudRate);
  t.c_cflag |= speed | (speed << IBSHIFT) | SizeFlag(dcb.ByteSize) | CREAD | CLOCAL;
  t.c_ispeed = dcb.BaudRate;
  t.c_ospeed = dcb.BaudRate;
  if (dcb.Parity != NOPARITY) t.c_cflag |= PARENB;
  if (dcb.Parity == ODDPARITY || dcb.Parity == MARKPARITY) t.c_cflag |= PARODD;
  if (dcb.Parity == MARKPARITY || dcb.Parity == SPACEPARITY) t.c_cflag |= CMSPAR;
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  // Only CTS output flow control holds transmission: RTS handshake alone
  // has no switch of its own and must not stop output while CTS is low.
  if (dcb.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(INPCK | IXON | IXOFF);
  if (dcb.fParity) t.c_iflag |= INPCK;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

}  // namespace kavrel::platform::posix
