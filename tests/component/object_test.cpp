// The object's identity, lifetime, threading and the class factory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "component/class_factory.h"
#include "component/member_table.h"
#include "support/test_host.h"

namespace kavrel::testing {
namespace {

TEST(ObjectTest, ANewObjectStartsZeroAndEmpty) {
  ScriptedRuntime rt;
  TestObject t(rt.runtime());
  CommsObject* o = t.object();
  for (const PortSlot& slot : o->portTable) {
    EXPECT_EQ(0, slot.lngHandle);
    EXPECT_EQ(0, slot.blnOpen);
    DCB zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &slot.udtDCB, sizeof zero));
  }
  EXPECT_EQ(0, o->errorRecord.lngCode);
  EXPECT_EQ(0u, o->errorRecord.strSource.length());
  EXPECT_EQ(0u, o->udtOverlapped.Offset);
  EXPECT_EQ(nullptr, o->udtOverlapped.hEvent);
  EXPECT_TRUE(rt.device.calls().empty()) << "creation runs no platform call";
}

TEST(ObjectTest, HandsOutItsInterfacesWithOneIdentity) {
  ScriptedRuntime rt;
  TestObject t(rt.runtime());
  Ref<IUnknown> unknown;
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.out())));
  for (const IID* iid : {&IID_IDispatch, &IID__comms, &IID_IConnectionPointContainer,
                         &IID_ISupportErrorInfo, &IID_IProvideClassInfo}) {
    Ref<IUnknown> other;
    ASSERT_EQ(S_OK, t.comms->QueryInterface(*iid, reinterpret_cast<void**>(other.out())));
    Ref<IUnknown> back;
    ASSERT_EQ(S_OK, other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(back.out())));
    EXPECT_EQ(unknown.get(), back.get());
  }
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, t.comms->QueryInterface(CLSID_comms, &p));
  EXPECT_EQ(nullptr, p);
  Ref<ISupportErrorInfo> support;
  t.comms->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.out()));
  EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID__comms));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IClassFactory));
}

TEST(ClassFactoryTest, CreatesIndependentObjectsAndCountsThemForUnloading) {
  ScriptedRuntime rt;
  ASSERT_EQ(S_OK, CanUnloadNow());
  void* p = nullptr;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            GetClassObject(rt.runtime(), IID__comms, IID_IClassFactory, &p));
  Ref<IClassFactory> factory;
  ASSERT_EQ(S_OK, GetClassObject(rt.runtime(), CLSID_comms, IID_IClassFactory,
                                 reinterpret_cast<void**>(factory.out())));
  Ref<_comms> a, b;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(a.out())));
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(b.out())));
  EXPECT_NE(a.get(), b.get());
  a->put_BaudComm(9600);
  LONG baud = -1;
  b->get_BaudComm(&baud);
  EXPECT_EQ(0, baud) << "objects share no fields";
  RecordingSink outer;
  void* q = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, &q));

  EXPECT_EQ(S_FALSE, CanUnloadNow());
  a.reset();
  b.reset();
  EXPECT_EQ(S_OK, CanUnloadNow());
  factory->LockServer(TRUE);
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  factory->LockServer(FALSE);
  EXPECT_EQ(S_OK, CanUnloadNow());
}

TEST(ThreadingTest, MembersAnswerWrongThreadElsewhereButReferenceCountingWorks) {
  ScriptedRuntime rt;
  TestObject t(rt.runtime());
  t.comms->put_PortComm(3);
  _comms* c = t.comms.get();
  std::thread([c] {
    short port = 99;
    EXPECT_EQ(RPC_E_WRONG_THREAD, c->put_PortComm(4));
    EXPECT_EQ(RPC_E_WRONG_THREAD, c->get_PortComm(&port));
    EXPECT_EQ(RPC_E_WRONG_THREAD, c->OpenComm());
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT r;
    VariantInit(&r);
    EXPECT_EQ(RPC_E_WRONG_THREAD, c->Invoke(KAVREL_DISPID_PORTCOMM, IID_NULL, 0,
                                            DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr));
    EXPECT_EQ(2u, c->AddRef());
    EXPECT_EQ(1u, c->Release());
    Ref<IUnknown> u;
    EXPECT_EQ(S_OK, c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(u.out())));
  }).join();
  short port = 0;
  t.comms->get_PortComm(&port);
  EXPECT_EQ(3, port) << "the other thread touched nothing";
}

// The system hands an ended thread's identifiers to the next thread it
// starts: an object whose creator has ended still belongs to no later thread.
TEST(ThreadingTest, AnObjectWhoseCreatorEndedRefusesEveryLaterThread) {
  ScriptedRuntime rt;
  std::optional<TestObject> t;
  std::thread([&] {
    t.emplace(rt.runtime());
    t->comms->put_PortComm(3);
  }).join();
  _comms* c = t->comms.get();
  for (int i = 0; i < 20; ++i) {
    std::thread([c] { EXPECT_EQ(RPC_E_WRONG_THREAD, c->put_PortComm(4)); }).join();
  }
  short port = 0;
  EXPECT_EQ(RPC_E_WRONG_THREAD, c->get_PortComm(&port));
}

// Calls vtable slot `slot` of an interface with eight arguments that each
// point at zeroed scratch memory: enough for any method's parameters, and
// harmless to one that reads them before it looks at the thread.
HRESULT CallSlot(void* itf, size_t slot) {
  using AnyMethod = HRESULT (*)(void*, void*, void*, void*, void*, void*, void*, void*, void*);
  alignas(16) static thread_local unsigned char scratch[8][256];
  std::memset(scratch, 0, sizeof scratch);
  auto method = (*static_cast<AnyMethod**>(itf))[slot];
  return method(itf, scratch[0], scratch[1], scratch[2], scratch[3], scratch[4], scratch[5],
                scratch[6], scratch[7]);
}

TEST(ThreadingTest, EveryMethodOfEveryInterfaceHandedOutRefusesAForeignThread) {
  ScriptedRuntime rt;
  TestObject t(rt.runtime());
  t.comms->put_PortComm(3);
  RecordingSink sink;
  const DWORD cookie = Connect(t.comms.get(), &sink);

  Ref<IConnectionPointContainer> container;
  Ref<ISupportErrorInfo> errors;
  Ref<IProvideClassInfo> classInfo;
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IConnectionPointContainer,
                                          reinterpret_cast<void**>(container.out())));
  ASSERT_EQ(S_OK,
            t.comms->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(errors.out())));
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IProvideClassInfo,
                                          reinterpret_cast<void**>(classInfo.out())));
  Ref<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  Ref<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.out()));
  Ref<IEnumConnections> connections;
  ASSERT_EQ(S_OK, point->EnumConnections(connections.out()));

  struct Surface {
    const char* name;
    void* itf;
    size_t slots;  // including the three of IUnknown
  };
  const Surface surfaces[] = {
      {"_comms", t.comms.get(), MemberTable().back().slot + 1u},
      {"IConnectionPointContainer", container.get(), 5},
      {"ISupportErrorInfo", errors.get(), 4},
      {"IProvideClassInfo", classInfo.get(), 4},
      {"IConnectionPoint", point.get(), 8},
      {"IEnumConnectionPoints", points.get(), 7},
      {"IEnumConnections", connections.get(), 7},
  };
  size_t walked = 0;
  std::thread([&] {
    for (const Surface& s : surfaces) {
      for (size_t slot = 3; slot < s.slots; ++slot, ++walked)
        EXPECT_EQ(RPC_E_WRONG_THREAD, CallSlot(s.itf, slot)) << s.name << " slot " << slot;
      // IUnknown stays free-threaded.
      auto* unknown = static_cast<IUnknown*>(s.itf);
      const ULONG held = unknown->AddRef();
      EXPECT_EQ(held - 1, unknown->Release()) << s.name;
      Ref<IUnknown> identity;
      EXPECT_EQ(S_OK,
                unknown->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.out())));
    }
  }).join();
  EXPECT_EQ(30u + 4 + 2 + 1 + 1 + 5 + 4 + 4, walked);

  // Nothing moved: the property, the sinks and the enumerators' positions.
  short port = 0;
  t.comms->get_PortComm(&port);
  EXPECT_EQ(3, port);
  EXPECT_EQ(1u, t.object()->events().SinkCount());
  CONNECTDATA data[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(cookie, data[0].dwCookie);
  data[0].pUnk->Release();
  IConnectionPoint* first = nullptr;
  EXPECT_EQ(S_OK, points->Next(1, &first, nullptr));
  ASSERT_NE(nullptr, first);
  first->Release();
  connections.reset();
  Disconnect(t.comms.get(), cookie);
  EXPECT_EQ(1, sink.refs);
}

// A host thread that advises and unadvises while the owner raises events
// must change nothing the owner is reading (this was a use after free).
TEST(ThreadingTest, AdviseFromAnotherThreadDuringDeliveryIsRefused) {
  ScriptedRuntime rt;
  TestObject t(rt.runtime());
  RecordingSink owned;
  const DWORD cookie = Connect(t.comms.get(), &owned);
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IConnectionPointContainer,
                                          reinterpret_cast<void**>(container.out())));
  Ref<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  std::atomic<bool> done{false};
  std::atomic<int> accepted{0};
  std::thread intruder([&] {
    RecordingSink foreign;
    for (int i = 0; i < 20000 && !done; ++i) {
      DWORD c = 0;
      if (point->Advise(&foreign, &c) != RPC_E_WRONG_THREAD) ++accepted;
      if (point->Unadvise(c ? c : 1) != RPC_E_WRONG_THREAD) ++accepted;
      Ref<IEnumConnections> e;
      if (point->EnumConnections(e.out()) != RPC_E_WRONG_THREAD) ++accepted;
    }
  });
  for (int i = 0; i < 2000; ++i) t.object()->events().Raise(KAVREL_DISPID_DATASENT, u"x");
  done = true;
  intruder.join();
  EXPECT_EQ(0, accepted.load());
  EXPECT_EQ(2000u, owned.events.size());
  EXPECT_EQ(1u, t.object()->events().SinkCount());
  Disconnect(t.comms.get(), cookie);
}

TEST(ThreadingTest, EachThreadHasItsOwnThreadStateSharedByItsObjects) {
  CurrentThreadState().intLoopState = 4;
  CurrentThreadState().lngStatus = 77;
  std::thread([] {
    ThreadState& s = CurrentThreadState();
    EXPECT_EQ(0, s.intLoopState);
    EXPECT_EQ(0, s.lngStatus);
    EXPECT_EQ(0u, s.strReceived.length());
    s.lngStatus = 5;
  }).join();
  EXPECT_EQ(77, CurrentThreadState().lngStatus);
  CurrentThreadState() = ThreadState{};
}

}  // namespace
}  // namespace kavrel::testing
