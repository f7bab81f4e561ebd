// The comms object: its fields, its interfaces and its members. Each member's
// body lives with its layer: port/ for the Comm* members and the record
// routines, connection/ for the connection members and properties.
#pragma once

#include <atomic>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "component/apartment.h"
#include "component/bstr.h"
#include "component/convention.h"
#include "component/events.h"
#include "component/thread_state.h"
#include "kavrel/kavrel.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace kavrel {

// _comms with the object's two private members in the slots after
// looprocess. Only the object itself calls them.
struct CommsPrivate : public _comms {
  virtual HRESULT STDMETHODCALLTYPE RecordDllError(BSTR* strOperation, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE RecordCommError(BSTR* strOperation, LONG* lngPortHandle,
                                                    LONG* result) = 0;
};

class CommsObject final : public CommsPrivate,
                          public IConnectionPointContainer,
                          public ISupportErrorInfo,
                          public IProvideClassInfo {
 public:
  // Creates an object over the given services and hands out riid.
  static HRESULT Create(platform::Runtime& runtime, REFIID riid, void** ppv);
  static LONG LiveObjects();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // _comms: connection properties and helpers (connection/properties.cpp)
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE get_Company(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE put_BaudComm(LONG vData) override;
  HRESULT STDMETHODCALLTYPE get_BaudComm(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_PortComm(short vData) override;
  HRESULT STDMETHODCALLTYPE get_PortComm(short* result) override;
  HRESULT STDMETHODCALLTYPE get_StatusComm(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_ReadBuffer(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE waitnow(LONG* valu1) override;
  HRESULT STDMETHODCALLTYPE settingeval(LONG* p1, BSTR* result) override;

  // _comms: connection open, close and line control (connection/open_close.cpp)
  HRESULT STDMETHODCALLTYPE OpenComm() override;
  HRESULT STDMETHODCALLTYPE CloseComm() override;
  HRESULT STDMETHODCALLTYPE ControlOn() override;
  HRESULT STDMETHODCALLTYPE ControlOff() override;

  // _comms: polling loop and transfers (connection/polling.cpp)
  HRESULT STDMETHODCALLTYPE ReadComm() override;
  HRESULT STDMETHODCALLTYPE ClearComm() override;
  HRESULT STDMETHODCALLTYPE WriteComm(BSTR* strData1) override;
  HRESULT STDMETHODCALLTYPE looprocess() override;

  // _comms: error record (port/error_record.cpp)
  HRESULT STDMETHODCALLTYPE GetSystemMessage(LONG* lngErrorCode, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE CommGetError(BSTR* strMessage, LONG* result) override;
  HRESULT STDMETHODCALLTYPE RecordDllError(BSTR* strOperation, LONG* result) override;
  HRESULT STDMETHODCALLTYPE RecordCommError(BSTR* strOperation, LONG* lngPortHandle,
                                            LONG* result) override;

  // _comms: opening, configuring, closing, flushing (port/open_close.cpp)
  HRESULT STDMETHODCALLTYPE CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings,
                                     LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommSet(short* intPortID, BSTR* strSettings, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommClose(short* intPortID, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommFlush(short* intPortID, LONG* result) override;

  // _comms: reading and writing (port/read_write.cpp)
  HRESULT STDMETHODCALLTYPE CommRead(short* intPortID, BSTR* strData, LONG* lngSize,
                                     LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommWrite(short* intPortID, BSTR* strData, LONG* result) override;

  // _comms: modem lines (port/modem_lines.cpp)
  HRESULT STDMETHODCALLTYPE CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                        LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                        LONG* result) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;

  // --- the object's fields, in declaration order ---
  OVERLAPPED udtOverlapped{};
  ErrorRecord errorRecord;
  PortSlot portTable[kPortSlots]{};
  Bstr readBuffer;
  VARIANT_BOOL statusComm = 0;
  short portComm = 0;
  LONG baudComm = 0;

  // --- for the member bodies ---
  // The object's own interface: every call between members goes through it.
  CommsPrivate* self() { return this; }
  platform::Runtime& runtime() { return runtime_; }
  platform::Platform& device() { return runtime_.device; }
  ThreadState& threadState() { return CurrentThreadState(); }
  EventSource& events() { return events_; }
  const Apartment& apartment() const { return apartment_; }
  bool OnOwnerThread() const { return apartment_.Current(); }

  // Set by the polling pass around its ClearComm: the flush then ends
  // transfers but keeps both queues: what was received and not yet read is
  // for the next pass's read, and what a WriteComm made during the pass has
  // counted as sent. A host's own ClearComm empties both.
  bool keepQueuesOnFlush = false;

  // The slot intPortID names; runtime error 9 outside 1 to 4.
  PortSlot& Slot(short intPortID);

  // Leaves a failure for the host: the status, with error information when
  // there is memory for it (and none when the error came without its
  // description). Never throws.
  HRESULT Fail(const RuntimeError& error) noexcept;

  // Text handed to the platform and back, in the ANSI code page.
  std::string ToAnsi(BSTR text);
  // The bytes of a text to send, converted into `buffer` when they surely
  // fit, else into `spill`; valid while both are. `exact` tells whether they
  // convert back to the very same text.
  std::string_view ToAnsiExact(BSTR text, std::span<char> buffer, std::string& spill, bool& exact);
  std::u16string FromAnsi(const char* bytes, size_t length);
  // Replaces *target with the text of the bytes.
  void AssignFromAnsi(BSTR* target, const char* bytes, size_t length);

 private:
  explicit CommsObject(platform::Runtime& runtime);
  ~CommsObject();

  std::atomic<ULONG> refs_{1};
  Apartment apartment_;
  platform::Runtime& runtime_;
  EventSource events_;
};

// The frame of a published member: the object's apartment, a reference held for the
// whole call, and an escaping runtime error turned into a failure status.
template <class Body>
HRESULT Published(CommsObject* object, Body&& body) {
  return object->apartment().Enter([&] {
    object->AddRef();
    struct Held {  // let go also when the thread ends inside the call
      CommsObject* object;
      ~Held() { object->Release(); }
    } held{object};
    HRESULT hr = S_OK;
    try {
      body();
    } catch (...) {
      hr = object->Fail(CurrentRuntimeError());
    }
    return hr;
  });
}

// The frame of a private member: as Published, without the reference.
template <class Body>
HRESULT Private(CommsObject* object, Body&& body) {
  return object->apartment().Enter([&] {
    try {
      body();
      return S_OK;
    } catch (...) {
      return object->Fail(CurrentRuntimeError());
    }
  });
}

// A text result: empty on entry, delivered empty when the member fails.
class TextResult {
 public:
  explicit TextResult(BSTR* out) : out_(out) { *out_ = nullptr; }
  void Set(std::u16string_view text) { value_ = Bstr(text); }
  void Set(Bstr text) { value_ = std::move(text); }
  void Deliver() { *out_ = value_.Detach(); }

 private:
  BSTR* out_;
  Bstr value_;
};

}  // namespace kavrel
