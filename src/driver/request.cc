// request.cc -- reading the request body and dispatching by the link's protocol.
#include "driver/request.h"

#include "config/decimal.h"
#include "diag/report.h"
#include "link/tcp_transaction.h"
#include "platform/c_library.h"
#include "platform/environment.h"
#include "platform/platform.h"

// Lengths from here up cannot be allocated with their terminating zero byte on a 32-bit heap;
// refusing them everywhere keeps the two builds alike.
static constexpr std::uint32_t firstRefusedLength = 4294967264u;

std::uint32_t requestBodyLength(const char* contentLength) {
    if (contentLength == nullptr) return 0;
    std::uint32_t length;
    const char* end = scanDecimal32(contentLength, &length);
    if (*end != '\0') fatalError(12, contentLength);
    if (length >= firstRefusedLength) fatalError(1);
    return length;
}

void readExactly(int descriptor, char* buffer, std::uint32_t length) {
    std::uint32_t total = 0;
    while (total < length) {
        long got = platformReadDescriptor(descriptor, buffer + total, length - total);
        if (got <= 0)
            fatalError(18, static_cast<unsigned long>(total), static_cast<unsigned long>(length));
        total += static_cast<std::uint32_t>(got);
    }
}

// The request body lives until the process ends.
static char* requestBody = nullptr;

static char* readRequestBody(std::uint32_t length) {
    if (length == 0) return nullptr;
    // Zero-filled, so the body is always followed by a zero byte.
    char* body = static_cast<char*>(platformAllocateBody(length + std::size_t{1}));
    if (body == nullptr) fatalError(1);
    readExactly(0, body, length);
    return body;
}

void dispatchRequest(std::int32_t envCount, char** envStrings, const LinkEntry* link) {
    std::uint32_t length = requestBodyLength(lookupEnvironment("CONTENT_LENGTH"));
    requestBody = readRequestBody(length);
    platformCloseDescriptor(0);
    static char emptyBody[1] = "";
    if (requestBody == nullptr) requestBody = emptyBody;
    if (link->protocol == LinkProtocol::Tcp) {
        runTcpTransaction(envCount, envStrings, requestBody, length, link);
        return;
    }
    reportWarning(7, static_cast<long>(link->protocol));
}
