// link_request.cc -- the request message, field by field, in network byte order.
#include "link/link_request.h"

#include "diag/trace.h"
#include "link/send_buffer.h"
#include "platform/c_library.h"

static const unsigned char magicCookie[4] = {0x09, 0x23, 0x19, 0x63};

static void appendNumber(SocketHandle socket, std::uint32_t number) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(number >> 24), static_cast<unsigned char>(number >> 16),
        static_cast<unsigned char>(number >> 8), static_cast<unsigned char>(number)};
    appendBytes(socket, bytes, 4);
}

static void appendText(SocketHandle socket, const char* text, std::uint32_t length) {
    appendNumber(socket, length);
    appendBytes(socket, text, length);
}

// A string without "=" is all name; an empty one still makes a key, as the count promised.
static void appendEnvironmentKey(SocketHandle socket, const char* entry) {
    const char* equals = std::strchr(entry, '=');
    if (equals == nullptr) {
        appendText(socket, entry, static_cast<std::uint32_t>(std::strlen(entry)));
        appendNumber(socket, 0);
        return;
    }
    appendText(socket, entry, static_cast<std::uint32_t>(equals - entry));
    appendText(socket, equals + 1, static_cast<std::uint32_t>(std::strlen(equals + 1)));
}

void sendLinkRequest(SocketHandle socket, std::int32_t envCount, char** envStrings,
                     const char* body, std::uint32_t bodyLength, int bodyFile,
                     std::uint64_t bodyOffset) {
    debugTrace("sending request ...");
    debugTrace("sending magic cookie");
    appendBytes(socket, magicCookie, sizeof magicCookie);
    debugTrace("sending version info");
    appendNumber(socket, 1);
    appendNumber(socket, 0);
    std::uint32_t keyCount = static_cast<std::uint32_t>(envCount) + 1;
    debugTrace("sending number of keys: (%d)", static_cast<int>(keyCount));
    appendNumber(socket, keyCount);
    debugTrace("sending keys");
    for (char** entry = envStrings; *entry != nullptr; ++entry)
        appendEnvironmentKey(socket, *entry);
    debugTrace("sending content (length=%ld)", static_cast<long>(bodyLength));
    // The name's length is a constant, never counted at run time.
    appendNumber(socket, sizeof contentKeyName - 1);
    appendString(socket, contentKeyName);
    if (bodyFile == noFile) {
        appendText(socket, body, bodyLength);
    } else {
        appendNumber(socket, bodyLength);
        appendFileBytes(socket, bodyFile, bodyOffset, bodyLength);
    }
    flushSendBuffer(socket);
}
