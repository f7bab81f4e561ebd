// The connection point of __comms and event delivery.
#include <gtest/gtest.h>

#include <utility>

#include "support/test_host.h"

namespace kavrel::testing {
namespace {

class EventsTest : public ::testing::Test {
 protected:
  ScriptedRuntime rt;
  TestObject t{rt.runtime()};
  EventSource& events() { return t.object()->events(); }
};

TEST_F(EventsTest, SinksGetEachEventInTheOrderTheyWereAdvised) {
  std::vector<std::string> order;
  RecordingSink a, b;
  a.handler = [&](DISPID, const std::u16string&) { order.push_back("a"); };
  b.handler = [&](DISPID, const std::u16string&) { order.push_back("b"); };
  const DWORD ca = Connect(t.comms.get(), &a);
  const DWORD cb = Connect(t.comms.get(), &b);
  EXPECT_NE(ca, cb);
  events().Raise(KAVREL_DISPID_DATAARRIVED, u"hello");
  events().Raise(KAVREL_DISPID_DATASENT, u"");
  EXPECT_EQ((std::vector<std::string>{"a", "b", "a", "b"}), order);
  ASSERT_EQ(2u, a.events.size());
  EXPECT_EQ(1, a.events[0].first);
  EXPECT_EQ(u"hello", a.events[0].second);
  EXPECT_EQ(2, a.events[1].first);
  Disconnect(t.comms.get(), ca);
  events().Raise(1, u"x");
  EXPECT_EQ(2u, a.events.size());
  EXPECT_EQ(3u, b.events.size());
  Disconnect(t.comms.get(), cb);
  EXPECT_EQ(1, a.refs);
  EXPECT_EQ(1, b.refs);
}

TEST_F(EventsTest, SinksMayUnadviseOrReleaseTheObjectDuringDelivery) {
  RecordingSink a, b, c;
  DWORD cb = 0;
  a.handler = [&](DISPID, const std::u16string&) { Disconnect(t.comms.get(), cb); };
  Connect(t.comms.get(), &a);
  cb = Connect(t.comms.get(), &b);
  const DWORD cc = Connect(t.comms.get(), &c);
  c.handler = [&](DISPID, const std::u16string&) {
    Disconnect(t.comms.get(), cc);  // itself
    t.comms.reset();                // and the host's last reference
  };
  t.object();  // still alive
  CommsObject* raw = t.object();
  raw->AddRef();  // stands for the reference a running member holds
  raw->events().Raise(1, u"x");
  EXPECT_TRUE(b.events.empty()) << "unadvised before its turn";
  EXPECT_EQ(1u, c.events.size());
  raw->Release();  // the object goes now; with it the connection of a
  EXPECT_EQ(1, a.refs);
  EXPECT_EQ(1, c.refs);
}

TEST_F(EventsTest, ASinkThatReleasesThePointWhileAskedForItsInterfaceIsStillConnected) {
  struct Releasing final : TestDispatch {
    Releasing() : TestDispatch(&DIID___comms) {}
    IConnectionPoint* point = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      if (point) std::exchange(point, nullptr)->Release();  // the host's last reference
      return TestDispatch::QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
      return S_OK;
    }
  } sink;
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IConnectionPointContainer,
                                          reinterpret_cast<void**>(container.out())));
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, &sink.point));
  const LONG before = CommsObject::LiveObjects();
  container.reset();
  t.comms.reset();
  DWORD cookie = 0;
  IConnectionPoint* point = sink.point;
  EXPECT_EQ(S_OK, point->Advise(&sink, &cookie));
  EXPECT_NE(0u, cookie);
  EXPECT_EQ(before - 1, CommsObject::LiveObjects()) << "gone once the call was over";
  EXPECT_EQ(1, sink.refs) << "and its connection with it";
}

TEST_F(EventsTest, TheConnectionPointIsFoundEnumeratedAndValidated) {
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, t.comms->QueryInterface(IID_IConnectionPointContainer,
                                          reinterpret_cast<void**>(container.out())));
  Ref<IConnectionPoint> point;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID__comms, point.out()));
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  IID iid{};
  point->GetConnectionInterface(&iid);
  EXPECT_TRUE(iid == DIID___comms);
  Ref<IConnectionPointContainer> back;
  point->GetConnectionPointContainer(back.out());
  EXPECT_EQ(container.get(), back.get());

  Ref<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.out()));
  IConnectionPoint* got[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, points->Next(2, got, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(point.get(), got[0]);
  got[0]->Release();

  // A sink that is no dispatch interface cannot connect; unknown cookies fail.
  struct NotDispatch final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** p) override {
      *p = nullptr;
      return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } plain;
  DWORD cookie = 0;
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&plain, &cookie));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(4242));

  RecordingSink a, b;
  DWORD ca = 0, cb = 0;
  point->Advise(&a, &ca);
  point->Advise(&b, &cb);
  Ref<IEnumConnections> conns;
  ASSERT_EQ(S_OK, point->EnumConnections(conns.out()));
  CONNECTDATA data[3] = {};
  ASSERT_EQ(S_FALSE, conns->Next(3, data, &fetched));
  ASSERT_EQ(2u, fetched);
  EXPECT_EQ(ca, data[0].dwCookie);
  EXPECT_EQ(cb, data[1].dwCookie);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
  conns.reset();
  point->Unadvise(ca);
  point->Unadvise(cb);
  EXPECT_EQ(1, a.refs);
}

TEST_F(EventsTest, RaisingWithNoSinkDoesNothing) {
  events().Raise(1, u"nobody");
  EXPECT_EQ(0u, events().SinkCount());
}

}  // namespace
}  // namespace kavrel::testing
