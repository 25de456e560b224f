// link_encoding.cc -- the tests' link request encoder, and decoded requests as plain values.
#include "link_encoding.h"

std::string linkNumber(std::uint32_t number) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>((number >> shift) & 0xFF));
    return bytes;
}

std::string linkText(const std::string& text) {
    return linkNumber(static_cast<std::uint32_t>(text.size())) + text;
}

std::string encodeLinkRequest(const LinkRequest& request) {
    std::string out = "\x09\x23\x19\x63" + linkNumber(request.major) + linkNumber(request.minor) +
                      linkNumber(static_cast<std::uint32_t>(request.variables.size() + 1));
    for (const auto& [name, value] : request.variables)
        out += linkText(name) + linkText(value);
    return out + linkText(DOSTREL_CONTENT_KEY) + linkText(request.body);
}

LinkRequest requestFromEnvironment(const std::vector<std::string>& env, const std::string& body) {
    LinkRequest request;
    for (const std::string& entry : env) {
        std::size_t equals = entry.find('=');
        if (equals == std::string::npos)
            request.variables.emplace_back(entry, "");
        else
            request.variables.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    request.body = body;
    return request;
}

LinkRequest linkRequestOf(const dostrel_request* decoded) {
    LinkRequest request;
    request.major = dostrel_request_major(decoded);
    request.minor = dostrel_request_minor(decoded);
    for (std::size_t i = 0; i < dostrel_request_count(decoded); ++i) {
        std::size_t nameLength, valueLength;
        const char* name = dostrel_request_name(decoded, i, &nameLength);
        const char* value = dostrel_request_value(decoded, i, &valueLength);
        request.variables.emplace_back(std::string(name, nameLength),
                                       std::string(value, valueLength));
    }
    std::size_t bodyLength;
    const char* body = dostrel_request_body(decoded, &bodyLength);
    request.body.assign(body, bodyLength);
    return request;
}
