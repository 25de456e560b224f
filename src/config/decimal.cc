// decimal.cc -- checked decimal conversion, saturating at 32 bits.
#include "config/decimal.h"

static bool isNumberSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* scanDecimal32(const char* text, std::uint32_t* value) {
    const char* p = text;
    while (isNumberSpace(*p))
        ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    *value = 0;
    if (!isDigit(*p)) return text;
    std::uint64_t total = 0;
    for (; isDigit(*p); ++p)
        if (total <= UINT32_MAX) total = total * 10 + static_cast<unsigned>(*p - '0');
    std::uint32_t magnitude = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
    *value = negative ? 0u - magnitude : magnitude;
    return p;
}
