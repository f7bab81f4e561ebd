// The object's identity, lifetime, threading and the class factory.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "component/class_factory.h"
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
