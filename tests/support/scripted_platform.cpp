#include "support/scripted_platform.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kavrel::testing {

std::vector<std::string> ScriptedDevice::ops() const {
  std::vector<std::string> out;
  for (const auto& c : calls_) out.push_back(c.op);
  return out;
}

std::vector<Call> ScriptedDevice::CallsOf(const std::string& op) const {
  std::vector<Call> out;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
               [&](const Call& c) { return c.op == op; });
  return out;
}

Outcome ScriptedDevice::Next(const std::string& op, Call call) {
  calls_.push_back(std::move(call));
  Outcome outcome;
  auto it = script_.find(op);
  if (it != script_.end() && !it->second.empty()) {
    outcome = std::move(it->second.front());
    it->second.pop_front();
  }
  if (outcome.during) outcome.during();
  if (outcome.outOfMemory) throw std::bad_alloc();
  lastError_ = outcome.lastError;
  return outcome;
}

static long long H(platform::Handle32 h) { return h; }

platform::Handle32 ScriptedDevice::CreateFileA(LPCSTR fileName, DWORD desiredAccess,
                                               DWORD shareMode, void* securityAttributes,
                                               DWORD creationDisposition, DWORD flagsAndAttributes,
                                               platform::Handle32 templateFile) {
  Outcome o;
  o.result = defaultHandle_;
  auto it = script_.find("CreateFileA");
  const bool scripted = it != script_.end() && !it->second.empty();
  Outcome got = Next("CreateFileA", {"CreateFileA",
                                     {desiredAccess, shareMode, securityAttributes ? 1 : 0,
                                      creationDisposition, flagsAndAttributes, templateFile},
                                     fileName ? fileName : ""});
  return static_cast<platform::Handle32>(scripted ? got.result : o.result);
}

BOOL ScriptedDevice::SetupComm(platform::Handle32 file, DWORD inQueue, DWORD outQueue) {
  return static_cast<BOOL>(
      Next("SetupComm", {"SetupComm", {H(file), inQueue, outQueue}, ""}).result);
}

BOOL ScriptedDevice::PurgeComm(platform::Handle32 file, DWORD flags) {
  return static_cast<BOOL>(Next("PurgeComm", {"PurgeComm", {H(file), flags}, ""}).result);
}

BOOL ScriptedDevice::SetCommTimeouts(platform::Handle32 file, COMMTIMEOUTS* t) {
  return static_cast<BOOL>(
      Next("SetCommTimeouts", {"SetCommTimeouts",
                               {H(file), t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                                t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                                t->WriteTotalTimeoutConstant},
                               ""})
          .result);
}

BOOL ScriptedDevice::GetCommState(platform::Handle32 file, DCB* dcb) {
  Outcome o = Next("GetCommState", {"GetCommState", {H(file)}, ""});
  if (o.result) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = o.value ? o.value : 9600;
    dcb->fBinary = 1;
    dcb->ByteSize = 8;
  }
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::BuildCommDCBA(LPCSTR def, DCB* dcb) {
  Outcome o = Next("BuildCommDCBA", {"BuildCommDCBA", {}, def ? def : ""});
  if (o.result && o.value) dcb->BaudRate = o.value;
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::SetCommState(platform::Handle32 file, DCB* dcb) {
  return static_cast<BOOL>(
      Next("SetCommState", {"SetCommState", {H(file), dcb->BaudRate}, ""}).result);
}

BOOL ScriptedDevice::CloseHandle(platform::Handle32 object) {
  return static_cast<BOOL>(Next("CloseHandle", {"CloseHandle", {H(object)}, ""}).result);
}

BOOL ScriptedDevice::ClearCommError(platform::Handle32 file, DWORD* errors, COMSTAT* stat) {
  Outcome o = Next("ClearCommError", {"ClearCommError", {H(file)}, ""});
  if (o.result) {
    // value: bytes waiting in; data (if any) as a decimal string: error flags
    if (errors) *errors = o.data.empty() ? 0 : static_cast<DWORD>(std::stoul(o.data, nullptr, 0));
    if (stat) stat->cbInQue = o.value;
  }
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::ReadFile(platform::Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                              OVERLAPPED* overlapped) {
  Outcome o =
      Next("ReadFile",
           {"ReadFile",
            {H(file), toRead, static_cast<long long>(reinterpret_cast<uintptr_t>(overlapped))},
            ""});
  const size_t n = std::min<size_t>(o.data.size(), toRead);
  std::memcpy(buffer, o.data.data(), n);
  if (read) *read = o.value ? o.value : static_cast<DWORD>(n);
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::WriteFile(platform::Handle32 file, const void* buffer, DWORD toWrite,
                               DWORD* written, OVERLAPPED* overlapped) {
  Outcome o =
      Next("WriteFile",
           {"WriteFile",
            {H(file), toWrite, static_cast<long long>(reinterpret_cast<uintptr_t>(overlapped))},
            std::string(static_cast<const char*>(buffer), toWrite)});
  if (written) *written = o.result ? (o.value ? o.value : toWrite) : o.value;
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::GetOverlappedResult(platform::Handle32 file, OVERLAPPED* overlapped,
                                         DWORD* transferred, BOOL wait) {
  Outcome o =
      Next("GetOverlappedResult",
           {"GetOverlappedResult",
            {H(file), static_cast<long long>(reinterpret_cast<uintptr_t>(overlapped)), wait},
            ""});
  if (transferred && o.result) *transferred = o.value;
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::GetCommModemStatus(platform::Handle32 file, DWORD* modemStat) {
  Outcome o = Next("GetCommModemStatus", {"GetCommModemStatus", {H(file)}, ""});
  if (o.result && modemStat) *modemStat = o.value;
  return static_cast<BOOL>(o.result);
}

BOOL ScriptedDevice::EscapeCommFunction(platform::Handle32 file, DWORD func) {
  return static_cast<BOOL>(
      Next("EscapeCommFunction", {"EscapeCommFunction", {H(file), func}, ""}).result);
}

DWORD ScriptedDevice::FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD languageId,
                                     LPSTR buffer, DWORD size, va_list* arguments) {
  auto it = messages_.find(messageId);
  Outcome o = Next("FormatMessageA",
                   {"FormatMessageA", {flags, messageId, languageId, size, arguments ? 1 : 0}, ""});
  if (it == messages_.end()) {
    lastError_ = 317;
    return 0;
  }
  const size_t n = std::min<size_t>(it->second.size(), size ? size - 1 : 0);
  std::memcpy(buffer, it->second.data(), n);
  if (size) buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

DWORD ScriptedDevice::SleepEx(DWORD milliseconds, BOOL alertable) {
  Next("SleepEx", {"SleepEx", {milliseconds, alertable}, ""});
  return 0;
}

void RecordingPump::Pump() {
  ++count;
  if (handler) handler();
}

ScriptedRuntime::ScriptedRuntime()
    : platform_(device),
      runtime_{platform_, pump, platform::NativeRuntime().text, platform::NativeRuntime().errors} {}

}  // namespace kavrel::testing
