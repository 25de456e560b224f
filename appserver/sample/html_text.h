// html_text.h -- HTML escaping for the pages that the sample server and the tests build.
#pragma once

#include <string>
#include <string_view>

/// |text| with & < > " replaced by their entities; apostrophes stay.
inline std::string htmlEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}
