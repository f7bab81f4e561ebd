#include "component/coercion.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "component/bstr.h"
#include "platform/hot_path.h"

namespace kavrel {

namespace {

// The value of a VARIANT, widened: an integer (a boolean is one too), a
// real, text, an object that stands for its default value, or nothing.
struct Value {
  enum Kind { Empty, Integer, Real, Text, Object, Bad } kind = Bad;
  ULONG high = 0;         // an exact real's magnitude: its top 32 bits
  long long integer = 0;  // and for an exact real its low 64 bits
  double real = 0;
  BSTR text = nullptr;
  IUnknown* object = nullptr;
  bool boolean = false;
  bool date = false;    // a VT_DATE: as text it is a date and time
  bool single = false;  // a VT_R4: as text it has a single's 7 significant digits
  // A currency, a decimal or an unsigned 64-bit integer beyond long long
  // is a real that also keeps its exact magnitude (high:integer /
  // 10^scale): as text it keeps every digit the real would round. The
  // fields fill the struct's padding, so a value costs what it did.
  bool exact = false;
  bool negative = false;
  BYTE scale = 0;
};

// How far an object whose default value is again an object is followed.
constexpr int kDefaultValueDepth = 4;

// The largest scale of a decimal, and the only bit its sign may have.
constexpr BYTE kDecimalMaxScale = 28;
constexpr BYTE kDecimalNegative = 0x80;

// The 96-bit magnitude high:low / 10^scale in plain decimal notation,
// without trailing zeros. Divided by ten in 32-bit limbs, as 32-bit targets
// have no 128-bit integer.
std::string ScaledText(ULONG high, ULONGLONG low, unsigned scale, bool negative) {
  uint32_t limbs[3] = {high, static_cast<uint32_t>(low >> 32), static_cast<uint32_t>(low)};
  std::string digits;
  do {
    uint64_t rest = 0;
    for (uint32_t& limb : limbs) {
      const uint64_t part = (rest << 32) | limb;
      limb = static_cast<uint32_t>(part / 10);
      rest = part % 10;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rest));
  } while (limbs[0] != 0 || limbs[1] != 0 || limbs[2] != 0);
  if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
  if (scale > 0) {
    digits.insert(digits.size() - scale, 1, '.');
    while (digits.back() == '0') digits.pop_back();
    if (digits.back() == '.') digits.pop_back();
  }
  if (negative && digits != "0") digits.insert(digits.begin(), '-');
  return digits;
}

Value Read(const VARIANT& v) {
  const bool byRef = (v.vt & VT_BYREF) != 0;
  const VARTYPE type = v.vt & ~VT_BYREF;
  if (byRef && !v.byref) return {};
  Value out;
  auto integer = [&](long long x) {
    out.kind = Value::Integer;
    out.integer = x;
  };
  auto real = [&](double x) {
    out.kind = Value::Real;
    out.real = x;
  };
  switch (type) {
    case VT_EMPTY:
      if (!byRef) out.kind = Value::Empty;
      break;
    case VT_I1:
      integer(byRef ? *v.pcVal : v.cVal);
      break;
    case VT_UI1:
      integer(byRef ? *v.pbVal : v.bVal);
      break;
    case VT_I2:
      integer(byRef ? *v.piVal : v.iVal);
      break;
    case VT_UI2:
      integer(byRef ? *v.puiVal : v.uiVal);
      break;
    case VT_I4:
      integer(byRef ? *v.plVal : v.lVal);
      break;
    case VT_UI4:
      integer(byRef ? *v.pulVal : v.ulVal);
      break;
    case VT_INT:
      integer(byRef ? *v.pintVal : v.intVal);
      break;
    case VT_UINT:
      integer(byRef ? *v.puintVal : v.uintVal);
      break;
    case VT_I8:
      integer(byRef ? *v.pllVal : v.llVal);
      break;
    case VT_UI8: {
      const ULONGLONG x = byRef ? *v.pullVal : v.ullVal;
      if (x > static_cast<ULONGLONG>(std::numeric_limits<long long>::max())) {
        real(static_cast<double>(x));
        out.exact = true;
        out.integer = static_cast<long long>(x);
      } else
        integer(static_cast<long long>(x));
      break;
    }
    case VT_BOOL:
      integer((byRef ? *v.pboolVal : v.boolVal) ? -1 : 0);
      out.boolean = true;
      break;
    case VT_R4:
      real(byRef ? *v.pfltVal : v.fltVal);
      out.single = true;
      break;
    case VT_R8:
      real(byRef ? *v.pdblVal : v.dblVal);
      break;
    case VT_DATE:
      real(byRef ? *v.pdate : v.date);
      out.date = true;
      break;
    case VT_CY: {
      const LONGLONG x = (byRef ? *v.pcyVal : v.cyVal).int64;
      real(static_cast<double>(x) / 10000.0);
      const ULONGLONG magnitude = x < 0 ? 0 - static_cast<ULONGLONG>(x) : static_cast<ULONGLONG>(x);
      out.exact = true;
      out.negative = x < 0;
      out.scale = 4;
      out.integer = static_cast<long long>(magnitude);
      break;
    }
    case VT_DECIMAL: {
      const DECIMAL& d = byRef ? *v.pdecVal : v.decVal;
      if (d.scale > kDecimalMaxScale || (d.sign & ~kDecimalNegative)) break;  // malformed
      double x = static_cast<double>(d.Lo64) + std::ldexp(static_cast<double>(d.Hi32), 64);
      x /= std::pow(10.0, d.scale);
      real(d.sign ? -x : x);
      out.exact = true;
      out.negative = d.sign != 0;
      out.scale = d.scale;
      out.high = d.Hi32;
      out.integer = static_cast<long long>(d.Lo64);
      break;
    }
    case VT_BSTR:
      out.kind = Value::Text;
      out.text = byRef ? *v.pbstrVal : v.bstrVal;
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      out.kind = Value::Object;
      out.object = byRef ? *v.ppunkVal : v.punkVal;
      break;
    case VT_VARIANT:
      // The variant a reference names is never itself a reference to a
      // variant; such a chain, or a variant naming itself, is not followed.
      if (byRef && v.pvarVal->vt != (VT_BYREF | VT_VARIANT)) return Read(*v.pvarVal);
      break;
    default:
      break;
  }
  return out;
}

// Rounds half to even, as automation does when a real becomes an integer.
bool RoundToInteger(double x, long long* out) {
  if (!std::isfinite(x)) return false;
  const double r = std::nearbyint(x);  // default rounding mode: to nearest, ties to even
  if (r < -9.2e18 || r > 9.2e18) return false;
  *out = static_cast<long long>(r);
  return true;
}

// Parses text as a number: optional spaces, sign, digits, fraction and
// exponent, or &H / &O prefixed integers. False if it is not a number.
bool ParseNumber(std::u16string_view text, double* out) {
  std::string s;
  for (char16_t c : text) {
    if (c >= 0x80) return false;
    s.push_back(static_cast<char>(c));
  }
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  const size_t last = s.find_last_not_of(" \t");
  s = s.substr(first, last - first + 1);
  if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
    const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
    char* end = nullptr;
    errno = 0;
    const unsigned long long x = std::strtoull(s.c_str() + 2, &end, base);
    if (errno || *end || end == s.c_str() + 2 || x > 0xFFFFFFFFull) return false;
    // &H values are 16-bit when they fit, else 32-bit, and negative above the top bit.
    *out = x <= 0xFFFF ? static_cast<double>(static_cast<int16_t>(x))
                       : static_cast<double>(static_cast<int32_t>(x));
    return true;
  }
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
      return false;
  }
  char* end = nullptr;
  errno = 0;
  const double x = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end) return false;
  *out = x;
  return true;
}

bool EqualsIgnoreCase(std::u16string_view a, const char* b) {
  size_t i = 0;
  for (; b[i]; ++i) {
    if (i >= a.size()) return false;
    char16_t c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c - 'A' + 'a');
    char d = b[i];
    if (d >= 'A' && d <= 'Z') d = static_cast<char>(d - 'A' + 'a');
    if (c != static_cast<char16_t>(d)) return false;
  }
  return i == a.size();
}

std::u16string FormatReal(double x, bool single) {
  // The C libraries disagree on a not-a-number's sign (glibc writes the
  // sign bit, mingw's does not), and the sign means nothing: one text for
  // every build.
  if (std::isnan(x)) return u"NAN";
  char buf[40];
  std::snprintf(buf, sizeof buf, single ? "%.7G" : "%.15G", x);
  return U16(buf);
}

// A date as automation writes it in English (United States): "M/D/YYYY",
// then " h:mm:ss AM" unless it is midnight; the time alone on the day the
// dates count from (30 December 1899). The whole part counts days from that
// day, the fraction (without its sign) is the time of day. False outside
// the years 100 to 9999.
bool FormatDate(double date, std::u16string* out) {
  constexpr double kFirst = -657434.0;  // 1 January 100
  constexpr double kLast = 2958466.0;   // 1 January 10000
  if (!(date > kFirst - 1.0 && date < kLast)) return false;
  long long day = static_cast<long long>(std::trunc(date));
  long long seconds = std::llround(std::fabs(date - std::trunc(date)) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  if (day < static_cast<long long>(kFirst) || day >= static_cast<long long>(kLast)) return false;
  // The civil date of a day count, counted from 1 March of year 0 in
  // 400-year eras; 30 December 1899 is day 693899 of that count.
  const long long z = day + 693899;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long dayOfEra = z - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long mp = (5 * dayOfYear + 2) / 153;
  const long long dayOfMonth = dayOfYear - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char buf[40];
  int n = 0;
  if (day != 0) {
    n = std::snprintf(buf, sizeof buf, "%lld/%lld/%04lld", month, dayOfMonth, year);
  }
  if (day == 0 || seconds != 0) {
    const long long hour = seconds / 3600;
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%s%lld:%02lld:%02lld %s",
                       n ? " " : "", hour % 12 == 0 ? 12 : hour % 12, seconds / 60 % 60,
                       seconds % 60, hour < 12 ? "AM" : "PM");
  }
  *out = U16(buf);
  return true;
}

HRESULT ToInteger(const Value& v, long long lo, long long hi, long long* out) {
  long long x = 0;
  switch (v.kind) {
    case Value::Empty:
      x = 0;
      break;
    case Value::Integer:
      x = v.integer;
      break;
    case Value::Real:
      if (!RoundToInteger(v.real, &x)) return DISP_E_OVERFLOW;
      break;
    case Value::Text: {
      const auto text = Bstr::ViewOf(v.text);
      if (EqualsIgnoreCase(text, "true")) {
        x = -1;
        break;
      }
      if (EqualsIgnoreCase(text, "false")) {
        x = 0;
        break;
      }
      double d = 0;
      if (!ParseNumber(text, &d)) return DISP_E_TYPEMISMATCH;
      if (!RoundToInteger(d, &x)) return DISP_E_OVERFLOW;
      break;
    }
    case Value::Object:
    case Value::Bad:
      return DISP_E_TYPEMISMATCH;
  }
  if (x < lo || x > hi) return DISP_E_OVERFLOW;
  *out = x;
  return S_OK;
}

// The default value of an object (its DISPID_VALUE property), into out.
HRESULT DefaultValue(IUnknown* object, VARIANT* out) {
  IDispatch* dispatch = nullptr;
  if (!object ||
      FAILED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) ||
      !dispatch)
    return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO excep{};
  const HRESULT hr = dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, out,
                                      &excep, nullptr);
  dispatch->Release();
  ::SysFreeString(excep.bstrSource);
  ::SysFreeString(excep.bstrDescription);
  ::SysFreeString(excep.bstrHelpFile);
  return SUCCEEDED(hr) ? S_OK : DISP_E_TYPEMISMATCH;
}

HRESULT Coerce(const VARIANT& arg, ParamType type, ArgCell* cell, int depth) {
  const Value v = Read(arg);
  if (v.kind == Value::Object) {
    // An object stands for its default value.
    if (depth == 0) return DISP_E_TYPEMISMATCH;
    VARIANT value;
    ::VariantInit(&value);
    HRESULT hr = DefaultValue(v.object, &value);
    if (SUCCEEDED(hr)) hr = Coerce(value, type, cell, depth - 1);
    ::VariantClear(&value);
    return hr;
  }
  long long x = 0;
  HRESULT hr = S_OK;
  switch (type) {
    case ParamType::I2:
      hr = ToInteger(v, -32768, 32767, &x);
      if (SUCCEEDED(hr)) cell->i2 = static_cast<short>(x);
      return hr;
    case ParamType::I4:
      hr = ToInteger(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                     &x);
      if (SUCCEEDED(hr)) cell->i4 = static_cast<LONG>(x);
      return hr;
    case ParamType::Bool:
      if (v.kind == Value::Real) {
        cell->b = v.real != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
      }
      if (v.kind == Value::Text) {
        // A number in text is true when it is not zero, whatever its size
        // or fraction, as the same number as a real is.
        const auto text = Bstr::ViewOf(v.text);
        double d = 0;
        if (EqualsIgnoreCase(text, "true") || EqualsIgnoreCase(text, "false")) {
          cell->b = EqualsIgnoreCase(text, "true") ? VARIANT_TRUE : VARIANT_FALSE;
        } else if (ParseNumber(text, &d)) {
          cell->b = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
          return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
      }
      hr = ToInteger(v, std::numeric_limits<long long>::min(),
                     std::numeric_limits<long long>::max(), &x);
      if (SUCCEEDED(hr)) cell->b = x ? VARIANT_TRUE : VARIANT_FALSE;
      return hr;
    case ParamType::Text: {
      // A text is copied straight into the new string; only a number is
      // formed first.
      std::u16string formed;
      std::u16string_view text;
      switch (v.kind) {
        case Value::Empty:
          break;
        case Value::Integer:
          text = formed = U16(std::to_string(v.integer));
          break;
        case Value::Real:
          if (v.date) {
            if (!FormatDate(v.real, &formed)) return DISP_E_OVERFLOW;
          } else {
            formed = v.exact ? U16(ScaledText(v.high, static_cast<ULONGLONG>(v.integer), v.scale,
                                              v.negative))
                             : FormatReal(v.real, v.single);
          }
          text = formed;
          break;
        case Value::Text:
          text = Bstr::ViewOf(v.text);
          break;
        case Value::Object:
        case Value::Bad:
          return DISP_E_TYPEMISMATCH;
      }
      if (v.boolean) text = v.integer ? u"True" : u"False";
      BSTR s = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                   static_cast<UINT>(text.size()));
      if (!s) return E_OUTOFMEMORY;
      cell->text = s;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace

KAVREL_SCRIPT_PATH HRESULT CoerceArgument(const VARIANT& arg, ParamType type, ArgCell* cell) {
  // A text for a text, the commonest argument a script passes, is a copy:
  // no value to read and form first.
  if (type == ParamType::Text && arg.vt == VT_BSTR) {
    const BSTR s = ::SysAllocStringLen(arg.bstrVal, ::SysStringLen(arg.bstrVal));
    if (!s) return E_OUTOFMEMORY;
    cell->text = s;
    return S_OK;
  }
  try {
    return Coerce(arg, type, cell, kDefaultValueDepth);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

KAVREL_SCRIPT_PATH void StoreCell(ParamType type, ArgCell* cell, VARIANT* out) {
  *out = VARIANT{};  // VT_EMPTY, as VariantInit leaves it
  switch (type) {
    case ParamType::I2:
      out->vt = VT_I2;
      out->iVal = cell->i2;
      break;
    case ParamType::I4:
      out->vt = VT_I4;
      out->lVal = cell->i4;
      break;
    case ParamType::Bool:
      out->vt = VT_BOOL;
      out->boolVal = cell->b;
      break;
    case ParamType::Text:
      out->vt = VT_BSTR;
      out->bstrVal = cell->text;
      cell->text = nullptr;
      break;
  }
}

}  // namespace kavrel
