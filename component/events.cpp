#include "component/events.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "component/class_factory.h"
#include "component/enumerators.h"

namespace kavrel {

namespace {

// One enumerator template for both kinds: Element is what Next hands out.
template <class Interface, class Element>
class Enumerator final : public Interface {
 public:
  Enumerator(const Apartment& apartment, const IID& iid, std::vector<Element> items,
             size_t position = 0)
      : apartment_(apartment), iid_(iid), items_(std::move(items)), position_(position) {
    for (auto& item : items_) Ref(item)->AddRef();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Element* out, ULONG* fetched) override {
    return apartment_.Enter([&] {
      if (!out || (count > 1 && !fetched)) return E_POINTER;
      ULONG n = 0;
      while (n < count && position_ < items_.size()) {
        out[n] = items_[position_++];
        Ref(out[n])->AddRef();
        ++n;
      }
      if (fetched) *fetched = n;
      return n == count ? S_OK : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    return apartment_.Enter([&] {
      const size_t left = items_.size() - position_;
      position_ += std::min<size_t>(count, left);
      return count <= left ? S_OK : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    return apartment_.Enter([&] {
      position_ = 0;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** ppEnum) override {
    return apartment_.Enter([&] {
      if (!ppEnum) return E_POINTER;
      try {
        *ppEnum = new Enumerator(apartment_, iid_, items_, position_);
        return S_OK;
      } catch (...) {
        *ppEnum = nullptr;
        return E_OUTOFMEMORY;
      }
    });
  }

 private:
  ~Enumerator() {
    for (auto& item : items_) Ref(item)->Release();
  }
  static IUnknown* Ref(IConnectionPoint* p) { return p; }
  static IUnknown* Ref(const CONNECTDATA& d) { return d.pUnk; }

  ModuleObject counted_;
  Apartment apartment_;
  IID iid_;
  std::vector<Element> items_;
  size_t position_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT MakeConnectionPointEnumerator(const Apartment& apartment, IConnectionPoint* const* points,
                                      size_t count, IEnumConnectionPoints** ppEnum) {
  *ppEnum = nullptr;
  try {
    std::vector<IConnectionPoint*> items(points, points + count);
    *ppEnum = new Enumerator<IEnumConnectionPoints, IConnectionPoint*>(
        apartment, IID_IEnumConnectionPoints, std::move(items));
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT MakeConnectionEnumerator(const Apartment& apartment, const CONNECTDATA* connections,
                                 size_t count, IEnumConnections** ppEnum) {
  *ppEnum = nullptr;
  try {
    std::vector<CONNECTDATA> items(connections, connections + count);
    *ppEnum = new Enumerator<IEnumConnections, CONNECTDATA>(apartment, IID_IEnumConnections,
                                                            std::move(items));
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

EventSource::~EventSource() {
  for (auto& s : sinks_) s.sink->Release();
}

HRESULT EventSource::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG EventSource::AddRef() { return container_->AddRef(); }
ULONG EventSource::Release() { return container_->Release(); }

HRESULT EventSource::GetConnectionInterface(IID* pIID) {
  return apartment_.Enter([&] {
    if (!pIID) return E_POINTER;
    *pIID = DIID___comms;
    return S_OK;
  });
}

HRESULT EventSource::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  return apartment_.Enter([&] {
    if (!ppCPC) return E_POINTER;
    *ppCPC = container_;
    container_->AddRef();
    return S_OK;
  });
}

HRESULT EventSource::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  // The sink's QueryInterface is the host's code, which may let go of the
  // last reference to this point and its object: they live until the
  // connection is made.
  IConnectionPointContainer* const container = container_;
  container->AddRef();
  const HRESULT hr = apartment_.Enter([&] { return Connect(pUnkSink, pdwCookie); });
  container->Release();
  return hr;
}

HRESULT EventSource::Unadvise(DWORD dwCookie) {
  return apartment_.Enter([&] { return Disconnect(dwCookie); });
}

HRESULT EventSource::EnumConnections(IEnumConnections** ppEnum) {
  return apartment_.Enter([&] { return Enumerate(ppEnum); });
}

HRESULT EventSource::Connect(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (!pUnkSink) return E_POINTER;
  IDispatch* sink = nullptr;
  if (FAILED(pUnkSink->QueryInterface(DIID___comms, reinterpret_cast<void**>(&sink))) || !sink) {
    sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink))) || !sink)
      return CONNECT_E_CANNOTCONNECT;
  }
  try {
    sinks_.push_back({nextCookie_, sink});
  } catch (...) {
    sink->Release();
    return E_OUTOFMEMORY;
  }
  *pdwCookie = nextCookie_++;
  return S_OK;
}

HRESULT EventSource::Disconnect(DWORD dwCookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [&](const Sink& s) { return s.cookie == dwCookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  IDispatch* sink = it->sink;
  sinks_.erase(it);
  sink->Release();
  return S_OK;
}

HRESULT EventSource::Enumerate(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  std::vector<CONNECTDATA> data;
  try {
    for (auto& s : sinks_) data.push_back({s.sink, s.cookie});
  } catch (...) {
    *ppEnum = nullptr;
    return E_OUTOFMEMORY;
  }
  return MakeConnectionEnumerator(apartment_, data.data(), data.size(), ppEnum);
}

void EventSource::Raise(DISPID id, std::u16string_view text) {
  if (sinks_.empty()) return;
  // Deliver to the sinks connected now, in order; one that an earlier sink
  // unadvised meanwhile is skipped. Each stays referenced while it runs.
  std::vector<Sink> snapshot = sinks_;
  for (auto& s : snapshot) s.sink->AddRef();
  // The container (the object) stays alive until delivery ends, whatever
  // the sinks release. Both are let go however it ends: out of memory, or
  // a handler that ends its thread (which unwinds through here).
  container_->AddRef();
  struct Held {
    std::vector<Sink>& sinks;
    IUnknown* container;
    ~Held() {
      for (auto& s : sinks) s.sink->Release();
      container->Release();
    }
  } held{snapshot, container_};
  for (auto& s : snapshot) {
    const bool connected = std::any_of(sinks_.begin(), sinks_.end(), [&](const Sink& c) {
      return c.cookie == s.cookie && c.sink == s.sink;
    });
    if (!connected) continue;
    VARIANT arg;
    ::VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                      static_cast<UINT>(text.size()));
    if (!arg.bstrVal) throw std::bad_alloc();
    struct Cleared {
      VARIANT& v;
      ~Cleared() { ::VariantClear(&v); }
    } cleared{arg};
    DISPPARAMS params{&arg, nullptr, 1, 0};
    EXCEPINFO excep{};
    UINT argErr = 0;
    s.sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, &argErr);
    ::SysFreeString(excep.bstrSource);
    ::SysFreeString(excep.bstrDescription);
    ::SysFreeString(excep.bstrHelpFile);
  }
}

}  // namespace kavrel
