// The object's one connection point, for the event interface __comms, and
// the raising of its events on every connected sink.
#pragma once

#include <vector>

#include "component/apartment.h"
#include "component/bstr.h"
#include "kavrel/kavrel.h"

namespace kavrel {

class EventSource final : public IConnectionPoint {
 public:
  // The connection point lives inside its container and shares its lifetime
  // and its apartment.
  EventSource(IConnectionPointContainer* container, const Apartment& apartment)
      : container_(container), apartment_(apartment) {}
  ~EventSource();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  // Calls IDispatch::Invoke(id, DISPATCH_METHOD, one VT_BSTR argument) on
  // every sink, in the order they were advised, synchronously. Sinks may
  // unadvise themselves or others, or release the object, meanwhile.
  void Raise(DISPID id, std::u16string_view text);

  size_t SinkCount() const { return sinks_.size(); }

 private:
  HRESULT Connect(IUnknown* pUnkSink, DWORD* pdwCookie);
  HRESULT Disconnect(DWORD dwCookie);
  HRESULT Enumerate(IEnumConnections** ppEnum);

  struct Sink {
    DWORD cookie;
    IDispatch* sink;
  };
  IConnectionPointContainer* container_;
  const Apartment& apartment_;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
};

}  // namespace kavrel
