// Memory running out inside the component: every member still answers with
// a status (out of memory, 0x800A0007) and no exception reaches the host.
// This binary replaces the allocator: operator new, and malloc where no
// sanitizer owns it, can be told to refuse allocations on the calling thread.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "component/class_factory.h"
#include "component/member_table.h"
#include "component/registration.h"
#include "support/test_host.h"

// The replacements below pair operator new with free through malloc, which
// GCC cannot see through when it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KAVREL_SANITIZED_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVREL_SANITIZED_MALLOC 1
#endif
#endif

namespace {

// While a test starves the thread: the next `tAllow` allocations succeed,
// then `tRefuse` are refused (-1: all of them), then all succeed again.
thread_local bool tStarving = false;
thread_local long tAllow = 0;
thread_local long tRefuse = 0;

bool Refused() {
  if (!tStarving) return false;
  if (tAllow > 0) {
    --tAllow;
    return false;
  }
  if (tRefuse == 0) return false;
  if (tRefuse > 0) --tRefuse;
  return true;
}

}  // namespace

#if defined(KAVREL_SANITIZED_MALLOC)
// The sanitizer's malloc stays; only operator new can be starved.
void* RawAllocate(std::size_t size) { return std::malloc(size); }
#else
extern "C" void* __libc_malloc(std::size_t size) noexcept;
extern "C" void* malloc(std::size_t size) noexcept {
  return Refused() ? nullptr : __libc_malloc(size);
}
void* RawAllocate(std::size_t size) { return __libc_malloc(size); }
#endif

void* operator new(std::size_t size) {
  if (Refused()) throw std::bad_alloc();
  if (void* p = RawAllocate(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Refused() ? nullptr : RawAllocate(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace kavrel::testing {
namespace {

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x800A0007u);

// Runs call with the first `allow` allocations granted and the rest refused
// (or only `refuse` of them); true when the call ran out of what it was
// granted (a call that did not is done).
template <class Call>
bool Starved(long allow, long refuse, Call&& call) {
  tAllow = allow;
  tRefuse = refuse;
  tStarving = true;
  call();
  tStarving = false;
  return tAllow == 0;
}

struct Invoked {
  bool escaped = false;
  HRESULT hr = S_OK;
  SCODE scode = 0;
  std::u16string source, description;
  bool described = false;
};

// Invoke with the arguments given, last-first as automation passes them.
Invoked Invoke(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT>& args, long allow,
               long refuse, bool* starved = nullptr) {
  Invoked out;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  const bool isPut = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()),
                    isPut ? 1u : 0u};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  const bool ranOut = Starved(allow, refuse, [&] {
    try {
      out.hr = d->Invoke(id, IID_NULL, 0, flags, &params, &result, &excep, nullptr);
    } catch (...) {
      out.escaped = true;
    }
  });
  if (starved) *starved = ranOut;
  out.scode = excep.scode;
  out.described = excep.bstrDescription != nullptr;
  out.source = Bstr::Attach(excep.bstrSource).str();
  out.description = Bstr::Attach(excep.bstrDescription).str();
  SysFreeString(excep.bstrHelpFile);
  VariantClear(&result);
  TakeErrorDescription();
  return out;
}

class OutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    CurrentThreadState() = ThreadState{};
    CurrentThreadState().intLoopState = 4;  // no polling loop runs here
    TakeErrorDescription();
  }
  void TearDown() override { CurrentThreadState() = ThreadState{}; }

  ScriptedRuntime rt;
  TestObject obj{rt.runtime()};
};

TEST_F(OutOfMemory, TheStatusComesThroughTheVtableAndInvoke) {
#if defined(KAVREL_SANITIZED_MALLOC)
  GTEST_SKIP() << "the sanitizer's malloc cannot be starved: texts still allocate";
#endif
  BSTR text = nullptr;
  HRESULT hr = S_OK;
  // Nothing at all can be had: the status alone.
  Starved(0, -1, [&] { hr = obj.comms->get_Version(&text); });
  EXPECT_EQ(hr, kOutOfMemory);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(TakeErrorDescription(), u"<none>");
  std::vector<VARIANT> none;
  Invoked invoked = Invoke(obj.comms.get(), 0x68030005, DISPATCH_PROPERTYGET, none, 0, -1);
  EXPECT_FALSE(invoked.escaped);
  EXPECT_EQ(invoked.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(invoked.scode, kOutOfMemory);
  EXPECT_FALSE(invoked.described);

  // The member's own text could not be had, the description could.
  Starved(0, 1, [&] { hr = obj.comms->get_Version(&text); });
  EXPECT_EQ(hr, kOutOfMemory);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(TakeErrorDescription(), u"Out of memory");
  invoked = Invoke(obj.comms.get(), 0x68030005, DISPATCH_PROPERTYGET, none, 0, 1);
  EXPECT_EQ(invoked.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(invoked.scode, kOutOfMemory);
  EXPECT_EQ(invoked.description, u"Out of memory");
  EXPECT_EQ(invoked.source, u"Kavrel");

  // And with memory again, the member works.
  ASSERT_EQ(obj.comms->get_Version(&text), S_OK);
  EXPECT_EQ(Bstr::Attach(text).str(), u"1.1");
}

VARIANT Value(ParamType type) {
  VARIANT v;
  VariantInit(&v);
  switch (type) {
    case ParamType::I2:
      v.vt = VT_I2, v.iVal = 1;
      break;
    case ParamType::I4:
      v.vt = VT_I4, v.lVal = 2;
      break;
    case ParamType::Bool:
      v.vt = VT_BOOL, v.boolVal = VARIANT_TRUE;
      break;
    case ParamType::Text:
      v.vt = VT_BSTR, v.bstrVal = Bstr(u"baud=9600 parity=N data=8 stop=1").Detach();
      break;
  }
  return v;
}

WORD FlagsOf(MemberKind kind) {
  switch (kind) {
    case MemberKind::PropertyGet:
      return DISPATCH_PROPERTYGET;
    case MemberKind::PropertyPut:
      return DISPATCH_PROPERTYPUT;
    default:
      return DISPATCH_METHOD;
  }
}

// Every member, late-bound, with memory running out at each allocation it
// makes in turn: it fails with out of memory or succeeds, and never throws.
TEST_F(OutOfMemory, EveryMemberAnswersAtEveryAllocationThatFails) {
  for (const MemberInfo& m : MemberTable()) {
    if (!m.published) continue;
    SCOPED_TRACE(m.name);
    std::vector<VARIANT> args;
    for (int i = 0; i < m.paramCount; ++i) args.push_back(Value(m.params[i].type));
    for (long allow = 0; allow < 2000; ++allow) {
      bool starved = false;
      const Invoked r = Invoke(obj.comms.get(), m.id, FlagsOf(m.kind), args, allow, -1, &starved);
      ASSERT_FALSE(r.escaped) << "after " << allow << " allocations";
      if (r.hr == DISP_E_EXCEPTION) {
        EXPECT_EQ(r.scode, kOutOfMemory) << "after " << allow << " allocations";
      } else if (r.hr != E_OUTOFMEMORY) {
        EXPECT_EQ(r.hr, S_OK) << "after " << allow << " allocations";
      }
      if (!starved) {
        EXPECT_EQ(r.hr, S_OK) << "with all it asked for";
        break;
      }
    }
    for (VARIANT& v : args) VariantClear(&v);
  }
}

// Creation, connections and name look-up answer with E_OUTOFMEMORY.
TEST_F(OutOfMemory, CreationConnectionsAndNamesReportIt) {
  IClassFactory* factory = nullptr;
  HRESULT hr = S_OK;
  Starved(0, -1, [&] {
    hr = GetClassObject(rt.runtime(), CLSID_comms, IID_IClassFactory,
                        reinterpret_cast<void**>(&factory));
  });
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  ASSERT_EQ(S_OK, GetClassObject(rt.runtime(), CLSID_comms, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory)));
  _comms* created = nullptr;
  Starved(0, -1, [&] {
    hr = factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(&created));
  });
  factory->Release();
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  EXPECT_EQ(created, nullptr);
  bool escaped = false;
  Starved(0, -1, [&] {
    try {
      hr = CreateByName("Kavrel.comms", IID__comms, reinterpret_cast<void**>(&created));
    } catch (...) {
      escaped = true;
    }
  });
  EXPECT_FALSE(escaped);
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  EXPECT_EQ(created, nullptr);

  RecordingSink sink;
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(S_OK, obj.comms->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&container)));
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, &point));
  DWORD cookie = 7;
  Starved(0, -1, [&] { hr = point->Advise(&sink, &cookie); });
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  EXPECT_EQ(cookie, 0u);
  point->Release();
  container->Release();

  escaped = false;
  LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(u"CommOpen")),
                      const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(u"strPort"))};
  DISPID ids[2] = {};
  Starved(0, -1, [&] {
    try {
      hr = obj.comms->GetIDsOfNames(IID_NULL, names, 2, 0, ids);
    } catch (...) {
      escaped = true;
    }
  });
  EXPECT_FALSE(escaped);
  if (hr == S_OK)
    EXPECT_EQ(ids[0], 0x6003000F);
  else
    EXPECT_EQ(hr, E_OUTOFMEMORY);
}

// A device member whose step fails while memory runs out still returns its
// failure as its result, never 0, and the record holds that number whole: the
// step's own failure, or out of memory under the trap's name (or with no
// texts when none could be had), never an older failure's texts beside it.
TEST_F(OutOfMemory, ADeviceMemberThatFailsKeepsItsFailureAndAWholeRecord) {
  struct Case {
    const char* name;
    const char* op;  // the platform step scripted to fail with 6
    const char16_t* trap;
    const char16_t* source;
    HRESULT (*call)(_comms*, BSTR* port, BSTR* mode, LONG* result);
  };
  const Case cases[] = {
      {"CommOpen", "CreateFileA", u"CommOpen", u"CommOpen (CreateFile)",
       [](_comms* c, BSTR* port, BSTR* mode, LONG* r) {
         short slot = 1;
         return c->CommOpen(&slot, port, mode, r);
       }},
      {"CommSet", "GetCommState", u"CommSet", u"CommSet (GetCommState)",
       [](_comms* c, BSTR*, BSTR* mode, LONG* r) {
         short slot = 2;
         return c->CommSet(&slot, mode, r);
       }},
      {"CommFlush", "PurgeComm", u"CommFlush", u"CommFlush (PurgeComm)",
       [](_comms* c, BSTR*, BSTR*, LONG* r) {
         short slot = 2;
         return c->CommFlush(&slot, r);
       }},
      {"CommGetLine", "GetCommModemStatus", u"CommReadCD", u"CommReadCD (GetCommModemStatus)",
       [](_comms* c, BSTR*, BSTR*, LONG* r) {
         short slot = 2, line = -1;
         VARIANT_BOOL state = 0;
         return c->CommGetLine(&slot, &line, &state, r);
       }},
  };
  rt.device.SetMessage(6, "The handle is invalid.\r\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool pending = false;  // a scripted failure not yet taken
    for (long allow = 0; allow < 200; ++allow) {
      // An older failure of another kind, whose texts must not survive.
      short bad = 0;
      LONG old = 0;
      ASSERT_EQ(S_OK, obj.comms->CommClose(&bad, &old));
      if (!pending)
        rt.device.Script(c.op, {.result = c.op == std::string("CreateFileA") ? -1 : 0,
                                .lastError = ERROR_INVALID_HANDLE});
      rt.device.ClearCalls();
      TestBstr port(u"COM1"), mode(u"9600,n,8,1");
      LONG result = 0;
      HRESULT hr = S_OK;
      const bool ranOut =
          Starved(allow, -1, [&] { hr = c.call(obj.comms.get(), &port.s, &mode.s, &result); });
      EXPECT_EQ(S_OK, hr) << "after " << allow << " allocations";
      pending = rt.device.CallsOf(c.op).empty();
      EXPECT_NE(0, result) << "after " << allow << " allocations";
      BSTR message = nullptr;
      LONG code = 0;
      ASSERT_EQ(S_OK, obj.comms->CommGetError(&message, &code));
      const std::u16string text = Bstr::Attach(message).str();
      EXPECT_EQ(result, code) << "after " << allow << " allocations";
      const std::u16string number = u"Error (" + U16(std::to_string(code)) + u"): ";
      const std::vector<std::u16string> whole = {
          number + c.source + u" - The handle is invalid.\r\n",
          number + c.trap + u" - Out of memory", number + c.trap + u" - ", number + u" - "};
      EXPECT_NE(std::find(whole.begin(), whole.end(), text), whole.end())
          << "after " << allow << " allocations: " << Utf8(text);
      if (!ranOut) break;
    }
  }
}

TEST(OutOfMemoryInATransfer, AReadThatCannotWaitKeepsTheBytesItTook) {
  // Bytes already read when the wait for more finds no memory have left the
  // tty's queue: the read ends with them instead of failing without them.
  platform::Platform& device = platform::NativeRuntime().device;
  struct Pty {
    int master = -1, slave = -1;
    char name[64] = {};
    platform::Handle32 handle = platform::kInvalidHandle;
  } first, second;
  for (Pty* p : {&first, &second}) {
    ASSERT_EQ(0, openpty(&p->master, &p->slave, p->name, nullptr, nullptr));
    p->handle =
        device.CreateFileA(p->name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    ASSERT_NE(platform::kInvalidHandle, p->handle);
  }
  char buffer[16] = {};
  DWORD n = 0;
  OVERLAPPED o{};
  // This thread's first wait makes what every later one uses, on another
  // device: only the starved wait's own registration is left to allocate.
  COMMTIMEOUTS shortWait{0, 0, 10, 0, 0};
  ASSERT_TRUE(device.SetCommTimeouts(first.handle, &shortWait));
  ASSERT_TRUE(device.ReadFile(first.handle, buffer, 1, &n, &o));
  COMMTIMEOUTS interval{500, 0, 0, 0, 0};  // after what waits, wait for more
  ASSERT_TRUE(device.SetCommTimeouts(second.handle, &interval));
  ASSERT_EQ(2, write(second.master, "ab", 2));
  for (int i = 0; i < 500; ++i) {
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(device.ClearCommError(second.handle, &errors, &stat));
    if (stat.cbInQue >= 2) break;
    usleep(2000);
  }
  BOOL ok = FALSE;
  const bool ranOut =
      Starved(0, -1, [&] { ok = device.ReadFile(second.handle, buffer, 10, &n, &o); });
  EXPECT_TRUE(ranOut) << "the wait allocated nothing";
  EXPECT_TRUE(ok);
  EXPECT_EQ("ab", std::string(buffer, n));
  for (Pty* p : {&first, &second}) {
    device.CloseHandle(p->handle);
    close(p->master);
    close(p->slave);
  }
}

}  // namespace
}  // namespace kavrel::testing
