// decimal.h -- the one conversion of decimal numbers that come from outside (lengths, ports).
#pragma once

#include "platform/c_library.h"

/// Reads a 32-bit unsigned decimal number at the start of |text|: leading white space, one
/// optional sign, digits. A value beyond 32 bits counts as 4294967295; a minus sign negates
/// modulo 2^32. Returns the position after the last digit, or |text| itself when no digit
/// follows (then |*value| is 0). The caller decides whether anything may follow.
const char* scanDecimal32(const char* text, std::uint32_t* value);
