// link_encoding.h -- link requests as the tests build and compare them: encoded as the gateway
// sends them, and decoded requests turned back into plain values.
#pragma once

#include "dostrel/appserver.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// A request as plain values: the version, the variables in order, the body.
struct LinkRequest {
    std::uint32_t major = 1;
    std::uint32_t minor = 0;
    std::vector<std::pair<std::string, std::string>> variables;
    std::string body;

    bool operator==(const LinkRequest&) const = default;
};

/// The 32-bit big-endian number as four bytes.
std::string linkNumber(std::uint32_t number);
/// A length-led text.
std::string linkText(const std::string& text);
/// The whole request, content key last.
std::string encodeLinkRequest(const LinkRequest& request);
/// The request for CGI environment strings |env| (split at the first "=") and |body|.
LinkRequest requestFromEnvironment(const std::vector<std::string>& env, const std::string& body);
/// A decoded request as plain values.
LinkRequest linkRequestOf(const dostrel_request* request);
