// The Win32 realisation of the platform, tested directly (linked with the
// component's core) under Wine: kernel32 through DeviceOps and the Platform
// wrapper, the thread's message pump, the ANSI code page and oleaut32's
// error information. The exit code is the number of failures.
#include "platform/platform.h"

#include <cstdlib>
#include <string>

#include "check.h"
#include "kavrel/kavrel.h"
#include "platform/win32/device_ops.h"

namespace {

using kavrel::platform::Handle32;
using kavrel::platform::NativeRuntime;
using kavrel_check::Section;

void DeviceOperations() {
  Section("device operations");
  auto& device = NativeRuntime().device;
  namespace w32 = kavrel::platform::win32;
  CHECK(w32::ToHandle(kavrel::platform::kInvalidHandle) == INVALID_HANDLE_VALUE);
  CHECK_EQ(-1, w32::FromHandle(INVALID_HANDLE_VALUE));

  // A device that does not exist: -1 and its error, saved at once.
  const Handle32 none = device.CreateFileA("\\\\.\\COM199", GENERIC_READ | GENERIC_WRITE, 0,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  CHECK_EQ(-1, none);
  const DWORD saved = kavrel::platform::Platform::LastDeviceError();
  CHECK(saved == ERROR_FILE_NOT_FOUND || saved == ERROR_PATH_NOT_FOUND);
  ::SetLastError(12345);  // a later change of the thread's error is not seen
  CHECK_EQ(saved, kavrel::platform::Platform::LastDeviceError());

  // A plain file stands in for a device: the handle crosses as 32 bits.
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"kav", 0, path);
  char narrow[MAX_PATH * 2] = {};
  WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr);
  const Handle32 file = device.CreateFileA(narrow, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  CHECK(file != -1 && file != 0);
  OVERLAPPED overlapped{};
  DWORD count = 0;
  CHECK(device.WriteFile(file, "abc", 3, &count, &overlapped));
  CHECK_EQ(3, count);
  DWORD errors = 0;
  COMSTAT stat{};
  CHECK(!device.ClearCommError(file, &errors, &stat));  // not a communications device
  CHECK(kavrel::platform::Platform::LastDeviceError() != 0);
  CHECK(device.CloseHandle(file));
  CHECK(!device.CloseHandle(file));
  CHECK_EQ(ERROR_INVALID_HANDLE, kavrel::platform::Platform::LastDeviceError());
  DeleteFileW(path);

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  CHECK(device.BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb));
  CHECK_EQ(9600, dcb.BaudRate);
  CHECK_EQ(8, dcb.ByteSize);
  CHECK_EQ(NOPARITY, dcb.Parity);

  char buffer[256];
  const DWORD length = device.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                             ERROR_FILE_NOT_FOUND, 0, buffer, 255, nullptr);
  CHECK(length > 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n');
  CHECK_EQ(0, device.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x7FFF0001, 0, buffer, 255,
                                    nullptr));

  // The whole time passes (measured with the performance counter: the tick
  // count is too coarse under Wine).
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  device.SleepEx(60, FALSE);
  QueryPerformanceCounter(&after);
  CHECK((after.QuadPart - before.QuadPart) * 1000 >= 58 * frequency.QuadPart);
}

void TextConversion() {
  Section("ANSI code page");
  auto& text = NativeRuntime().text;
  CHECK(text.ToAnsi(nullptr, 0).empty());
  CHECK(text.FromAnsi("", 0).empty());
  const std::u16string withNul(u"a\0b", 3);
  CHECK(text.ToAnsi(reinterpret_cast<const OLECHAR*>(withNul.data()), 3) == std::string("a\0b", 3));
  // Characters the code page lacks become '?', not a look-alike.
  const std::u16string foreign = u"\u0100\u4E2D\u2603";
  CHECK(text.ToAnsi(reinterpret_cast<const OLECHAR*>(foreign.data()), 3) == "???");
  if (GetACP() != 1252) {
    std::printf("   ANSI code page %u: the code page 1252 checks are skipped\n", GetACP());
    return;
  }
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  const std::u16string wide = text.FromAnsi(bytes.data(), bytes.size());
  CHECK_EQ(256, wide.size());
  CHECK(wide[0x80] == u'\u20AC' && wide[0x81] == u'\u0081' && wide[0x9F] == u'\u0178');
  CHECK(wide[0xE9] == u'\u00E9');
  CHECK(text.ToAnsi(reinterpret_cast<const OLECHAR*>(wide.data()), wide.size()) == bytes);
}

void ErrorInformation() {
  Section("error information");
  auto& errors = NativeRuntime().errors;
  errors.Set(IID__comms, u"Kavrel", u"Subscript out of range");
  IErrorInfo* info = nullptr;
  CHECK_HR(S_OK, GetErrorInfo(0, &info));
  if (info) {
    BSTR text = nullptr;
    CHECK_HR(S_OK, info->GetDescription(&text));
    CHECK_TEXT(L"Subscript out of range", std::wstring(text ? text : L""));
    SysFreeString(text);
    text = nullptr;
    CHECK_HR(S_OK, info->GetSource(&text));
    CHECK_TEXT(L"Kavrel", std::wstring(text ? text : L""));
    SysFreeString(text);
    GUID guid{};
    CHECK_HR(S_OK, info->GetGUID(&guid));
    CHECK(IsEqualGUID(guid, IID__comms));
    info->Release();
  }
  CHECK_HR(S_FALSE, GetErrorInfo(0, &info));  // taken
  errors.Set(IID__comms, u"Kavrel", u"first");
  errors.Clear();
  CHECK_HR(S_FALSE, GetErrorInfo(0, &info));
}

int gDispatched = 0;
bool gRepost = false;
HWND gWindow = nullptr;

LRESULT CALLBACK CountingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) {
    ++gDispatched;
    if (gRepost) PostMessageW(hwnd, WM_USER, 0, 0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void MessagePump() {
  Section("message pump");
  auto& pump = NativeRuntime().pump;
  WNDCLASSW wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KavrelPumpTest";
  RegisterClassW(&wc);
  gWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            wc.hInstance, nullptr);
  CHECK(gWindow != nullptr);
  if (!gWindow) return;

  // Every pending message is dispatched.
  for (int i = 0; i < 5; ++i) PostMessageW(gWindow, WM_USER, 0, 0);
  pump.Pump();
  CHECK_EQ(5, gDispatched);
  pump.Pump();  // nothing pending: returns at once
  CHECK_EQ(5, gDispatched);

  // A handler that keeps posting does not hold the pump for ever.
  gRepost = true;
  gDispatched = 0;
  PostMessageW(gWindow, WM_USER, 0, 0);
  const DWORD start = GetTickCount();
  pump.Pump();
  CHECK(gDispatched >= 1);
  CHECK(GetTickCount() - start < 2000);
  gRepost = false;
  pump.Pump();

  // A quit request is left for the host's own message loop.
  gDispatched = 0;
  PostMessageW(gWindow, WM_USER, 0, 0);
  PostQuitMessage(7);
  pump.Pump();
  CHECK_EQ(1, gDispatched);
  MSG msg;
  CHECK(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  CHECK_EQ(7, msg.wParam);
  DestroyWindow(gWindow);
}

// Entries of the port map that cannot be used fail the open with
// ERROR_BADDB instead of opening the system's own COMn; a long entry is read
// whole (the name it holds is then refused as malformed).
void PortMap() {
  Section("port map");
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kavrel\\Ports", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    CHECK(!"the port map key could not be made");
    return;
  }
  const DWORD one = 1;
  const std::string device197 = "\\\\.\\COM197";  // no such port
  const std::string longName = "rfc2217://" + std::string(2000, 'a') + ":7000";
  const struct {
    DWORD type;
    std::string data;
    DWORD error;
  } cases[] = {
      {REG_DWORD, std::string(reinterpret_cast<const char*>(&one), sizeof one), ERROR_BADDB},
      {REG_MULTI_SZ, device197 + '\0' + '\0', ERROR_BADDB},
      {REG_SZ, std::string(1, '\0'), ERROR_BADDB},
      {REG_SZ, longName + '\0', 123},  // read whole, then refused as a name
      {REG_SZ, device197 + '\0', ERROR_FILE_NOT_FOUND},
  };
  auto& device = NativeRuntime().device;
  for (const auto& c : cases) {
    RegSetValueExA(key, "COM198", 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                   static_cast<DWORD>(c.data.size()));
    const Handle32 h = device.CreateFileA("COM198", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    CHECK_EQ(-1, h);
    CHECK_EQ(c.error, kavrel::platform::Platform::LastDeviceError());
  }
  RegDeleteValueA(key, "COM198");
  RegCloseKey(key);
}

// A network port behind the port map: run_wine_tests.sh maps COM5 to
// ser2net on the Linux loopback, which serves one end of a pseudo-terminal
// pair whose other end Wine opens as the port KAVREL_TEST_FAR_END names.
void NetworkPorts() {
  const char* farName = std::getenv("KAVREL_TEST_FAR_END");
  if (farName == nullptr || *farName == '\0') {
    Section("network ports: no server set up, skipped");
    return;
  }
  Section("network ports");
  auto& device = NativeRuntime().device;
  const auto open = [&](const char* name) {
    return device.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
  };
  const Handle32 port = open("COM5");
  CHECK(port != -1);
  CHECK_EQ(0, kavrel::platform::Platform::LastDeviceError());
  const Handle32 peer = open(farName);
  CHECK(peer != -1);
  if (port == -1 || peer == -1) return;

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  CHECK(device.GetCommState(port, &dcb));
  CHECK(device.BuildCommDCBA("baud=19200 parity=N data=8 stop=1", &dcb));
  CHECK(device.SetCommState(port, &dcb));
  DCB answered{};
  CHECK(device.GetCommState(port, &answered));
  CHECK_EQ(19200, answered.BaudRate);
  CHECK(device.SetCommState(peer, &dcb));
  COMMTIMEOUTS timeouts{0, 0, 3000, 0, 0};
  CHECK(device.SetCommTimeouts(port, &timeouts));
  CHECK(device.SetCommTimeouts(peer, &timeouts));

  // Every byte value, each way.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const auto exchange = [&](Handle32 from, Handle32 to) {
    OVERLAPPED o{};
    DWORD n = 0;
    CHECK(device.WriteFile(from, all.data(), 256, &n, &o));
    CHECK_EQ(256, n);
    std::string got;
    for (int i = 0; i < 50 && got.size() < all.size(); ++i) {
      char buffer[256];
      DWORD read = 0;
      if (!device.ReadFile(to, buffer, static_cast<DWORD>(all.size() - got.size()), &read, &o)) {
        break;
      }
      got.append(buffer, read);
      if (read == 0) break;
    }
    CHECK(got == all);
  };
  exchange(port, peer);
  exchange(peer, port);

  // The server's refusal of a second user, and a port nobody serves.
  CHECK_EQ(-1, open("COM5"));
  CHECK_EQ(ERROR_ACCESS_DENIED, kavrel::platform::Platform::LastDeviceError());
  CHECK_EQ(-1, open("rfc2217://127.0.0.1:1"));
  CHECK_EQ(1225, kavrel::platform::Platform::LastDeviceError());

  CHECK(device.CloseHandle(port));
  CHECK(!device.CloseHandle(port));
  CHECK_EQ(ERROR_INVALID_HANDLE, kavrel::platform::Platform::LastDeviceError());
  CHECK(device.CloseHandle(peer));
}

// A read and a write waiting at once on two threads of one network port
// (the server neither sends, nor reads all that is written): a purge ends the
// transfer it names and leaves the other waiting; closing ends both. Threads
// that wait once and end leave no sockets behind.
struct Transfer {
  Handle32 port;
  bool write;
  std::string* bytes;
  BOOL ok = TRUE;
  DWORD error = 0;
  HANDLE thread = nullptr;
};

DWORD WINAPI RunTransfer(void* context) {
  auto& t = *static_cast<Transfer*>(context);
  auto& device = NativeRuntime().device;
  OVERLAPPED o{};
  DWORD n = 0;
  const DWORD size = static_cast<DWORD>(t.bytes->size());
  t.ok = t.write ? device.WriteFile(t.port, t.bytes->data(), size, &n, &o)
                 : device.ReadFile(t.port, t.bytes->data(), size, &n, &o);
  t.error = kavrel::platform::Platform::LastDeviceError();
  return 0;
}

void Start(Transfer& t) { t.thread = CreateThread(nullptr, 0, RunTransfer, &t, 0, nullptr); }

// Ended with ERROR_OPERATION_ABORTED, also on a thread that held a closed
// port last (bounded: a lost wake-up fails here).
void CheckAborted(Transfer& t) {
  CHECK_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.thread, 10000));
  CHECK(!t.ok);
  CHECK_EQ(ERROR_OPERATION_ABORTED, t.error);
  CloseHandle(t.thread);
}

void NetworkWaitsOnTwoThreads() {
  const char* farName = std::getenv("KAVREL_TEST_FAR_END");
  if (farName == nullptr || *farName == '\0') return;
  Section("network ports: a read and a write waiting on two threads");
  auto& device = NativeRuntime().device;
  const Handle32 port = device.CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  CHECK(port != -1);
  if (port == -1) return;

  std::string small(16, '\0');
  COMMTIMEOUTS brief{0, 0, 1, 0, 0};
  CHECK(device.SetCommTimeouts(port, &brief));
  // Counted one by one: Wine's GetProcessHandleCount says 0.
  const auto openHandles = [] {
    DWORD count = 0, flags = 0;
    for (uintptr_t h = 4; h < 0x10000; h += 4) {
      count += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) ? 1 : 0;
    }
    return count;
  };
  const DWORD handles = openHandles();
  for (int i = 0; i < 300; ++i) {
    Transfer t{port, false, &small};
    Start(t);
    CHECK_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.thread, 10000));
    CHECK(t.ok);
    CloseHandle(t.thread);
  }
  const DWORD after = openHandles();
  CHECK(after < handles + 10);

  COMMTIMEOUTS forever{0, 0, 0, 0, 0};
  CHECK(device.SetCommTimeouts(port, &forever));
  std::string large(64 << 20, 'x');  // more than every buffer on the way
  const auto stillWaiting = [](Transfer& t) {
    return WaitForSingleObject(t.thread, 300) == WAIT_TIMEOUT;
  };
  Transfer read1{port, false, &small}, write1{port, true, &large};
  Start(read1);
  Start(write1);
  Sleep(300);
  CHECK(device.PurgeComm(port, PURGE_RXABORT));
  CheckAborted(read1);
  CHECK(stillWaiting(write1));

  Transfer read2{port, false, &small};
  Start(read2);
  Sleep(300);
  CHECK(device.PurgeComm(port, PURGE_TXABORT));
  CheckAborted(write1);
  CHECK(stillWaiting(read2));

  Transfer write2{port, true, &large};
  Start(write2);
  Sleep(300);
  CHECK(device.CloseHandle(port));
  CheckAborted(read2);
  CheckAborted(write2);

  // What the server still holds is read at the far end: with it pending,
  // ser2net would not end when run_wine_tests.sh stops it.
  const Handle32 peer = device.CreateFileA(farName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  CHECK(peer != -1);
  if (peer == -1) return;
  COMMTIMEOUTS drain{100, 0, 1000, 0, 0};
  CHECK(device.SetCommTimeouts(peer, &drain));
  OVERLAPPED o{};
  DWORD n = 0;
  while (device.ReadFile(peer, large.data(), 1 << 16, &n, &o) && n > 0) {
  }
  CHECK(device.CloseHandle(peer));
}

// A port whose far end takes a few bytes and then hangs up (run_wine_tests.sh
// names it in KAVREL_TEST_HANG_UP): a write blocked there fails with an
// error and the count that went out, instead of succeeding short.
void FarEndHangsUpMidWrite() {
  const char* name = std::getenv("KAVREL_TEST_HANG_UP");
  if (name == nullptr || *name == '\0') {
    Section("far end hanging up: no port set up, skipped");
    return;
  }
  Section("far end hanging up during a write");
  auto& device = NativeRuntime().device;
  const Handle32 port = device.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  CHECK(port != -1);
  if (port == -1) return;
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 1000, 1000, 0};
  CHECK(device.SetCommTimeouts(port, &timeouts));
  const std::string bytes(1 << 20, 'x');
  OVERLAPPED o{};
  DWORD written = 0;
  CHECK(!device.WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o));
  CHECK(kavrel::platform::Platform::LastDeviceError() != 0);
  CHECK(written < bytes.size());
  CHECK(device.CloseHandle(port));
}

}  // namespace

// Run by itself in namespaces whose only name server never answers
// (run_wine_tests.sh): the open gives up with the connect time, as a connect
// that takes too long, not when the resolver does.
void SilentNameServer() {
  Section("a name server that never answers");
  CHECK_EQ(-1, NativeRuntime().device.CreateFileA("rfc2217://kavrel-test.example:7000",
                                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0));
  CHECK_EQ(ERROR_SEM_TIMEOUT, kavrel::platform::Platform::LastDeviceError());
}

int main() {
  if (std::getenv("KAVREL_TEST_SILENT_NAME_SERVER")) {
    SilentNameServer();
    return kavrel_check::Summary();
  }
  CoInitialize(nullptr);
  DeviceOperations();
  TextConversion();
  ErrorInformation();
  MessagePump();
  PortMap();
  NetworkPorts();
  NetworkWaitsOnTwoThreads();
  FarEndHangsUpMidWrite();
  CoUninitialize();
  return kavrel_check::Summary();
}
