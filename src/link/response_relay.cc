// response_relay.cc -- the relay loop through the send buffer's 8192 bytes.
#include "link/response_relay.h"

#include "diag/report.h"
#include "diag/trace.h"
#include "link/send_buffer.h"

void writeAll(int descriptor, const void* data, std::size_t length) {
    const char* next = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < length) {
        long count = platformWriteDescriptor(descriptor, next + written, length - written);
        if (count < 0) return;
        written += static_cast<std::size_t>(count);
    }
}

void relayResponse(SocketHandle socket, const char* host, std::uint16_t port) {
    debugTrace("receiving response ...");
    for (;;) {
        debugTrace("receiving ...");
        // Only the bytes received are ever read from the area, so it is not cleared first.
        long received = platformReceive(socket, sendBuffer.bytes, sizeof sendBuffer.bytes);
        // Taken before the trace line, whose file operations may overwrite it.
        int errorCode = platformSocketError();
        debugTrace("received %d bytes", static_cast<int>(received));
        // An orderly close before any byte is no answer at all, whatever the server meant: the
        // web server would otherwise see an empty CGI output and a status of success.
        if (received == 0 && !responseRelayBegun) fatalError(19, host, static_cast<unsigned>(port));
        if (received == 0) break;
        if (received < 0) fatalError(11, static_cast<int>(socket), errorCode);
        responseRelayBegun = true;
        debugTrace("starting write");
        writeAll(1, sendBuffer.bytes, static_cast<std::size_t>(received));
        debugTrace("write complete");
    }
    platformCloseDescriptor(1);
}
