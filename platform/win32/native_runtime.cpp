// The native services on Windows: kernel32 for the devices, the thread's
// window-message queue as the message pump, the ANSI code page for device
// text and oleaut32's error information.
#include <string>

#include "platform/platform.h"
#include "platform/win32/device_ops.h"

namespace kavrel::platform::win32 {
namespace {

// Dispatches the messages waiting in the calling thread's queue. A message
// posted after the pump started (a handler that keeps posting to itself)
// ends this round once it is dispatched, so the pump always returns. A quit
// request is put back for the host's own message loop.
class ThreadMessagePump final : public MessagePump {
 public:
  void Pump() override {
    const DWORD start = ::GetTickCount();
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
      if (static_cast<LONG>(msg.time - start) > 0) return;
    }
  }
};

// The system's ANSI code page. A character the code page lacks becomes the
// code page's default character rather than a look-alike.
class AnsiCodePage final : public TextCodec {
 public:
  std::string ToAnsi(const OLECHAR* text, size_t length) override {
    if (length == 0) return std::string();
    const int count = static_cast<int>(length);
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    int bytes = ::WideCharToMultiByte(CP_ACP, flags, text, count, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
      flags = 0;  // a code page that takes no flags (UTF-8)
      bytes = ::WideCharToMultiByte(CP_ACP, flags, text, count, nullptr, 0, nullptr, nullptr);
    }
    if (bytes <= 0) return std::string(length, '?');
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, text, count, out.data(), bytes, nullptr, nullptr);
    return out;
  }

  std::u16string FromAnsi(const char* bytes, size_t length) override {
    if (length == 0) return std::u16string();
    const int count = static_cast<int>(length);
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, bytes, count, nullptr, 0);
    if (chars <= 0) return std::u16string(length, u'?');
    std::u16string out(static_cast<size_t>(chars), u'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes, count, reinterpret_cast<LPWSTR>(out.data()), chars);
    return out;
  }

  // In a double-byte code page (932, 936, 949, 950) the bytes are walked
  // from the start, a lead byte taking its trail byte with it: a walk that
  // ends one past the end ended in a lead byte.
  size_t MissingBytes(const char* bytes, size_t length) override {
    static const bool doubleByte = [] {
      CPINFO info;
      return ::GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2;
    }();
    if (!doubleByte) return 0;
    size_t i = 0;
    while (i < length) i += ::IsDBCSLeadByte(static_cast<BYTE>(bytes[i])) ? 2 : 1;
    return i - length;
  }
};

// The thread's error information object, made with CreateErrorInfo.
class OleErrorInfo final : public ErrorInfoService {
 public:
  void Set(const GUID& interfaceId, const std::u16string& source,
           const std::u16string& description) override {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(::CreateErrorInfo(&create)) || !create) {
      ::SetErrorInfo(0, nullptr);
      return;
    }
    create->SetGUID(interfaceId);
    create->SetSource(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(source.c_str())));
    create->SetDescription(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(description.c_str())));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) &&
        info) {
      ::SetErrorInfo(0, info);
      info->Release();
    } else {
      ::SetErrorInfo(0, nullptr);
    }
    create->Release();
  }
  void Clear() override { ::SetErrorInfo(0, nullptr); }
};

}  // namespace
}  // namespace kavrel::platform::win32

namespace kavrel::platform {

Runtime& NativeRuntime() {
  static win32::Kernel32DeviceOps ops;
  static Platform device(ops);
  static win32::ThreadMessagePump pump;
  static win32::AnsiCodePage text;
  static win32::OleErrorInfo errors;
  static Runtime runtime{device, pump, text, errors};
  return runtime;
}

}  // namespace kavrel::platform
