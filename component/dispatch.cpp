// Late binding: GetIDsOfNames and Invoke over the member table.
#include "component/coercion.h"
#include "component/comms_object.h"
#include "component/member_table.h"

namespace kavrel {

HRESULT CommsObject::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                   DISPID* rgDispId) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (!rgszNames || !rgDispId) return E_POINTER;
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  HRESULT hr = S_OK;
  rgDispId[0] = FindMemberId(rgszNames[0]);
  if (rgDispId[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  // Arguments are positional only: no parameter name is known.
  for (UINT i = 1; i < cNames; ++i) {
    rgDispId[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

namespace {

// Chooses the entry that the invoke flags ask for.
const MemberInfo* Select(const MemberInfo* const* found, int count, WORD flags) {
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  for (int i = 0; i < count; ++i) {
    const MemberInfo* m = found[i];
    switch (m->kind) {
      case MemberKind::PropertyPut:
        if (put) return m;
        break;
      case MemberKind::PropertyGet:
        if (!put && (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return m;
        break;
      case MemberKind::Method:
        if (!put && ((flags & DISPATCH_METHOD) || ((flags & DISPATCH_PROPERTYGET) && m->hasResult)))
          return m;
        break;
    }
  }
  return nullptr;
}

void FillException(EXCEPINFO* excep, HRESULT failure) {
  if (!excep) return;
  *excep = EXCEPINFO{};
  excep->scode = failure;
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) == S_OK && info) {
    info->GetSource(&excep->bstrSource);
    info->GetDescription(&excep->bstrDescription);
    info->Release();
  }
  if (!excep->bstrSource) excep->bstrSource = Bstr(u"Kavrel").Detach();
  if (!excep->bstrDescription) {
    const LONG number = RuntimeErrorNumberOf(failure);
    excep->bstrDescription = Bstr(RuntimeErrorDescription(number)).Detach();
  }
}

// Per-call argument storage; frees the temporary texts it made.
struct Arguments {
  ArgCell cells[3]{};
  void* refs[3]{};
  VARIANT* writeBack[3]{};
  ParamType types[3]{};
  UINT count = 0;

  ~Arguments() {
    for (UINT i = 0; i < count; ++i)
      if (types[i] == ParamType::Text && !refs[i]) ::SysFreeString(cells[i].text);
  }
};

VARTYPE VarTypeOf(ParamType type) {
  switch (type) {
    case ParamType::I2:
      return VT_I2;
    case ParamType::I4:
      return VT_I4;
    case ParamType::Bool:
      return VT_BOOL;
    case ParamType::Text:
      return VT_BSTR;
  }
  return VT_EMPTY;
}

}  // namespace

HRESULT CommsObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                            DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                            UINT* puArgErr) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!pDispParams) return E_POINTER;
  const MemberInfo* found[2];
  const int count = FindMembers(dispIdMember, found);
  if (count == 0) return DISP_E_MEMBERNOTFOUND;
  const MemberInfo* member = Select(found, count, wFlags);
  if (!member) return DISP_E_MEMBERNOTFOUND;

  const DISPPARAMS& dp = *pDispParams;
  if (dp.cArgs > 0 && !dp.rgvarg) return E_POINTER;
  if (member->kind == MemberKind::PropertyPut) {
    if (dp.cNamedArgs != 1 || !dp.rgdispidNamedArgs ||
        dp.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return dp.cNamedArgs == 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_NONAMEDARGS;
  } else if (dp.cNamedArgs != 0) {
    return DISP_E_NONAMEDARGS;
  }
  if (dp.cArgs != member->paramCount) return DISP_E_BADPARAMCOUNT;

  Arguments args;
  for (UINT i = 0; i < dp.cArgs; ++i) {
    const ParamInfo& param = member->params[i];
    const UINT position = dp.cArgs - 1 - i;  // arguments come last-first
    VARIANT& arg = dp.rgvarg[position];
    args.types[i] = param.type;
    const VARTYPE exact = static_cast<VARTYPE>(VT_BYREF | VarTypeOf(param.type));
    HRESULT hr = S_OK;
    if (param.byRef && arg.vt == exact) {
      if (!arg.byref) hr = E_POINTER;
      args.refs[i] = arg.byref;  // the caller's own variable
    } else if (param.byRef && arg.vt == (VT_BYREF | VT_VARIANT)) {
      VARIANT* inner = arg.pvarVal;
      if (!inner) {
        hr = E_POINTER;
      } else if (inner->vt == exact) {
        args.refs[i] = inner->byref;
      } else {
        hr = CoerceArgument(*inner, param.type, &args.cells[i]);
        if (SUCCEEDED(hr)) args.writeBack[i] = inner;
      }
    } else if (param.byRef && (arg.vt & VT_BYREF)) {
      hr = DISP_E_TYPEMISMATCH;  // a by-reference variable of another type
    } else {
      hr = CoerceArgument(arg, param.type, &args.cells[i]);
    }
    if (FAILED(hr)) {
      args.count = i;
      if (puArgErr) *puArgErr = position;
      return hr;
    }
    args.count = i + 1;
  }

  ArgCell result{};
  const HRESULT hr = member->invoke(self(), args.refs, args.cells, &result);
  // What the member wrote to a VT_BYREF|VT_VARIANT argument goes back to it,
  // also when it failed: nothing a member did is undone.
  for (UINT i = 0; i < args.count; ++i) {
    if (VARIANT* target = args.writeBack[i]) {
      ::VariantClear(target);
      StoreCell(args.types[i], &args.cells[i], target);
    }
  }
  if (FAILED(hr)) {
    if (member->hasResult && member->resultType == ParamType::Text) ::SysFreeString(result.text);
    if (hr == RPC_E_WRONG_THREAD) return hr;
    FillException(pExcepInfo, hr);
    return DISP_E_EXCEPTION;
  }
  if (member->hasResult) {
    if (pVarResult) {
      StoreCell(member->resultType, &result, pVarResult);
    } else if (member->resultType == ParamType::Text) {
      ::SysFreeString(result.text);
    }
  } else if (pVarResult) {
    ::VariantInit(pVarResult);
  }
  return S_OK;
}

}  // namespace kavrel
