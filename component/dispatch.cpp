// Late binding: GetIDsOfNames and Invoke over the member table.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#include "component/bstr.h"
#include "component/coercion.h"
#include "component/comms_object.h"
#include "component/member_table.h"
#include "platform/hot_path.h"

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
  // The names after the member's are its parameters': each gets its
  // position, the id a named argument carries.
  for (UINT i = 1; i < cNames; ++i) {
    rgDispId[i] =
        rgDispId[0] == DISPID_UNKNOWN ? DISPID_UNKNOWN : FindParameterId(rgDispId[0], rgszNames[i]);
    if (rgDispId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

namespace {

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
  // Without error information the texts are the standard ones, each left
  // out when there is no memory for it.
  const auto allocate = [](std::u16string_view text) {
    return ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()));
  };
  if (!excep->bstrSource) excep->bstrSource = allocate(u"Kavrel");
  if (!excep->bstrDescription)
    excep->bstrDescription = allocate(RuntimeErrorDescription(RuntimeErrorNumberOf(failure)));
}

// Finds each parameter's argument in rgvarg. Named arguments come first,
// each at the index of its id in rgdispidNamedArgs; the positional ones
// follow last-first, so the first parameter is the last element. A property
// let's value is the named argument DISPID_PROPERTYPUT. On failure *badArg
// is the index of the named argument at fault.
HRESULT PlaceArguments(const MemberInfo& member, const DISPPARAMS& dp, UINT position[3],
                       UINT* badArg) {
  if (dp.cNamedArgs > dp.cArgs) return E_INVALIDARG;
  if (dp.cNamedArgs > 0 && !dp.rgdispidNamedArgs) return E_POINTER;
  const DISPID* named = dp.rgdispidNamedArgs;
  const bool let = member.kind == MemberKind::PropertyPut;
  if (let && std::find(named, named + dp.cNamedArgs, DISPID_PROPERTYPUT) == named + dp.cNamedArgs)
    return DISP_E_PARAMNOTOPTIONAL;
  if (dp.cArgs != member.paramCount) return DISP_E_BADPARAMCOUNT;
  const UINT positional = dp.cArgs - dp.cNamedArgs;
  unsigned taken = 0;
  for (UINT i = 0; i < positional; ++i) {
    position[i] = dp.cArgs - 1 - i;
    taken |= 1u << i;
  }
  for (UINT k = 0; k < dp.cNamedArgs; ++k) {
    DISPID param = named[k];
    if (let) param = param == DISPID_PROPERTYPUT ? member.paramCount - 1 : DISPID_UNKNOWN;
    // Every parameter is required, and each takes one argument.
    if (param < 0 || param >= member.paramCount || (taken & (1u << param))) {
      *badArg = k;
      return DISP_E_PARAMNOTFOUND;
    }
    position[param] = k;
    taken |= 1u << param;
  }
  return S_OK;
}

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

// Where a variant of a parameter type keeps its value.
void* ValueOf(VARIANT& v) {
  switch (v.vt) {
    case VT_I2:
      return &v.iVal;
    case VT_I4:
      return &v.lVal;
    case VT_BSTR:
      return &v.bstrVal;
    default:
      return &v.boolVal;
  }
}

// A converted variable's value as the member started, kept to tell whether
// the member changed it. A text of up to kInline characters is kept in
// place, saving an allocation and a free on every call with a script's text
// variable; a longer one on the heap. Trivially constructed, as Arguments
// wants (Keep sets every field; Free undoes a Keep).
class GivenValue {
 public:
  static constexpr size_t kInline = 128;

  bool Keep(ParamType type, const ArgCell& cell) {
    cell_ = cell;
    heap_ = nullptr;
    length_ = 0;
    if (type != ParamType::Text) return true;
    const std::u16string_view text = Bstr::ViewOf(cell.text);
    if (text.size() > kInline && !(heap_ = new (std::nothrow) char16_t[text.size()])) return false;
    length_ = text.size();
    if (length_) std::memcpy(chars(), text.data(), length_ * sizeof(char16_t));
    return true;
  }
  void Free() { delete[] heap_; }

  bool Same(ParamType type, const ArgCell& now) const {
    switch (type) {
      case ParamType::I2:
        return now.i2 == cell_.i2;
      case ParamType::I4:
        return now.i4 == cell_.i4;
      case ParamType::Bool:
        return now.b == cell_.b;
      case ParamType::Text: {
        // memcmp: a character-by-character compare of char16_t strings
        // costs more than many a member it follows.
        const std::u16string_view text = Bstr::ViewOf(now.text);
        return text.size() == length_ &&
               (!length_ || std::memcmp(text.data(), chars(), length_ * sizeof(char16_t)) == 0);
      }
    }
    return false;
  }

 private:
  char16_t* chars() { return heap_ ? heap_ : inline_; }
  const char16_t* chars() const { return heap_ ? heap_ : inline_; }

  ArgCell cell_;
  size_t length_;
  char16_t* heap_;
  char16_t inline_[kInline];
};

// What a converted variable's cell holds for a boolean the member only
// writes, until it does: a member writes -1 or 0.
constexpr VARIANT_BOOL kNotWritten = 0x2A2A;

// Whether a variable already holds, as a number, the boolean it converted to
// (-1, or 0 or nothing): a member that writes that same value then leaves it
// as it is. An object is not asked for its default value a second time.
bool HoldsItsBoolean(const VARIANT& variable, VARIANT_BOOL converted) {
  const VARTYPE type = variable.vt & ~VT_BYREF;
  if (type == VT_DISPATCH || type == VT_UNKNOWN) return true;
  ArgCell number{};
  return SUCCEEDED(CoerceArgument(variable, ParamType::I4, &number)) && number.i4 == converted;
}

// Per-call argument storage; frees the temporary texts it made.
//
// A by-reference parameter receives the caller's own variable when its type
// is exact. A script variable (VT_BYREF|VT_VARIANT) of another type is
// converted into a cell instead, and goes back to the variable only if the
// member changed it: a member that just reads its argument leaves the
// variable's type and value alone. A boolean the member only writes goes back
// when the member wrote a value other than the one the variable holds: a
// variable that held 5 comes back true (-1), one that held -1 stays.
struct Arguments {
  // Each slot is set when its argument is taken: zeroing all of them would
  // cost more than many a member.
  ArgCell cells[3];
  GivenValue given[3];  // what a converted variable held when the member started
  void* refs[3];
  VARIANT* variables[3];
  ParamType types[3];
  bool writtenOnly[3];
  bool keepIfSame[3];  // for a written-only boolean: the variable holds its value
  // One bit a parameter: its cell holds a text of ours, and its variable was
  // converted. Most calls have neither, and then no loop runs after them.
  unsigned ownedTexts = 0;
  unsigned converted = 0;
  IDispatch* const object;    // the object called
  IDispatch* held = nullptr;  // the object, held while an argument is an object

  explicit Arguments(IDispatch* called) : object(called) {}

  ~Arguments() {
    for (unsigned m = ownedTexts; m; m &= m - 1) {
      const int i = std::countr_zero(m);
      ::SysFreeString(cells[i].text);
      if (variables[i]) given[i].Free();
    }
    if (held) [[unlikely]]
      held->Release();
  }

  // Converting an object asks for its default value, which its own Invoke
  // gives, and that may let go of the host's last reference to this object:
  // it then lives on until the call is over, as it does for the handlers a
  // member runs. Other calls take no reference here.
  HRESULT Coerce(const VARIANT& value, ParamType type, ArgCell* cell) {
    // A script's variable is looked into: the conversion follows it.
    const VARIANT& named =
        value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal ? *value.pvarVal : value;
    const VARTYPE plain = named.vt & ~VT_BYREF;
    if ((plain == VT_DISPATCH || plain == VT_UNKNOWN) && !held) [[unlikely]] {
      object->AddRef();
      held = object;
    }
    return CoerceArgument(value, type, cell);
  }

  // Takes argument arg for parameter i; on success its bits say what it
  // needs after the call. result is where the call's result goes.
  HRESULT Take(UINT i, const ParamInfo& param, VARIANT& arg, const VARIANT* result) {
    cells[i] = ArgCell{};
    refs[i] = nullptr;
    variables[i] = nullptr;
    types[i] = param.type;
    writtenOnly[i] = param.writtenOnly;
    HRESULT hr = S_OK;
    if (!param.byRef) {
      hr = Coerce(arg, param.type, &cells[i]);
    } else if (const VARTYPE exact = VT_BYREF | VarTypeOf(param.type); arg.vt == exact) {
      hr = arg.byref ? S_OK : E_POINTER;
      refs[i] = arg.byref;
    } else if (arg.vt == (VT_BYREF | VT_VARIANT)) {
      VARIANT* variable = arg.pvarVal;
      if (!variable) return E_POINTER;
      // A variable is never itself a reference to a variant: such a chain
      // (or a variant naming itself) is refused without following it.
      if (variable->vt == (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
      if (variable->vt == exact) {
        hr = variable->byref ? S_OK : E_POINTER;
        refs[i] = variable->byref;
      } else if (variable->vt == VarTypeOf(param.type) &&
                 (param.type != ParamType::Text || (param.inPlace && variable != result))) {
        // A number or boolean variable of the parameter's own type: the
        // member works on the variable's value in place, no copy made, and
        // whatever the member leaves there is what it wrote. Not so a text,
        // unless the member is done with it before any of the host's code
        // runs: a member that runs the host's messages (CommRead, WriteComm)
        // would go on freeing and reading the variable's string after a
        // handler had assigned the variable something else. Nor a text
        // variable that also takes the result, which would overwrite the
        // member's string without freeing it.
        refs[i] = ValueOf(*variable);
      } else {
        hr = Coerce(*variable, param.type, &cells[i]);
        if (FAILED(hr)) return hr;
        if (!given[i].Keep(param.type, cells[i])) {
          if (param.type == ParamType::Text) ::SysFreeString(cells[i].text);
          return E_OUTOFMEMORY;
        }
        if (param.writtenOnly) {
          keepIfSame[i] = HoldsItsBoolean(*variable, cells[i].b);
          cells[i].b = kNotWritten;
        }
        variables[i] = variable;
        converted |= 1u << i;
      }
    } else if (arg.vt & VT_BYREF) {
      return DISP_E_TYPEMISMATCH;  // a by-reference variable of another type
    } else {
      hr = Coerce(arg, param.type, &cells[i]);
    }
    if (SUCCEEDED(hr) && param.type == ParamType::Text && !refs[i]) ownedTexts |= 1u << i;
    return hr;
  }

  // What the member changed goes back to the caller's variables, also when
  // it failed: nothing a member did is undone. A variable that is also where
  // the call's result goes lets go of its old value, changed or not, but
  // gets the result after a success instead: what the member left for it
  // stays in its cell and is freed with the others.
  void WriteBack(HRESULT outcome, const VARIANT* result) {
    for (unsigned m = converted; m; m &= m - 1) {
      const int i = std::countr_zero(m);
      VARIANT* variable = variables[i];
      if (variable == result && SUCCEEDED(outcome)) [[unlikely]] {
        ::VariantClear(variable);
        continue;
      }
      if (writtenOnly[i] && cells[i].b == kNotWritten) continue;
      if ((!writtenOnly[i] || keepIfSame[i]) && given[i].Same(types[i], cells[i])) continue;
      ::VariantClear(variable);
      StoreCell(types[i], &cells[i], variable);
    }
  }
};

// The call's outcome: a failure as an exception, or its result where the
// caller wants it (and freed where it does not).
[[gnu::always_inline]] inline HRESULT Finish(const MemberInfo& member, HRESULT hr, ArgCell& result,
                                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo) {
  if (FAILED(hr)) {
    if (member.hasResult && member.resultType == ParamType::Text) ::SysFreeString(result.text);
    if (hr == RPC_E_WRONG_THREAD) return hr;
    FillException(pExcepInfo, hr);
    return DISP_E_EXCEPTION;
  }
  if (member.hasResult) {
    if (pVarResult) {
      StoreCell(member.resultType, &result, pVarResult);
    } else if (member.resultType == ParamType::Text) {
      ::SysFreeString(result.text);
    }
  } else if (pVarResult) {
    ::VariantInit(pVarResult);
  }
  return S_OK;
}

// A call with arguments: each placed, converted to its parameter's type and
// taken, the member called, and what it changed written back. Apart from
// Invoke, which then saves for calls without arguments only what they use.
[[gnu::noinline]] KAVREL_SCRIPT_PATH HRESULT InvokeWithArguments(
    IDispatch* object, CommsPrivate* target, const MemberInfo& member, const DISPPARAMS& dp,
    VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (dp.cArgs > 0 && !dp.rgvarg) return E_POINTER;
  UINT position[3] = {};
  UINT badArg = 0;
  if (const HRESULT hr = PlaceArguments(member, dp, position, &badArg); FAILED(hr)) {
    if (hr == DISP_E_PARAMNOTFOUND && puArgErr) *puArgErr = badArg;
    return hr;
  }

  Arguments args{object};
  for (UINT i = 0; i < dp.cArgs; ++i) {
    VARIANT& arg = dp.rgvarg[position[i]];
    const HRESULT hr = args.Take(i, member.params[i], arg, pVarResult);
    if (FAILED(hr)) {
      if (puArgErr) *puArgErr = position[i];
      // A script host passes an argument left out of a call as this error
      // value; no parameter here may be left out.
      if (arg.vt == VT_ERROR && arg.scode == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
      return hr;
    }
  }

  ArgCell result{};
  const HRESULT hr = member.invoke(target, args.refs, args.cells, &result);
  args.WriteBack(hr, pVarResult);
  return Finish(member, hr, result, pVarResult, pExcepInfo);
}

}  // namespace

KAVREL_SCRIPT_PATH HRESULT CommsObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                               DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                               EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!pDispParams) return E_POINTER;
  const MemberInfo* member = FindMember(dispIdMember, wFlags);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  const DISPPARAMS& dp = *pDispParams;
  // A property get, or a call of a member without parameters, with no
  // arguments: nothing to place, convert or write back.
  if ((dp.cArgs | dp.cNamedArgs | member->paramCount) == 0) {
    ArgCell result{};
    return Finish(*member, member->invoke(self(), nullptr, nullptr, &result), result, pVarResult,
                  pExcepInfo);
  }
  return InvokeWithArguments(this, self(), *member, dp, pVarResult, pExcepInfo, puArgErr);
}

}  // namespace kavrel
