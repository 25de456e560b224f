// send_buffer.cc -- staging outgoing bytes in a fixed area and sending them in blocks.
#include "link/send_buffer.h"

#include "diag/report.h"
#include "diag/trace.h"
#include "platform/c_library.h"

SendBuffer sendBuffer = {};

void sendOnce(SocketHandle socket) {
    if (sendBuffer.fill == 0) return;
    debugTrace("send()'ing %ld bytes", static_cast<long>(sendBuffer.fill));
    long sent = platformSend(socket, sendBuffer.bytes, static_cast<std::size_t>(sendBuffer.fill));
    // Taken before the trace line, whose file operations may overwrite it.
    int errorCode = platformSocketError();
    debugTrace("actually sent: %d bytes", static_cast<int>(sent));
    if (sent < 0) fatalError(10, static_cast<int>(socket), errorCode);
    if (sent == 0) fatalError(15, static_cast<int>(socket));
    if (sent < sendBuffer.fill)
        std::memmove(sendBuffer.bytes, sendBuffer.bytes + sent,
                     static_cast<std::size_t>(sendBuffer.fill - sent));
    sendBuffer.fill -= static_cast<std::int32_t>(sent);
}

void flushSendBuffer(SocketHandle socket) {
    while (sendBuffer.fill != 0)
        sendOnce(socket);
}

void appendBytes(SocketHandle socket, const void* data, std::uint32_t length) {
    const unsigned char* next = static_cast<const unsigned char*>(data);
    std::uint32_t room = static_cast<std::uint32_t>(sendBufferSize - sendBuffer.fill);
    if (length < room) {
        std::memcpy(sendBuffer.bytes + sendBuffer.fill, next, length);
        sendBuffer.fill += static_cast<std::int32_t>(length);
        return;
    }
    // Each chunk fills what the last send left free; a send follows every chunk, the last too.
    while (length > 0) {
        room = static_cast<std::uint32_t>(sendBufferSize - sendBuffer.fill);
        std::uint32_t chunk = length < room ? length : room;
        std::memcpy(sendBuffer.bytes + sendBuffer.fill, next, chunk);
        sendBuffer.fill += static_cast<std::int32_t>(chunk);
        next += chunk;
        length -= chunk;
        sendOnce(socket);
    }
}

void appendString(SocketHandle socket, const char* text) {
    appendBytes(socket, text, static_cast<std::uint32_t>(std::strlen(text)));
}
