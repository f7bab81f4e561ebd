// Shared by the device suites: the device operations as the component calls
// them, plus timing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/posix/device_ops.h"

namespace kavrel::testing {

using platform::Handle32;

class Stopwatch {
 public:
  long long ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Ops {
  platform::posix::TtyDeviceOps ops;

  Handle32 Open(const std::string& name) {
    return ops.CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, 0);
  }
  DWORD error() { return ops.GetLastError(); }

  BOOL Timeouts(Handle32 h, DWORD interval, DWORD multiplier, DWORD constant,
                DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
    COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    return ops.SetCommTimeouts(h, &t);
  }
  // ReadFile for up to n bytes; ok tells whether it succeeded.
  std::string Read(Handle32 h, DWORD n, BOOL* ok = nullptr) {
    std::string buffer(n, '\0');
    DWORD got = 0;
    OVERLAPPED o{};
    const BOOL result = ops.ReadFile(h, buffer.data(), n, &got, &o);
    if (ok) *ok = result;
    buffer.resize(got);
    return buffer;
  }
  DWORD Write(Handle32 h, const std::string& data, BOOL* ok = nullptr) {
    DWORD put = 0;
    OVERLAPPED o{};
    const BOOL result = ops.WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, &o);
    if (ok) *ok = result;
    return put;
  }
  // Reads until n bytes came or ms passed, one ReadFile after another.
  std::string ReadAll(Handle32 h, size_t n, int ms = 3000) {
    std::string got;
    Stopwatch clock;
    while (got.size() < n && clock.ms() < ms) {
      BOOL ok = FALSE;
      got += Read(h, static_cast<DWORD>(n - got.size()), &ok);
      if (!ok) break;
    }
    return got;
  }
  COMSTAT Status(Handle32 h, DWORD* errors = nullptr, BOOL* ok = nullptr) {
    DWORD flags = 0;
    COMSTAT stat{};
    const BOOL result = ops.ClearCommError(h, &flags, &stat);
    if (errors) *errors = flags;
    if (ok) *ok = result;
    return stat;
  }
  DWORD Modem(Handle32 h) {
    DWORD bits = 0xDEAD;
    EXPECT_TRUE(ops.GetCommModemStatus(h, &bits));
    return bits;
  }
  DCB State(Handle32 h) {
    DCB dcb{};
    EXPECT_TRUE(ops.GetCommState(h, &dcb));
    return dcb;
  }
};

inline std::string EveryByteValue() {
  std::string all;
  for (int round = 0; round < 2; ++round) {
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  }
  return all;
}

}  // namespace kavrel::testing
