// kavrel_demo: plays a host program driving a serial instrument through the
// comms object, step by step, with the time each step took.
//
//   kavrel_demo                    talk to a simulated instrument on the built-in
//                                  virtual null-modem (no hardware needed)
//   kavrel_demo --port /dev/ttyUSB0 [--baud 9600]
//   kavrel_demo --port COM3 [--baud 9600]
//                                  talk to whatever is on a real port
//
// The host side uses only what a host has: kavrel.h, the class factory and
// the _comms interface. The simulated instrument is a second comms object on
// its own thread, on the other end of the cable: it raises DTR and RTS and
// answers "*IDN?" and "MEAS?" like a simple bench meter.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kavrel/kavrel.h"

namespace {

// The two ends of built-in cable 0; ":PACED" makes bytes travel at the line's
// baud rate, as on a real wire.
constexpr const char* kHostEnd = "NULLMODEM0A:PACED";
constexpr const char* kInstrumentEnd = "NULLMODEM0B:PACED";

using Clock = std::chrono::steady_clock;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Narrow(BSTR s) {
  std::string out;
  for (UINT i = 0; s && i < SysStringLen(s); ++i) {
    const char16_t c = s[i];
    out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  }
  return out;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else
      out.push_back(static_cast<char>(c));
  }
  return out;
}

struct Text {
  explicit Text(const std::string& s = "") {
    const std::u16string w = Wide(s);
    b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(w.data()), static_cast<UINT>(w.size()));
  }
  ~Text() { SysFreeString(b); }
  BSTR b;
};

std::string ReadBuffer(_comms* comms) {
  BSTR b = nullptr;
  comms->get_ReadBuffer(&b);
  const std::string out = Narrow(b);
  SysFreeString(b);
  return out;
}

_comms* CreateComms() {
  IClassFactory* factory = nullptr;
  if (FAILED(DllGetClassObject(CLSID_comms, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    return nullptr;
  _comms* c = nullptr;
  factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(&c));
  factory->Release();
  return c;
}

// Prints one step: what was done, what came back, how long it took.
class Steps {
 public:
  template <class F>
  void Run(const char* what, F&& f) {
    std::printf("%2d. %s\n", ++n_, what);
    std::fflush(stdout);
    const auto start = Clock::now();
    const std::string outcome = f();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("    %7.1f ms  %s\n", ms, outcome.c_str());
    std::fflush(stdout);
  }

 private:
  int n_ = 0;
};

std::string Hr(HRESULT hr) {
  if (SUCCEEDED(hr)) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, " [failed 0x%08X]", static_cast<unsigned>(hr));
  return buf;
}

// The DataArrived / DataSent sink of the host.
class EventPrinter final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___comms) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    const std::string text = params && params->cArgs == 1 && params->rgvarg[0].vt == VT_BSTR
                                 ? Narrow(params->rgvarg[0].bstrVal)
                                 : "?";
    std::printf("      event %s(\"%s\")\n",
                id == KAVREL_DISPID_DATASENT ? "DataSent" : "DataArrived", Printable(text).c_str());
    return S_OK;
  }
};

// The simulated instrument: reads commands on its end, answers them.
void RunInstrument(std::atomic<bool>& ready, std::atomic<bool>& stop) {
  _comms* dev = CreateComms();
  short slot = 1;
  Text name(kInstrumentEnd), mode("baud=9600 parity=N data=8 stop=1");
  LONG status = -1;
  dev->CommOpen(&slot, &name.b, &mode.b, &status);
  short dtr = 2, rts = 3;
  VARIANT_BOOL on = VARIANT_TRUE;
  LONG r = 0;
  dev->CommSetLine(&slot, &dtr, &on, &r);  // our DTR: the host's DSR and carrier detect
  dev->CommSetLine(&slot, &rts, &on, &r);  // our RTS: the host's CTS
  ready = true;
  std::string pending;
  while (!stop) {
    Text got;
    LONG size = 256, count = 0;
    dev->CommRead(&slot, &got.b, &size, &count);
    if (count > 0) pending += Narrow(got.b);
    size_t end;
    while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
      const std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (command.empty()) continue;
      std::string answer = "ERR unknown command\r\n";
      if (command == "*IDN?") answer = "TIVORAND,KV-100,00042,1.0\r\n";
      if (command == "MEAS?") answer = "+23.417E+00 VDC\r\n";
      Text reply(answer);
      LONG written = 0;
      dev->CommWrite(&slot, &reply.b, &written);
    }
    if (count <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  dev->CommClose(&slot, &r);
  dev->Release();
}

}  // namespace

int main(int argc, char** argv) {
  std::string port;
  LONG baud = 9600;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--port") && i + 1 < argc) {
      port = argv[++i];
    } else if (!std::strcmp(argv[i], "--baud") && i + 1 < argc) {
      const char* text = argv[++i];
      char* end = nullptr;
      const long value = std::strtol(text, &end, 10);
      if (end == text || *end || value <= 0 || value > 0x7FFFFFFF) {
        std::fprintf(stderr, "--baud takes a speed in bits per second, not '%s'\n", text);
        return 2;
      }
      baud = static_cast<LONG>(value);
    } else {
      // Asked for, the usage goes to the output and is no failure.
      const bool asked = !std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h");
      std::fprintf(asked ? stdout : stderr, "usage: %s [--port /dev/ttyUSB0|COM3] [--baud 9600]\n",
                   argv[0]);
      return asked ? 0 : 2;
    }
  }

  // The host's slot: COMn maps to the port (KAVREL_COM1 for a device path).
  short slot = 1;
  const bool simulated = port.empty();
  if (simulated) {
    setenv("KAVREL_COM1", kHostEnd, 1);
  } else if ((port.rfind("COM", 0) == 0 || port.rfind("com", 0) == 0) && port.size() > 3) {
    slot = static_cast<short>(std::atoi(port.c_str() + 3));
    if (slot < 1 || slot > 4) {
      std::fprintf(stderr, "the connection layer drives COM1 to COM4; give other ports by path\n");
      return 2;
    }
  } else {
    setenv("KAVREL_COM1", port.c_str(), 1);
  }

  std::printf("Kavrel demo: host on COM%d (%s) at %d baud\n\n", slot,
              simulated ? "virtual null-modem to a simulated instrument" : port.c_str(),
              static_cast<int>(baud));
  std::atomic<bool> ready{false}, stop{false};
  std::thread instrument;
  if (simulated) {
    instrument = std::thread(RunInstrument, std::ref(ready), std::ref(stop));
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  Steps steps;
  _comms* comms = nullptr;
  steps.Run("create comms (class factory)", [&] {
    comms = CreateComms();
    return std::string(comms ? "ok" : "FAILED");
  });
  if (!comms) return 1;
  EventPrinter printer;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  comms->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  container->FindConnectionPoint(DIID___comms, &point);
  point->Advise(&printer, &cookie);

  auto status = [&] {
    VARIANT_BOOL s = 0;
    comms->get_StatusComm(&s);
    return std::string(s ? "StatusComm=True" : "StatusComm=False");
  };
  auto lastError = [&] {
    Text message;
    LONG code = 0;
    comms->CommGetError(&message.b, &code);
    return Printable(Narrow(message.b));
  };

  steps.Run("Version, Company", [&] {
    BSTR v = nullptr, c = nullptr;
    comms->get_Version(&v);
    comms->get_Company(&c);
    const std::string out = Narrow(v) + ", " + Narrow(c);
    SysFreeString(v);
    SysFreeString(c);
    return out;
  });
  steps.Run("PortComm, BaudComm", [&] {
    comms->put_PortComm(slot);
    comms->put_BaudComm(baud);
    return "COM" + std::to_string(slot) + " at " + std::to_string(baud);
  });
  bool opened = false;
  steps.Run("OpenComm", [&] {
    const HRESULT hr = comms->OpenComm();
    VARIANT_BOOL s = 0;
    comms->get_StatusComm(&s);
    opened = s && SUCCEEDED(hr);
    return status() + Hr(hr) + (s ? "" : "  " + lastError());
  });
  const auto finish = [&] {
    steps.Run("CloseComm", [&] { return Hr(comms->CloseComm()) + "closed"; });
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    comms->Release();
    stop = true;
    if (instrument.joinable()) instrument.join();
  };
  // Nothing further can reach the port: stop here, as a failure.
  if (!opened) {
    finish();
    std::printf("\nfailed: the port did not open\n");
    return 1;
  }

  for (const char* command : {"*IDN?\r", "MEAS?\r"}) {
    Text text(command);
    steps.Run((std::string("WriteComm \"") + Printable(command) + "\"").c_str(), [&] {
      const HRESULT hr = comms->WriteComm(&text.b);
      return status() + Hr(hr);
    });
    std::string reply;
    steps.Run("ReadComm until the reply is in", [&] {
      // ReadBuffer changes only when a read brought characters.
      std::string seen = ReadBuffer(comms);
      int reads = 0;
      const auto deadline = Clock::now() + std::chrono::seconds(2);
      while (reply.find('\n') == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        comms->ReadComm();
        ++reads;
        const std::string now = ReadBuffer(comms);
        if (now != seen) reply += now;
        seen = now;
      }
      return "ReadBuffer \"" + Printable(reply) + "\" after " + std::to_string(reads) + " reads  " +
             status();
    });
  }

  steps.Run("CommGetLine CTS, DSR, RING, DCD", [&] {
    std::string out;
    const short masks[] = {0x10, 0x20, 0x40, 0x80};
    const char* names[] = {"CTS", "DSR", "RING", "DCD"};
    for (int i = 0; i < 4; ++i) {
      short mask = masks[i];
      VARIANT_BOOL state = 0;
      LONG r = 0;
      comms->CommGetLine(&slot, &mask, &state, &r);
      out += std::string(names[i]) + "=" +
             (r ? "error " + std::to_string(r) : (state ? "on" : "off")) + " ";
    }
    return out;
  });

  steps.Run("provoke: CommOpen the same port again", [&] {
    short other = 2;
    Text name(simulated ? kHostEnd : port), mode("baud=9600 parity=N data=8 stop=1");
    LONG r = 0;
    comms->CommOpen(&other, &name.b, &mode.b, &r);
    return "result " + std::to_string(r) + "  CommGetError: " + lastError();
  });

  finish();
  std::printf("\ndone\n");
  return 0;
}
