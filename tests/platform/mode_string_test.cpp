#include "platform/mode_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace kavrel::platform {
namespace {

// A block with every member set to something a mode string would change, so
// that any member the parser touches without being asked shows.
DCB Base() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 1234;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.ByteSize = 6;
  dcb.Parity = ODDPARITY;
  dcb.StopBits = ONE5STOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EofChar = 0x1A;
  return dcb;
}

bool Same(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof(DCB)) == 0; }

void FlowOff(DCB& d) {
  d.fOutX = d.fInX = 0;
  d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
}
void OldFormNone(DCB& d) {
  FlowOff(d);
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
}

struct Valid {
  const char* text;
  std::function<void(DCB&)> expect;  // applied to Base()
};

TEST(ModeString, ValidStringsEditExactlyWhatTheyName) {
  const Valid cases[] = {
      {"baud=9600 parity=N data=8 stop=1",
       [](DCB& d) {
         d.BaudRate = 9600, d.Parity = NOPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT;
         FlowOff(d);
       }},
      {"BAUD=19200 PARITY=e DATA=7 STOP=2",
       [](DCB& d) {
         d.BaudRate = 19200, d.Parity = EVENPARITY, d.ByteSize = 7, d.StopBits = TWOSTOPBITS;
         FlowOff(d);
       }},
      {"baud=110", [](DCB& d) { d.BaudRate = 110, d.StopBits = TWOSTOPBITS, FlowOff(d); }},
      {"baud=110 stop=1", [](DCB& d) { d.BaudRate = 110, d.StopBits = ONESTOPBIT, FlowOff(d); }},
      {"stop=1 baud=11", [](DCB& d) { d.BaudRate = 110, d.StopBits = ONESTOPBIT, FlowOff(d); }},
      {"baud=96", [](DCB& d) { d.BaudRate = 9600, FlowOff(d); }},
      {"baud=19", [](DCB& d) { d.BaudRate = 19200, FlowOff(d); }},
      {"baud=12345", [](DCB& d) { d.BaudRate = 12345, FlowOff(d); }},
      {"baud=4294967295", [](DCB& d) { d.BaudRate = 4294967295u, FlowOff(d); }},
      {"parity=m", [](DCB& d) { d.Parity = MARKPARITY, FlowOff(d); }},
      {"parity=S", [](DCB& d) { d.Parity = SPACEPARITY, FlowOff(d); }},
      {"data=5 stop=1.5", [](DCB& d) { d.ByteSize = 5, d.StopBits = ONE5STOPBITS, FlowOff(d); }},
      {"xon=on",
       [](DCB& d) {
         FlowOff(d);
         d.fOutX = d.fInX = 1;
       }},
      {"odsr=on octs=ON", [](DCB& d) { d.fOutX = d.fInX = 0; }},
      {"octs=off odsr=off xon=off", FlowOff},
      {"dtr=hs rts=tg",
       [](DCB& d) {
         FlowOff(d);
         d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_TOGGLE;
       }},
      {"dtr=on rts=hs idsr=on",
       [](DCB& d) {
         FlowOff(d);
         d.fDtrControl = DTR_CONTROL_ENABLE, d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         d.fDsrSensitivity = 1;
       }},
      {"to=on", FlowOff},
      {"COM1: baud=1200", [](DCB& d) { d.BaudRate = 1200, FlowOff(d); }},
      {"com3 baud=1200\t data=8 ", [](DCB& d) { d.BaudRate = 1200, d.ByteSize = 8, FlowOff(d); }},
      {"baud=2400  ", [](DCB& d) { d.BaudRate = 2400, FlowOff(d); }},
      {"COM1 : xon=on odsr=off",
       [](DCB& d) {
         FlowOff(d);
         d.fOutX = d.fInX = 1;
       }},
      {"baud=0", [](DCB& d) { d.BaudRate = 0, FlowOff(d); }},
      {"9600,n,8,1",
       [](DCB& d) {
         d.BaudRate = 9600, d.Parity = NOPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT;
         OldFormNone(d);
       }},
      {"96,e,7,2,x",
       [](DCB& d) {
         d.BaudRate = 9600, d.Parity = EVENPARITY, d.ByteSize = 7, d.StopBits = TWOSTOPBITS;
         OldFormNone(d);
         d.fOutX = d.fInX = 1;
       }},
      {"COM2: 19200,O,8,1,P",
       [](DCB& d) {
         d.BaudRate = 19200, d.Parity = ODDPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT;
         OldFormNone(d);
         d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
         d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_HANDSHAKE;
       }},
      {"COM1:9600,n,8,1",
       [](DCB& d) {
         d.BaudRate = 9600, d.Parity = NOPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT;
         OldFormNone(d);
       }},
      {"110,n,8",
       [](DCB& d) {
         d.BaudRate = 110, d.Parity = NOPARITY, d.ByteSize = 8, d.StopBits = TWOSTOPBITS;
         OldFormNone(d);
       }},
      {"2400", [](DCB& d) { d.BaudRate = 2400, OldFormNone(d); }},
      {"0,M,7,1,P",
       [](DCB& d) {
         d.BaudRate = 0, d.Parity = MARKPARITY, d.ByteSize = 7, d.StopBits = ONESTOPBIT;
         d.fOutX = d.fInX = 0;
         d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
         d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_HANDSHAKE;
       }},
      {"9600 , m , 8 , 1 ",
       [](DCB& d) {
         d.BaudRate = 9600, d.Parity = MARKPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT;
         OldFormNone(d);
       }},
      {"1200,s,5,1.5",
       [](DCB& d) {
         d.BaudRate = 1200, d.Parity = SPACEPARITY, d.ByteSize = 5, d.StopBits = ONE5STOPBITS;
         OldFormNone(d);
       }},
  };
  for (const Valid& c : cases) {
    DCB actual = Base();
    DCB expected = Base();
    c.expect(expected);
    EXPECT_TRUE(ApplyModeString(c.text, actual)) << c.text;
    EXPECT_TRUE(Same(actual, expected)) << c.text;
  }
}

TEST(ModeString, MalformedStringsFailAndLeaveTheBlockAlone) {
  const char* cases[] = {"",
                         "   ",
                         "COM1:",
                         "COM1",
                         "baud=",
                         "baud=abc",
                         " baud=9600",
                         "baud=99999999999",
                         "baud=4294967296",
                         "baud=-9600",
                         "baud=+9600",
                         "baud=9600x",
                         "parity=x",
                         "parity=none",
                         "parity=",
                         "data=4",
                         "data=9",
                         "data=88",
                         "stop=3",
                         "stop=1.0",
                         "stop=15",
                         "xon=yes",
                         "xon=",
                         "dtr=tg",
                         "rts=maybe",
                         "to=1",
                         "speed=9600",
                         "baud 9600",
                         "baud=9600,parity=n",
                         "baud=9600 9600,n,8,1",
                         "9600,n,8,1 xon=on",
                         "9600,n,8,1 baud=9600",
                         "9600,n,8,1,x,y",
                         "9600,,8,1",
                         "9600,n,8,1,z",
                         "9600,n,9,1",
                         "9600,n,8,3",
                         "9600;n;8;1",
                         "9600,n,8,1,",
                         ",n,8,1",
                         "\t9600,n,8,1",
                         "COM0 baud=9600",
                         "COM01 baud=9600",
                         "COM1x baud=9600",
                         "COM1,9600",
                         "=9600",
                         "baud==9600",
                         "baud=9600=1"};
  for (const char* text : cases) {
    DCB dcb = Base();
    EXPECT_FALSE(ApplyModeString(text, dcb)) << '"' << text << '"';
    EXPECT_TRUE(Same(dcb, Base())) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace kavrel::platform
