// request.cc -- reading the request body and dispatching by the link's protocol.
#include "driver/request.h"

#include "config/decimal.h"
#include "diag/report.h"
#include "driver/request_body.h"
#include "link/tcp_transaction.h"
#include "platform/c_library.h"
#include "platform/environment.h"
#include "platform/platform.h"

std::uint32_t requestBodyLength(const char* contentLength) {
    if (contentLength == nullptr) return 0;
    std::uint32_t length;
    const char* end = scanDecimal32(contentLength, &length);
    if (*end != '\0') fatalError(12, contentLength);
    if (length >= firstRefusedBodyLength) fatalError(1);
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
static RequestBody requestBody = {};

// Without a declared length, a body is there only when it came in chunks (the web server passes
// it on to the end of standard input); otherwise there is none, and standard input is not read.
static RequestBody readRequestBody() {
    const char* contentLength = lookupEnvironment("CONTENT_LENGTH");
    if (contentLength == nullptr && lookupEnvironment("HTTP_TRANSFER_ENCODING") != nullptr)
        return readStreamedBody();
    return readDeclaredBody(requestBodyLength(contentLength));
}

void dispatchRequest(std::int32_t envCount, char** envStrings, const LinkEntry* link) {
    requestBody = readRequestBody();
    platformCloseDescriptor(0);
    if (link->protocol == LinkProtocol::Tcp) {
        runTcpTransaction(envCount, envStrings, requestBody.bytes, requestBody.length, link,
                          requestBody.file, requestBody.offset);
        return;
    }
    reportWarning(7, static_cast<long>(link->protocol));
}
