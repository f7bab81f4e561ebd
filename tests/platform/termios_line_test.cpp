// The DCB <-> termios2 mapping, both ways, without a device: every framing
// and flow-control combination a pseudo-terminal would not keep.
#include "platform/posix/termios_line.h"

#include <gtest/gtest.h>

namespace kavrel::platform::posix {
namespace {

struct Row {
  DWORD baud;
  BYTE bits, parity, stop;
  bool cts, outX, inX, checkParity;
  tcflag_t speed;   // expected in both the output and the input bits
  tcflag_t cflags;  // expected among CSIZE|PARENB|PARODD|CMSPAR|CSTOPB|CRTSCTS
  tcflag_t iflags;  // expected among INPCK|IXON|IXOFF
};

constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kInput = INPCK | IXON | IXOFF;

const Row kRows[] = {
    {9600, 8, NOPARITY, ONESTOPBIT, false, false, false, false, B9600, CS8, 0},
    {115200, 7, EVENPARITY, ONESTOPBIT, false, false, false, true, B115200, CS7 | PARENB, INPCK},
    {50, 6, ODDPARITY, TWOSTOPBITS, false, false, false, false, B50, CS6 | PARENB | PARODD | CSTOPB,
     0},
    {4000000, 5, MARKPARITY, ONE5STOPBITS, false, false, false, false, B4000000,
     CS5 | PARENB | PARODD | CMSPAR | CSTOPB, 0},
    {300, 7, SPACEPARITY, TWOSTOPBITS, false, false, false, false, B300,
     CS7 | PARENB | CMSPAR | CSTOPB, 0},
    {19200, 8, NOPARITY, ONESTOPBIT, true, false, false, false, B19200, CS8 | CRTSCTS, 0},
    {57600, 8, NOPARITY, ONESTOPBIT, false, true, true, false, B57600, CS8, IXON | IXOFF},
    {38400, 8, NOPARITY, ONESTOPBIT, false, true, false, false, B38400, CS8, IXON},
    {250000, 8, NOPARITY, ONESTOPBIT, false, false, false, false, BOTHER, CS8, 0},
    {12345, 5, NOPARITY, ONESTOPBIT, false, false, true, false, BOTHER, CS5, IXOFF},
    {9601, 8, EVENPARITY, TWOSTOPBITS, true, false, false, false, BOTHER,
     CS8 | PARENB | CSTOPB | CRTSCTS, 0},
};

DCB DcbOf(const Row& r) {
  DCB dcb{};
  dcb.BaudRate = r.baud, dcb.ByteSize = r.bits, dcb.Parity = r.parity, dcb.StopBits = r.stop;
  dcb.fOutxCtsFlow = r.cts;
  dcb.fRtsControl = r.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = r.outX, dcb.fInX = r.inX, dcb.fParity = r.checkParity;
  dcb.XonChar = 0x11, dcb.XoffChar = 0x13;
  return dcb;
}

TEST(TermiosLine, EachSettingBothWays) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(::testing::Message()
                 << r.baud << " " << int(r.bits) << int(r.parity) << int(r.stop));
    // A line that was set before, as a custom rate with every flag on.
    Termios2 t{};
    t.c_cflag = BOTHER | (BOTHER << IBSHIFT) | kFraming | HUPCL;
    t.c_iflag = kInput | IGNBRK;
    t.c_lflag = NOFLSH;
    const DCB dcb = DcbOf(r);
    WriteTermios(dcb, t);
    EXPECT_EQ(t.c_cflag & CBAUD, r.speed);
    EXPECT_EQ((t.c_cflag >> IBSHIFT) & CBAUD, r.speed);
    EXPECT_EQ(t.c_cflag & kFraming, r.cflags);
    EXPECT_EQ(t.c_iflag & kInput, r.iflags);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL);
    EXPECT_EQ(t.c_iflag & IGNBRK, IGNBRK);  // what the DCB does not describe stays
    EXPECT_EQ(t.c_lflag, tcflag_t{NOFLSH});
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);

    // As the kernel hands it back: the exact rates filled in.
    t.c_ispeed = t.c_ospeed = r.baud;
    DCB back{};
    back.fRtsControl = RTS_CONTROL_ENABLE;
    ReadTermios(t, back);
    EXPECT_EQ(back.BaudRate, r.baud);
    EXPECT_EQ(back.ByteSize, r.bits);
    EXPECT_EQ(back.Parity, r.parity);
    EXPECT_EQ(back.StopBits, r.stop);
    EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
    EXPECT_EQ(back.fRtsControl, dcb.fRtsControl);
    EXPECT_EQ(back.fOutX, dcb.fOutX);
    EXPECT_EQ(back.fInX, dcb.fInX);
    EXPECT_EQ(back.fParity, dcb.fParity);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
  }
}

// Another program may leave either form, with or without the exact rate.
TEST(TermiosLine, ReadsTheRateInEitherForm) {
  const auto baudOf = [](tcflag_t cflag, unsigned ospeed) {
    Termios2 t{};
    t.c_cflag = cflag | CS8;
    t.c_ospeed = ospeed;
    DCB dcb{};
    ReadTermios(t, dcb);
    EXPECT_EQ(OutputBaud(t), dcb.BaudRate);
    return dcb.BaudRate;
  };
  EXPECT_EQ(baudOf(B19200, 0), 19200u);
  EXPECT_EQ(baudOf(B134, 0), 134u);
  EXPECT_EQ(baudOf(B921600 | (B9600 << IBSHIFT), 0), 921600u);  // split speeds: the output one
  EXPECT_EQ(baudOf(BOTHER, 12345), 12345u);
  EXPECT_EQ(baudOf(BOTHER, 9600), 9600u);
  EXPECT_EQ(baudOf(B0, 0), 0u);
}

// CRTSCTS is CTS output flow control: only fOutxCtsFlow sets it, and a line
// found with it reads back as CTS flow control (with RTS handshake when the
// block had no handshake of its own). RTS handshake alone sets nothing and
// stays in the block, whatever the line says.
TEST(TermiosLine, RtsCtsFollowsCtsOutputFlowControl) {
  Termios2 t{};
  DCB dcb = DcbOf(kRows[0]);
  dcb.fOutxCtsFlow = 1;
  WriteTermios(dcb, t);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);

  DCB back{};
  back.fRtsControl = RTS_CONTROL_DISABLE;
  ReadTermios(t, back);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fRtsControl, DWORD{RTS_CONTROL_HANDSHAKE});

  t.c_cflag &= ~CRTSCTS;
  ReadTermios(t, back);
  EXPECT_EQ(back.fOutxCtsFlow, 0u);
  EXPECT_EQ(back.fRtsControl, DWORD{RTS_CONTROL_HANDSHAKE});
  back.fRtsControl = RTS_CONTROL_DISABLE;
  ReadTermios(t, back);
  EXPECT_EQ(back.fRtsControl, DWORD{RTS_CONTROL_DISABLE});

  dcb.fOutxCtsFlow = 0;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  t.c_cflag |= CRTSCTS;
  WriteTermios(dcb, t);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  back = dcb;
  t.c_cflag |= CRTSCTS;  // another program's
  ReadTermios(t, back);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
}

}  // namespace
}  // namespace kavrel::platform::posix
