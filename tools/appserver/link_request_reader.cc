// link_request_reader.cc -- the link request's framing: big-endian 32-bit numbers, length-led
// texts.
#include "link_request_reader.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Bytes from a string in memory.
struct MemorySource {
    std::string_view bytes;
    std::size_t position = 0;

    std::size_t available() const { return bytes.size() - position; }

    bool take(std::string* into, std::size_t count) {
        if (bytes.size() - position < count) return false;
        into->append(bytes.data() + position, count);
        position += count;
        return true;
    }
};

// Bytes from a descriptor, read in blocks but handed out exactly. It reads only as much as the
// request still needs, so that nothing of a following exchange is swallowed.
struct DescriptorSource {
    int descriptor;
    std::string* raw;

    // Nothing tells how much will come; lengths up to this are taken at their word.
    std::size_t available() const { return std::size_t{1} << 30; }

    bool take(std::string* into, std::size_t count) {
        char block[65536];
        while (count > 0) {
            std::size_t want = count < sizeof block ? count : sizeof block;
            ssize_t got = read(descriptor, block, want);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            into->append(block, static_cast<std::size_t>(got));
            if (raw != nullptr) raw->append(block, static_cast<std::size_t>(got));
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }
};

template <typename Source> bool takeNumber(Source& source, std::uint32_t* number) {
    std::string bytes;
    if (!source.take(&bytes, 4)) return false;
    *number = 0;
    for (unsigned char byte : bytes)
        *number = (*number << 8) | byte;
    return true;
}

// A long value is given its room at once rather than grown step by step.
template <typename Source> bool takeText(Source& source, std::string* text) {
    std::uint32_t length;
    if (!takeNumber(source, &length)) return false;
    if (length <= source.available()) text->reserve(length);
    return source.take(text, length);
}

template <typename Source> DecodeStatus decodeFrom(Source& source, LinkRequest* request) {
    *request = LinkRequest{};
    if (!takeNumber(source, &request->cookie)) return DecodeStatus::Truncated;
    if (request->cookie != linkRequestCookie) return DecodeStatus::BadCookie;
    std::uint32_t keyCount;
    if (!takeNumber(source, &request->majorVersion) ||
        !takeNumber(source, &request->minorVersion) || !takeNumber(source, &keyCount))
        return DecodeStatus::Truncated;
    for (std::uint32_t i = 0; i < keyCount; ++i) {
        LinkKey key;
        if (!takeText(source, &key.name) || !takeText(source, &key.value))
            return DecodeStatus::Truncated;
        request->keys.push_back(std::move(key));
    }
    return DecodeStatus::Complete;
}

void appendNumber(std::string* out, std::uint32_t number) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(static_cast<char>((number >> shift) & 0xFF));
}

void appendText(std::string* out, std::string_view text) {
    appendNumber(out, static_cast<std::uint32_t>(text.size()));
    out->append(text);
}

} // namespace

DecodeStatus decodeLinkRequest(std::string_view bytes, LinkRequest* request,
                               std::size_t* consumed) {
    MemorySource source{bytes};
    DecodeStatus status = decodeFrom(source, request);
    *consumed = source.position;
    return status;
}

DecodeStatus readLinkRequest(int descriptor, LinkRequest* request, std::string* raw) {
    DescriptorSource source{descriptor, raw};
    return decodeFrom(source, request);
}

const std::string* linkRequestBody(const LinkRequest& request) {
    if (request.keys.empty() || request.keys.back().name != requestContentKey) return nullptr;
    return &request.keys.back().value;
}

const std::string* linkRequestValue(const LinkRequest& request, std::string_view name) {
    for (const LinkKey& key : request.keys)
        if (key.name == name) return &key.value;
    return nullptr;
}

std::string encodeLinkRequest(const LinkRequest& request) {
    std::string out;
    appendNumber(&out, request.cookie);
    appendNumber(&out, request.majorVersion);
    appendNumber(&out, request.minorVersion);
    appendNumber(&out, static_cast<std::uint32_t>(request.keys.size()));
    for (const LinkKey& key : request.keys) {
        appendText(&out, key.name);
        appendText(&out, key.value);
    }
    return out;
}
