// fuzz_content_length.cc -- the decimal conversion against a model written from its rules:
// leading white space, one sign, digits saturating at 2^32 - 1, a minus negating modulo 2^32.
#include "config/decimal.h"

#include <cstdint>
#include <cstdlib>
#include <string>

static std::size_t modelScan(const std::string& text, std::uint32_t* value) {
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) at = text.size();
    bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t digits = at;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    *value = 0;
    if (digits == at) return 0;
    // Any value of more than ten significant digits, or of ten above 4294967295, saturates.
    std::size_t first = text.find_first_not_of('0', at);
    if (first == std::string::npos || first > digits) first = digits;
    std::string significant = text.substr(first, digits - first);
    std::uint32_t magnitude;
    if (significant.size() > 10 || (significant.size() == 10 && significant > "4294967295"))
        magnitude = 4294967295u;
    else
        magnitude = significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoull(significant));
    *value = negative ? 0u - magnitude : magnitude;
    return digits;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    std::uint32_t value, expected;
    std::size_t consumed =
        static_cast<std::size_t>(scanDecimal32(text.c_str(), &value) - text.c_str());
    std::size_t expectedConsumed = modelScan(text, &expected);
    if (value != expected || consumed != expectedConsumed) std::abort();
    return 0;
}
