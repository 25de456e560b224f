// ascii.h -- letter-case folding of the ASCII letters A to Z only, independent of any locale.
#pragma once

#include "platform/c_library.h"

inline unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

/// True when the first |length| bytes of |a| and |b| differ at most in the case of A to Z.
inline bool equalPrefixIgnoringCase(const char* a, const char* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (asciiLower(static_cast<unsigned char>(a[i])) !=
            asciiLower(static_cast<unsigned char>(b[i])))
            return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

/// True when the zero-terminated texts differ at most in the case of A to Z.
inline bool equalsIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (asciiLower(static_cast<unsigned char>(*a)) !=
            asciiLower(static_cast<unsigned char>(*b)))
            return false;
        if (*a == '\0') return true;
    }
}
