#include "component/comms_object.h"

#include <new>

#include "component/enumerators.h"
#include "platform/hot_path.h"

namespace kavrel {

namespace {
std::atomic<LONG> gLiveObjects{0};
}

CommsObject::CommsObject(platform::Runtime& runtime)
    : runtime_(runtime), events_(static_cast<IConnectionPointContainer*>(this), apartment_) {
  ++gLiveObjects;
}

CommsObject::~CommsObject() { --gLiveObjects; }

LONG CommsObject::LiveObjects() { return gLiveObjects.load(); }

HRESULT CommsObject::Create(platform::Runtime& runtime, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* object = new (std::nothrow) CommsObject(runtime);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT CommsObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__comms) {
    *ppv = static_cast<_comms*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IProvideClassInfo) {
    *ppv = static_cast<IProvideClassInfo*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

KAVREL_HOT_PATH ULONG CommsObject::AddRef() { return ++refs_; }

KAVREL_HOT_PATH ULONG CommsObject::Release() {
  const ULONG n = --refs_;
  // The last reference frees the texts and the port table; a device still
  // open in the table stays open (a host may keep DTR up to power an
  // instrument): the host closes its ports before it lets the object go.
  if (n == 0) delete this;
  return n;
}

KAVREL_HOT_PATH PortSlot& CommsObject::Slot(short intPortID) {
  if (intPortID < 1 || intPortID > kPortSlots) Raise(kErrSubscript);
  return portTable[intPortID - 1];
}

HRESULT CommsObject::Fail(const RuntimeError& error) noexcept {
  try {
    if (error.description.empty()) {
      runtime_.errors.Clear();  // no older description in its place
    } else {
      runtime_.errors.Set(IID__comms, u"Kavrel", error.description);
    }
  } catch (...) {
    runtime_.errors.Clear();
  }
  return RuntimeErrorStatus(error.number);
}

std::string CommsObject::ToAnsi(BSTR text) {
  return runtime_.text.ToAnsi(text, text ? ::SysStringLen(text) : 0);
}

KAVREL_WRITE_PATH std::string_view CommsObject::ToAnsiExact(BSTR text, std::span<char> buffer,
                                                            std::string& spill, bool& exact) {
  const size_t length = text ? ::SysStringLen(text) : 0;
  const size_t converted =
      runtime_.text.ToAnsiExactInto(text, length, buffer.data(), buffer.size(), exact);
  if (converted != SIZE_MAX) return {buffer.data(), converted};
  spill = runtime_.text.ToAnsiExact(text, length, exact);
  return spill;
}

std::u16string CommsObject::FromAnsi(const char* bytes, size_t length) {
  return runtime_.text.FromAnsi(bytes, length);
}

KAVREL_READ_PATH void CommsObject::AssignFromAnsi(BSTR* target, const char* bytes, size_t length) {
  const BSTR fresh = runtime_.text.FromAnsiBstr(bytes, length);
  if (!fresh) throw std::bad_alloc();
  ::SysFreeString(*target);
  *target = fresh;
}

HRESULT CommsObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return apartment_.Enter([&] {
    if (!ppEnum) return E_POINTER;
    IConnectionPoint* points[] = {&events_};
    return MakeConnectionPointEnumerator(apartment_, points, 1, ppEnum);
  });
}

HRESULT CommsObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return apartment_.Enter([&] {
    if (!ppCP) return E_POINTER;
    if (riid != DIID___comms) {
      *ppCP = nullptr;
      return CONNECT_E_NOCONNECTION;
    }
    *ppCP = &events_;
    events_.AddRef();
    return S_OK;
  });
}

HRESULT CommsObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return apartment_.Enter([&] { return riid == IID__comms ? S_OK : S_FALSE; });
}

}  // namespace kavrel
