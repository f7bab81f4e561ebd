/*
 * Kavrel - serial-port communication component. What hosts include.
 *
 * The library serves one creatable class, `comms` (programmatic identifier
 * "Kavrel.comms"), whose default interface is the dual interface `_comms`
 * and whose event interface is the dispatch interface `__comms`.
 *
 * Every member returns an HRESULT. A member that fails returns 0x800A0000|N,
 * N being a runtime error number, with its description available through
 * GetErrorInfo(). Values come back through the last, out-pointer parameter.
 *
 * Linux: link with libkavrel.so (or dlopen it) and create the object with
 * DllGetClassObject(CLSID_comms, IID_IClassFactory, ...) (in C:
 * DllGetClassObject(&CLSID_comms, &IID_IClassFactory, ...)). Strings are BSTRs
 * made with the library's SysAllocString and freed with its SysFreeString.
 */
#ifndef KAVREL_KAVREL_H
#define KAVREL_KAVREL_H

#include "kavrel/automation.h"

#if defined(__GNUC__)
#define KAVREL_MAYBE_UNUSED __attribute__((unused))
#else
#define KAVREL_MAYBE_UNUSED
#endif

/* The four fixed identifiers, in registry form. */
#define KAVREL_LIBID "{6B3E9A40-2D7C-4F1B-8E25-A1C4D0B7F310}"
#define KAVREL_CLSID_COMMS "{6B3E9A41-2D7C-4F1B-8E25-A1C4D0B7F310}"
#define KAVREL_IID_COMMS "{6B3E9A42-2D7C-4F1B-8E25-A1C4D0B7F310}"
#define KAVREL_DIID_COMMS_EVENTS "{6B3E9A43-2D7C-4F1B-8E25-A1C4D0B7F310}"
#define KAVREL_PROGID "Kavrel.comms"

#define KAVREL_GUID_INIT(last)                                                               \
  {                                                                                          \
    0x6B3E9A40u + (last), 0x2D7C, 0x4F1B, { 0x8E, 0x25, 0xA1, 0xC4, 0xD0, 0xB7, 0xF3, 0x10 } \
  }

static const GUID LIBID_Kavrel KAVREL_MAYBE_UNUSED = KAVREL_GUID_INIT(0);
static const GUID CLSID_comms KAVREL_MAYBE_UNUSED = KAVREL_GUID_INIT(1);
static const GUID IID__comms KAVREL_MAYBE_UNUSED = KAVREL_GUID_INIT(2);
static const GUID DIID___comms KAVREL_MAYBE_UNUSED = KAVREL_GUID_INIT(3);

/* Member ids of _comms (a property's get and let share one id). */
#define KAVREL_DISPID_READBUFFER 0x68030000
#define KAVREL_DISPID_STATUSCOMM 0x68030001
#define KAVREL_DISPID_PORTCOMM 0x68030002
#define KAVREL_DISPID_BAUDCOMM 0x68030003
#define KAVREL_DISPID_COMPANY 0x68030004
#define KAVREL_DISPID_VERSION 0x68030005
#define KAVREL_DISPID_CLEARCOMM 0x60030006
#define KAVREL_DISPID_CONTROLOFF 0x60030007
#define KAVREL_DISPID_CONTROLON 0x60030008
#define KAVREL_DISPID_WRITECOMM 0x60030009
#define KAVREL_DISPID_WAITNOW 0x6003000A
#define KAVREL_DISPID_READCOMM 0x6003000B
#define KAVREL_DISPID_CLOSECOMM 0x6003000C
#define KAVREL_DISPID_OPENCOMM 0x6003000D
#define KAVREL_DISPID_GETSYSTEMMESSAGE 0x6003000E
#define KAVREL_DISPID_COMMOPEN 0x6003000F
#define KAVREL_DISPID_COMMSET 0x60030012
#define KAVREL_DISPID_COMMCLOSE 0x60030013
#define KAVREL_DISPID_COMMFLUSH 0x60030014
#define KAVREL_DISPID_COMMREAD 0x60030015
#define KAVREL_DISPID_COMMWRITE 0x60030016
#define KAVREL_DISPID_COMMGETLINE 0x60030017
#define KAVREL_DISPID_COMMSETLINE 0x60030018
#define KAVREL_DISPID_COMMGETERROR 0x60030019
#define KAVREL_DISPID_SETTINGEVAL 0x6003001A
#define KAVREL_DISPID_LOOPROCESS 0x6003001B

/* Events of __comms. */
#define KAVREL_DISPID_DATAARRIVED 1
#define KAVREL_DISPID_DATASENT 2

/* The 28 members of _comms in slot order, after the seven of IDispatch. */
#ifdef __cplusplus

struct _comms : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE ClearComm() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Company(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_BaudComm(LONG vData) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_BaudComm(LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PortComm(short vData) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PortComm(short* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_StatusComm(VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ReadBuffer(BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE ControlOff() = 0;
  virtual HRESULT STDMETHODCALLTYPE ControlOn() = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteComm(BSTR* strData1) = 0;
  virtual HRESULT STDMETHODCALLTYPE waitnow(LONG* valu1) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadComm() = 0;
  virtual HRESULT STDMETHODCALLTYPE CloseComm() = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenComm() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSystemMessage(LONG* lngErrorCode, BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings,
                                             LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommSet(short* intPortID, BSTR* strSettings, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommClose(short* intPortID, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommFlush(short* intPortID, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommRead(short* intPortID, BSTR* strData, LONG* lngSize,
                                             LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommWrite(short* intPortID, BSTR* strData, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommGetLine(short* intPortID, short* intLine,
                                                VARIANT_BOOL* blnState, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommSetLine(short* intPortID, short* intLine,
                                                VARIANT_BOOL* blnState, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommGetError(BSTR* strMessage, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE settingeval(LONG* p1, BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE looprocess() = 0;
};

/* The event interface is dispatch-only: sinks implement IDispatch::Invoke. */
struct __comms : public IDispatch {};

#else /* C */

typedef struct _comms _comms;
typedef struct _commsVtbl {
  KAVREL_IDISPATCH_METHODS(_comms)
  HRESULT(STDMETHODCALLTYPE* get_Version)(_comms* This, BSTR* result);
  HRESULT(STDMETHODCALLTYPE* ClearComm)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* get_Company)(_comms* This, BSTR* result);
  HRESULT(STDMETHODCALLTYPE* put_BaudComm)(_comms* This, LONG vData);
  HRESULT(STDMETHODCALLTYPE* get_BaudComm)(_comms* This, LONG* result);
  HRESULT(STDMETHODCALLTYPE* put_PortComm)(_comms* This, short vData);
  HRESULT(STDMETHODCALLTYPE* get_PortComm)(_comms* This, short* result);
  HRESULT(STDMETHODCALLTYPE* get_StatusComm)(_comms* This, VARIANT_BOOL* result);
  HRESULT(STDMETHODCALLTYPE* get_ReadBuffer)(_comms* This, BSTR* result);
  HRESULT(STDMETHODCALLTYPE* ControlOff)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* ControlOn)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* WriteComm)(_comms* This, BSTR* strData1);
  HRESULT(STDMETHODCALLTYPE* waitnow)(_comms* This, LONG* valu1);
  HRESULT(STDMETHODCALLTYPE* ReadComm)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* CloseComm)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* OpenComm)(_comms* This);
  HRESULT(STDMETHODCALLTYPE* GetSystemMessage)(_comms* This, LONG* lngErrorCode, BSTR* result);
  HRESULT(STDMETHODCALLTYPE* CommOpen)
  (_comms* This, short* intPortID, BSTR* strPort, BSTR* strSettings, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommSet)
  (_comms* This, short* intPortID, BSTR* strSettings, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommClose)(_comms* This, short* intPortID, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommFlush)(_comms* This, short* intPortID, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommRead)
  (_comms* This, short* intPortID, BSTR* strData, LONG* lngSize, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommWrite)
  (_comms* This, short* intPortID, BSTR* strData, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommGetLine)
  (_comms* This, short* intPortID, short* intLine, VARIANT_BOOL* blnState, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommSetLine)
  (_comms* This, short* intPortID, short* intLine, VARIANT_BOOL* blnState, LONG* result);
  HRESULT(STDMETHODCALLTYPE* CommGetError)(_comms* This, BSTR* strMessage, LONG* result);
  HRESULT(STDMETHODCALLTYPE* settingeval)(_comms* This, LONG* p1, BSTR* result);
  HRESULT(STDMETHODCALLTYPE* looprocess)(_comms* This);
} _commsVtbl;
struct _comms {
  const _commsVtbl* lpVtbl;
};

#endif /* __cplusplus */

#if !defined(_WIN32)
/*
 * The in-process server entry points (on Windows the platform calls them).
 */
KAVREL_EXTERN_C HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
KAVREL_EXTERN_C HRESULT DllCanUnloadNow(void);
KAVREL_EXTERN_C HRESULT DllRegisterServer(void);
KAVREL_EXTERN_C HRESULT DllUnregisterServer(void);

/*
 * The message pump. Where the component pumps the host's messages (inside
 * CommRead, CommWrite and every pass of looprocess) it calls the pump that
 * the host installed for the calling thread, once per pumping point. A host
 * with its own event loop (GLib, Qt, ...) installs a function that runs the
 * pending events of that loop and returns. A null pump removes it; with none
 * installed, pumping does nothing. The pump may call back into any comms
 * object of the thread.
 */
typedef void (*KavrelMessagePump)(void* context);
KAVREL_EXTERN_C void KavrelSetMessagePump(KavrelMessagePump pump, void* context);
#endif

#endif /* KAVREL_KAVREL_H */
