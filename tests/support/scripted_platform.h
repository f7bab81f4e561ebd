// A scripted double of the platform: records every device operation with its
// arguments, and answers each with a scripted outcome (result, last error
// and data) or, when nothing is scripted for it, with plain success.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kavrel::testing {

struct Call {
  std::string op;               // "CreateFileA", "ReadFile", ...
  std::vector<long long> args;  // the numeric arguments, in order
  std::string text;             // a string argument, or the bytes written
};

struct Outcome {
  long long result = 1;          // what the operation returns (BOOL, handle, count)
  DWORD lastError = 0;           // the thread's last error afterwards
  DWORD value = 0;               // transferred count, cbInQue, modem status, error flags
  std::string data;              // bytes ReadFile delivers, text FormatMessageA writes
  std::function<void()> during;  // runs inside the call (to simulate re-entry)
  bool outOfMemory = false;      // the call throws std::bad_alloc (memory exhausted)
};

class ScriptedDevice final : public platform::DeviceOps {
 public:
  // Queues an outcome for the next call of op; unqueued calls succeed.
  void Script(const std::string& op, Outcome outcome) { script_[op].push_back(std::move(outcome)); }
  // The handle CreateFileA returns by default.
  void SetDefaultHandle(platform::Handle32 handle) { defaultHandle_ = handle; }
  // Text FormatMessageA writes for an error number (CR LF included if wanted).
  void SetMessage(DWORD id, std::string text) { messages_[id] = std::move(text); }

  const std::vector<Call>& calls() const { return calls_; }
  std::vector<std::string> ops() const;
  std::vector<Call> CallsOf(const std::string& op) const;
  void ClearCalls() { calls_.clear(); }

  platform::Handle32 CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                 void* securityAttributes, DWORD creationDisposition,
                                 DWORD flagsAndAttributes,
                                 platform::Handle32 templateFile) override;
  BOOL SetupComm(platform::Handle32 file, DWORD inQueue, DWORD outQueue) override;
  BOOL PurgeComm(platform::Handle32 file, DWORD flags) override;
  BOOL SetCommTimeouts(platform::Handle32 file, COMMTIMEOUTS* timeouts) override;
  BOOL GetCommState(platform::Handle32 file, DCB* dcb) override;
  BOOL BuildCommDCBA(LPCSTR def, DCB* dcb) override;
  BOOL SetCommState(platform::Handle32 file, DCB* dcb) override;
  BOOL CloseHandle(platform::Handle32 object) override;
  BOOL ClearCommError(platform::Handle32 file, DWORD* errors, COMSTAT* stat) override;
  BOOL ReadFile(platform::Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                OVERLAPPED* overlapped) override;
  BOOL WriteFile(platform::Handle32 file, const void* buffer, DWORD toWrite, DWORD* written,
                 OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(platform::Handle32 file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override;
  DWORD GetLastError() override { return lastError_; }
  BOOL GetCommModemStatus(platform::Handle32 file, DWORD* modemStat) override;
  BOOL EscapeCommFunction(platform::Handle32 file, DWORD func) override;
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                       LPSTR buffer, DWORD size, va_list* arguments) override;
  DWORD SleepEx(DWORD milliseconds, BOOL alertable) override;

 private:
  Outcome Next(const std::string& op, Call call);

  std::map<std::string, std::deque<Outcome>> script_;
  std::map<DWORD, std::string> messages_;
  std::vector<Call> calls_;
  DWORD lastError_ = 0;
  platform::Handle32 defaultHandle_ = 100;
};

// Counts the pumps and runs an optional handler inside each.
class RecordingPump final : public platform::MessagePump {
 public:
  void Pump() override;
  int count = 0;
  std::function<void()> handler;
};

// The whole set of services over the double, for building objects in tests.
class ScriptedRuntime {
 public:
  ScriptedRuntime();
  ScriptedDevice device;
  RecordingPump pump;
  platform::Runtime& runtime() { return runtime_; }

 private:
  platform::Platform platform_;
  platform::Runtime runtime_;
};

}  // namespace kavrel::testing
