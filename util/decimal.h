// Decimal text to integers, read the way the C runtime's atoi and _atoi64
// read them: leading white space, one optional sign, then digits up to the
// first non-digit; no digits give 0. Values beyond the type's range saturate
// at its bounds.
#ifndef BREVANTO_UTIL_DECIMAL_H_
#define BREVANTO_UTIL_DECIMAL_H_

#include <cstdint>

std::int64_t decimal_to_int64(const char* text);
std::int32_t decimal_to_int32(const char* text);
std::int32_t wide_decimal_to_int32(const wchar_t* text);

#endif  // BREVANTO_UTIL_DECIMAL_H_
