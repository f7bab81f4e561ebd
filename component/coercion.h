// Coercion of automation arguments to a member's parameter types, with the
// automation rules: integers range-checked, reals rounded half to even, text
// parsed as a number, booleans -1/0.
#pragma once

#include "component/member_table.h"

namespace kavrel {

// Converts the value of arg (a VT_BYREF argument is read through) into cell.
// An object stands for its default value (DISPID_VALUE), which it is asked
// for. S_OK, DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW or E_OUTOFMEMORY. A text
// cell receives a new BSTR that the caller frees.
HRESULT CoerceArgument(const VARIANT& arg, ParamType type, ArgCell* cell);

// Stores a cell into a VARIANT of the parameter's type (taking the BSTR).
void StoreCell(ParamType type, ArgCell* cell, VARIANT* out);

}  // namespace kavrel
