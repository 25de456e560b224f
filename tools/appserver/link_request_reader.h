// link_request_reader.h -- decoding the gateway's link request, from memory or from a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The cookie that opens every link request: the bytes 09 23 19 63.
constexpr std::uint32_t linkRequestCookie = 0x09231963u;
/// The name of the key that carries the request body, always the last key.
constexpr std::string_view requestContentKey = "XBRENNOX_CONTENT_DATA";

struct LinkKey {
    std::string name;
    std::string value;
};

/// A decoded link request: header numbers and every key in order, the content key last.
struct LinkRequest {
    std::uint32_t cookie = 0;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::vector<LinkKey> keys;
};

enum class DecodeStatus { Complete, Truncated, BadCookie };

/// Decodes a request from |bytes|; |*consumed| tells how many bytes it took when Complete.
DecodeStatus decodeLinkRequest(std::string_view bytes, LinkRequest* request, std::size_t* consumed);

/// Reads one request from a connected descriptor by its framing, never past its last byte.
/// When |raw| is given, every byte read is appended to it.
DecodeStatus readLinkRequest(int descriptor, LinkRequest* request, std::string* raw = nullptr);

/// The value of the content key, or null when the request has none.
const std::string* linkRequestBody(const LinkRequest& request);

/// The value of the first key named |name| (exact case), or null.
const std::string* linkRequestValue(const LinkRequest& request, std::string_view name);

/// Encodes a request as the gateway sends it (for tests and tools that play the gateway).
std::string encodeLinkRequest(const LinkRequest& request);
