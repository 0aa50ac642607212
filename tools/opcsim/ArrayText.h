// Array values as the scenario, the control channel and the journal write
// them, and the SAFEARRAYs they stand for:
//
//   {v1,v2,...}         one dimension
//   {}                  one dimension of no element
//   {{a,b,c},{d,e,f}}   two dimensions: rows of one length. An element's
//                       indices are (row, column), the row first, so this
//                       array's (0,2) is c
//   ...@(l), ...@(r,c)  the lower bound of each dimension, in index order
//                       (default 0): {{1,2},{3,4}}@(1,0) has 1 at (1,0)
//
// Elements are written as a scalar of the element type is; an element of
// VT_VARIANT as TYPE:value with a scalar type (VT_I4:5, VT_BSTR:"x").
//
// The arrays are made by SafeArrayCreate and so lie in memory as Windows
// keeps every SAFEARRAY: the bound of the last dimension first in
// rgsabound, the elements with the first index running fastest. The 2-by-3
// array above holds a,d,b,e,c,f in that order.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace opcsim {

// Parses `text` as an array of type `vt` (VT_ARRAY|element) into `out`,
// which must be empty. Returns an error text or empty.
std::string parseArray(std::string_view text, VARTYPE vt, VARIANT* out);

// The text of an array of `element` as parseArray reads it; "?" for an
// array of more than two dimensions.
std::string formatArray(SAFEARRAY* array, VARTYPE element);

}  // namespace opcsim
