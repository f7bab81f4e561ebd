/*
 * Kavrel - the automation binary interface.
 *
 * On Windows this is the platform SDK's own <oaidl.h>/<ocidl.h>. Elsewhere it
 * declares the same types with the same widths and layouts (LONG is 32 bits,
 * OLECHAR is UTF-16), the same interface vtables and the real Windows HRESULT
 * values, so that code written against COM compiles unchanged on both.
 *
 * Usable from C and from C++. In C++ an interface is an abstract struct whose
 * virtual functions form the vtable in declaration order (no virtual
 * destructor ever enters a vtable); in C it is a struct holding lpVtbl.
 */
#ifndef KAVREL_AUTOMATION_H
#define KAVREL_AUTOMATION_H

#if defined(_WIN32)

#include <oaidl.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#else /* !_WIN32 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KAVREL_EXTERN_C extern "C"
#else
#define KAVREL_EXTERN_C extern
#endif

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI
#define STDAPI KAVREL_EXTERN_C HRESULT STDAPICALLTYPE

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef int32_t SCODE;
typedef int32_t DISPID;
typedef int32_t MEMBERID;
typedef int32_t INT;
typedef int32_t BOOL;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t LCID;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint16_t VARTYPE;
typedef int16_t SHORT;
typedef int16_t VARIANT_BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef double DATE;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&
inline bool operator==(const GUID& a, const GUID& b) {
  // Two 8-byte halves: the compiler makes each one load and compare.
  uint64_t x[2], y[2];
  __builtin_memcpy(x, &a, sizeof x);
  __builtin_memcpy(y, &b, sizeof y);
  return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
#define IsEqualGUID(a, b) ((a) == (b))
#else
#define REFGUID const GUID*
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif

typedef union tagCY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  } s;
  LONGLONG int64;
} CY;

typedef struct tagDEC {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
} DECIMAL;

/* HRESULT values: the real Windows ones. */
#define KAVREL_HR(x) ((HRESULT)(uint32_t)(x))
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL KAVREL_HR(0x80004001u)
#define E_NOINTERFACE KAVREL_HR(0x80004002u)
#define E_POINTER KAVREL_HR(0x80004003u)
#define E_ABORT KAVREL_HR(0x80004004u)
#define E_FAIL KAVREL_HR(0x80004005u)
#define E_UNEXPECTED KAVREL_HR(0x8000FFFFu)
#define E_ACCESSDENIED KAVREL_HR(0x80070005u)
#define E_OUTOFMEMORY KAVREL_HR(0x8007000Eu)
#define E_INVALIDARG KAVREL_HR(0x80070057u)
#define DISP_E_UNKNOWNINTERFACE KAVREL_HR(0x80020001u)
#define DISP_E_MEMBERNOTFOUND KAVREL_HR(0x80020003u)
#define DISP_E_PARAMNOTFOUND KAVREL_HR(0x80020004u)
#define DISP_E_TYPEMISMATCH KAVREL_HR(0x80020005u)
#define DISP_E_UNKNOWNNAME KAVREL_HR(0x80020006u)
#define DISP_E_NONAMEDARGS KAVREL_HR(0x80020007u)
#define DISP_E_BADVARTYPE KAVREL_HR(0x80020008u)
#define DISP_E_EXCEPTION KAVREL_HR(0x80020009u)
#define DISP_E_OVERFLOW KAVREL_HR(0x8002000Au)
#define DISP_E_BADINDEX KAVREL_HR(0x8002000Bu)
#define DISP_E_BADPARAMCOUNT KAVREL_HR(0x8002000Eu)
#define DISP_E_PARAMNOTOPTIONAL KAVREL_HR(0x8002000Fu)
#define TYPE_E_ELEMENTNOTFOUND KAVREL_HR(0x8002802Bu)
#define CLASS_E_NOAGGREGATION KAVREL_HR(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE KAVREL_HR(0x80040111u)
#define CONNECT_E_NOCONNECTION KAVREL_HR(0x80040200u)
#define CONNECT_E_ADVISELIMIT KAVREL_HR(0x80040201u)
#define CONNECT_E_CANNOTCONNECT KAVREL_HR(0x80040202u)
#define SELFREG_E_TYPELIB KAVREL_HR(0x80040200u)
#define SELFREG_E_CLASS KAVREL_HR(0x80040201u)
#define RPC_E_WRONG_THREAD KAVREL_HR(0x8001010Eu)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)

/* VARIANT types */
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF
};

#define DISPID_UNKNOWN ((DISPID)-1)
#define DISPID_VALUE ((DISPID)0)
#define DISPID_PROPERTYPUT ((DISPID)-3)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

#ifdef __cplusplus
struct IUnknown;
struct IDispatch;
struct ITypeInfo;
#else
typedef struct IUnknown IUnknown;
typedef struct IDispatch IDispatch;
typedef struct ITypeInfo ITypeInfo;
#endif

/* The members are reached as v.vt, v.lVal, ... through unnamed unions and
 * structs, as with the platform headers; KAVREL_NAMELESS marks them as the
 * extension they are in C99 and C++, so that hosts building with -pedantic
 * (and -Werror) still compile. */
#if defined(__GNUC__)
#define KAVREL_NAMELESS __extension__
#else
#define KAVREL_NAMELESS
#endif

typedef struct tagVARIANT VARIANT;
typedef VARIANT VARIANTARG;
KAVREL_NAMELESS struct tagVARIANT {
  KAVREL_NAMELESS union {
    KAVREL_NAMELESS struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      KAVREL_NAMELESS union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL* pdecVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        KAVREL_NAMELESS struct {
          void* pvRecord;
          void* pRecInfo;
        } brecVal;
      };
    };
    DECIMAL decVal;
  };
};

#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_I2(X) ((X)->iVal)
#define V_I2REF(X) ((X)->piVal)
#define V_I4(X) ((X)->lVal)
#define V_I4REF(X) ((X)->plVal)
#define V_R8(X) ((X)->dblVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_ERROR(X) ((X)->scode)

typedef struct tagDISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
  SCODE scode;
} EXCEPINFO;

typedef struct tagCONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
} CONNECTDATA;

/* Interface identifiers: header-only constants, nothing to link. */
#if defined(__GNUC__)
#define KAVREL_IID_UNUSED __attribute__((unused))
#else
#define KAVREL_IID_UNUSED
#endif
#define KAVREL_OLE_IID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  static const IID name KAVREL_IID_UNUSED = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
KAVREL_OLE_IID(IID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
KAVREL_OLE_IID(IID_IUnknown, 0x00000000, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
KAVREL_OLE_IID(IID_IDispatch, 0x00020400, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
KAVREL_OLE_IID(IID_IClassFactory, 0x00000001, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
KAVREL_OLE_IID(IID_IConnectionPointContainer, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA,
               0x00, 0x34, 0x1D, 0x07);
KAVREL_OLE_IID(IID_IEnumConnectionPoints, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
               0x34, 0x1D, 0x07);
KAVREL_OLE_IID(IID_IConnectionPoint, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
               0x1D, 0x07);
KAVREL_OLE_IID(IID_IEnumConnections, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
               0x1D, 0x07);
KAVREL_OLE_IID(IID_IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
               0x34, 0x1D, 0x07);
KAVREL_OLE_IID(IID_ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B,
               0x2B, 0xD1, 0x19);
KAVREL_OLE_IID(IID_IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1,
               0x19);

/*
 * Interfaces. KAVREL_INTERFACE_* expand to an abstract struct in C++ and to a
 * vtable struct plus an lpVtbl struct in C.
 */
#ifdef __cplusplus

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                  LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                           DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                           EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct IConnectionPointContainer;
struct IEnumConnections;

struct IConnectionPoint : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;
};

struct IEnumConnectionPoints : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, IConnectionPoint** ppCP,
                                         ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** ppEnum) = 0;
};

struct IConnectionPointContainer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

struct IEnumConnections : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, CONNECTDATA* rgcd,
                                         ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** ppEnum) = 0;
};

struct ITypeInfo : public IUnknown {};

struct IProvideClassInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) = 0;
};

struct ISupportErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) = 0;
};

#else /* C */

#define KAVREL_IUNKNOWN_METHODS(T)                                               \
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(T * This, REFIID riid, void** ppv); \
  ULONG(STDMETHODCALLTYPE* AddRef)(T * This);                                    \
  ULONG(STDMETHODCALLTYPE* Release)(T * This);
#define KAVREL_IDISPATCH_METHODS(T)                                                                \
  KAVREL_IUNKNOWN_METHODS(T)                                                                       \
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(T * This, UINT * pctinfo);                          \
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(T * This, UINT iTInfo, LCID lcid, ITypeInfo * *ppTInfo); \
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)                                                        \
  (T * This, REFIID riid, LPOLESTR * rgszNames, UINT cNames, LCID lcid, DISPID * rgDispId);        \
  HRESULT(STDMETHODCALLTYPE* Invoke)                                                               \
  (T * This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS * pDispParams,   \
   VARIANT * pVarResult, EXCEPINFO * pExcepInfo, UINT * puArgErr);

typedef struct IUnknownVtbl {
  KAVREL_IUNKNOWN_METHODS(IUnknown)
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl* lpVtbl;
};
typedef struct IDispatchVtbl {
  KAVREL_IDISPATCH_METHODS(IDispatch)
} IDispatchVtbl;
struct IDispatch {
  const IDispatchVtbl* lpVtbl;
};
typedef struct IClassFactory IClassFactory;
typedef struct IClassFactoryVtbl {
  KAVREL_IUNKNOWN_METHODS(IClassFactory)
  HRESULT(STDMETHODCALLTYPE* CreateInstance)
  (IClassFactory* This, IUnknown* pUnkOuter, REFIID riid, void** ppvObject);
  HRESULT(STDMETHODCALLTYPE* LockServer)(IClassFactory* This, BOOL fLock);
} IClassFactoryVtbl;
struct IClassFactory {
  const IClassFactoryVtbl* lpVtbl;
};
typedef struct IConnectionPointContainer IConnectionPointContainer;
typedef struct IConnectionPoint IConnectionPoint;
typedef struct IEnumConnections IEnumConnections;
typedef struct IEnumConnectionPoints IEnumConnectionPoints;
typedef struct IConnectionPointVtbl {
  KAVREL_IUNKNOWN_METHODS(IConnectionPoint)
  HRESULT(STDMETHODCALLTYPE* GetConnectionInterface)(IConnectionPoint* This, IID* pIID);
  HRESULT(STDMETHODCALLTYPE* GetConnectionPointContainer)
  (IConnectionPoint* This, IConnectionPointContainer** ppCPC);
  HRESULT(STDMETHODCALLTYPE* Advise)(IConnectionPoint* This, IUnknown* pUnkSink, DWORD* pdwCookie);
  HRESULT(STDMETHODCALLTYPE* Unadvise)(IConnectionPoint* This, DWORD dwCookie);
  HRESULT(STDMETHODCALLTYPE* EnumConnections)(IConnectionPoint* This, IEnumConnections** ppEnum);
} IConnectionPointVtbl;
struct IConnectionPoint {
  const IConnectionPointVtbl* lpVtbl;
};
typedef struct IConnectionPointContainerVtbl {
  KAVREL_IUNKNOWN_METHODS(IConnectionPointContainer)
  HRESULT(STDMETHODCALLTYPE* EnumConnectionPoints)
  (IConnectionPointContainer* This, IEnumConnectionPoints** ppEnum);
  HRESULT(STDMETHODCALLTYPE* FindConnectionPoint)
  (IConnectionPointContainer* This, REFIID riid, IConnectionPoint** ppCP);
} IConnectionPointContainerVtbl;
struct IConnectionPointContainer {
  const IConnectionPointContainerVtbl* lpVtbl;
};
typedef struct IEnumConnectionsVtbl {
  KAVREL_IUNKNOWN_METHODS(IEnumConnections)
  HRESULT(STDMETHODCALLTYPE* Next)
  (IEnumConnections* This, ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched);
  HRESULT(STDMETHODCALLTYPE* Skip)(IEnumConnections* This, ULONG cConnections);
  HRESULT(STDMETHODCALLTYPE* Reset)(IEnumConnections* This);
  HRESULT(STDMETHODCALLTYPE* Clone)(IEnumConnections* This, IEnumConnections** ppEnum);
} IEnumConnectionsVtbl;
struct IEnumConnections {
  const IEnumConnectionsVtbl* lpVtbl;
};
typedef struct IEnumConnectionPointsVtbl {
  KAVREL_IUNKNOWN_METHODS(IEnumConnectionPoints)
  HRESULT(STDMETHODCALLTYPE* Next)
  (IEnumConnectionPoints* This, ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched);
  HRESULT(STDMETHODCALLTYPE* Skip)(IEnumConnectionPoints* This, ULONG cConnections);
  HRESULT(STDMETHODCALLTYPE* Reset)(IEnumConnectionPoints* This);
  HRESULT(STDMETHODCALLTYPE* Clone)(IEnumConnectionPoints* This, IEnumConnectionPoints** ppEnum);
} IEnumConnectionPointsVtbl;
struct IEnumConnectionPoints {
  const IEnumConnectionPointsVtbl* lpVtbl;
};
typedef struct ISupportErrorInfo ISupportErrorInfo;
typedef struct ISupportErrorInfoVtbl {
  KAVREL_IUNKNOWN_METHODS(ISupportErrorInfo)
  HRESULT(STDMETHODCALLTYPE* InterfaceSupportsErrorInfo)(ISupportErrorInfo* This, REFIID riid);
} ISupportErrorInfoVtbl;
struct ISupportErrorInfo {
  const ISupportErrorInfoVtbl* lpVtbl;
};
typedef struct IErrorInfo IErrorInfo;
typedef struct IErrorInfoVtbl {
  KAVREL_IUNKNOWN_METHODS(IErrorInfo)
  HRESULT(STDMETHODCALLTYPE* GetGUID)(IErrorInfo* This, GUID* pGUID);
  HRESULT(STDMETHODCALLTYPE* GetSource)(IErrorInfo* This, BSTR* pBstrSource);
  HRESULT(STDMETHODCALLTYPE* GetDescription)(IErrorInfo* This, BSTR* pBstrDescription);
  HRESULT(STDMETHODCALLTYPE* GetHelpFile)(IErrorInfo* This, BSTR* pBstrHelpFile);
  HRESULT(STDMETHODCALLTYPE* GetHelpContext)(IErrorInfo* This, DWORD* pdwHelpContext);
} IErrorInfoVtbl;
struct IErrorInfo {
  const IErrorInfoVtbl* lpVtbl;
};

#endif /* __cplusplus */

/* Automation helpers exported by libkavrel.so (oleaut32's on Windows). */
KAVREL_EXTERN_C BSTR SysAllocString(const OLECHAR* psz);
KAVREL_EXTERN_C BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
KAVREL_EXTERN_C void SysFreeString(BSTR bstr);
KAVREL_EXTERN_C UINT SysStringLen(BSTR bstr);
KAVREL_EXTERN_C void VariantInit(VARIANT* pvarg);
KAVREL_EXTERN_C HRESULT VariantClear(VARIANT* pvarg);
KAVREL_EXTERN_C HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

#endif /* !_WIN32 */

#endif /* KAVREL_AUTOMATION_H */
