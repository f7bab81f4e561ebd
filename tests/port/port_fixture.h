// A comms object over the scripted platform, with one-line calls of the
// port-layer members as a host makes them (through _comms, by reference).
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "component/thread_state.h"
#include "support/test_host.h"

namespace kavrel::testing {

// What lngStatus holds before each test, to tell "left alone" from "set".
inline constexpr LONG kUntouched = 4242;

class PortTest : public ::testing::Test {
 public:
  void SetUp() override {
    CurrentThreadState().lngStatus = kUntouched;
    dev().SetMessage(2, "The system cannot find the file specified.\r\n");
    dev().SetMessage(6, "The handle is invalid.\r\n");
    dev().SetMessage(31, "A device attached to the system is not functioning.\r\n");
    dev().SetMessage(87, "The parameter is incorrect.\r\n");
    dev().SetMessage(1117,
                     "The request could not be performed because of an I/O device error.\r\n");
  }

  ScriptedDevice& dev() { return rt.device; }
  _comms* comms() { return obj.comms.get(); }
  CommsObject& object() { return *obj.object(); }
  PortSlot& slot(int n) { return object().portTable[n - 1]; }
  static LONG Status() { return CurrentThreadState().lngStatus; }
  // The calls made to a device (the message texts fetched left out).
  std::vector<Call> DeviceCalls() {
    std::vector<Call> out;
    for (const Call& c : dev().calls())
      if (c.op != "FormatMessageA") out.push_back(c);
    return out;
  }
  std::string LastDeviceOp() {
    const auto calls = DeviceCalls();
    return calls.empty() ? "" : calls.back().op;
  }

  LONG Open(short port, std::u16string_view name = u"COM1",
            std::u16string_view settings = u"baud=9600 parity=N data=8 stop=1") {
    return CallCommOpen(comms(), port, name, settings);
  }
  // Opens slot port and forgets the calls and pumps that took.
  void OpenReady(short port = 1) {
    ASSERT_EQ(0, Open(port));
    dev().ClearCalls();
    rt.pump.count = 0;
  }
  LONG Set(short port, std::u16string_view settings = u"baud=19200") {
    return CallCommSet(comms(), port, settings);
  }
  LONG Close(short port) { return CallCommClose(comms(), port); }
  LONG Flush(short port) { return CallCommFlush(comms(), port); }
  LONG Read(short port, LONG size, std::u16string* data = nullptr) {
    return CallCommRead(comms(), port, size, data);
  }
  LONG Write(short port, std::u16string_view text, std::u16string* after = nullptr) {
    return CallCommWrite(comms(), port, text, after);
  }
  LONG GetLine(short port, short mask, VARIANT_BOOL* state) {
    return CallCommGetLine(comms(), port, mask, state);
  }
  LONG SetLine(short port, short line, VARIANT_BOOL state) {
    return CallCommSetLine(comms(), port, line, state);
  }
  // CommGetError's message, as UTF-8.
  std::string Message(LONG* code = nullptr) { return CallCommGetError(comms(), code); }
  std::string Source() { return Utf8(object().errorRecord.strSource.view()); }
  std::string Text() { return Utf8(object().errorRecord.strText.view()); }

  ScriptedRuntime rt;
  TestObject obj{rt.runtime()};
};

// Table rows print as their name (or operation) in test listings; each
// suite brings this into its own namespace with a using-declaration.
template <class Row>
requires requires(const Row& row) { row.name; } || requires(const Row& row) {
  row.op;
}
std::ostream& operator<<(std::ostream& os, const Row& row) {
  if constexpr (requires { row.name; })
    return os << row.name;
  else
    return os << row.op;
}

// Fails the next call of op with the given last error.
inline Outcome Failing(DWORD lastError) {
  Outcome o;
  o.result = 0;
  o.lastError = lastError;
  return o;
}

// CreateFileA's answer for a device that cannot be opened.
inline Outcome FailingOpen(DWORD lastError) {
  Outcome o = Failing(lastError);
  o.result = -1;
  return o;
}

}  // namespace kavrel::testing
