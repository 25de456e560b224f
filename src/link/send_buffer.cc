// send_buffer.cc -- staging outgoing bytes in a fixed area and sending them in blocks.
#include "link/send_buffer.h"

#include "diag/report.h"
#include "diag/trace.h"
#include "platform/c_library.h"

SendBuffer sendBuffer = {};

// Staged bytes from a file go out with the memory ones in front of them, as one send.
static long sendStaged(SocketHandle socket) {
    std::int32_t inMemory = sendBuffer.fill - sendBuffer.fileBytes;
    if (sendBuffer.fileBytes == 0)
        return platformSend(socket, sendBuffer.bytes, static_cast<std::size_t>(inMemory));
    return platformSendWithFile(socket, sendBuffer.bytes, static_cast<std::size_t>(inMemory),
                                sendBuffer.file, sendBuffer.fileOffset,
                                static_cast<std::size_t>(sendBuffer.fileBytes));
}

// Unsent bytes in memory move to the front; unsent bytes of the file stay where they are.
static void dropSent(std::int32_t sent) {
    std::int32_t inMemory = sendBuffer.fill - sendBuffer.fileBytes;
    if (sent < inMemory) {
        std::memmove(sendBuffer.bytes, sendBuffer.bytes + sent,
                     static_cast<std::size_t>(inMemory - sent));
    } else {
        sendBuffer.fileOffset += static_cast<std::uint64_t>(sent - inMemory);
        sendBuffer.fileBytes -= sent - inMemory;
    }
    sendBuffer.fill -= sent;
}

void sendOnce(SocketHandle socket) {
    if (sendBuffer.fill == 0) return;
    debugTrace("send()'ing %ld bytes", static_cast<long>(sendBuffer.fill));
    long sent = sendStaged(socket);
    // Taken before the trace line, whose file operations may overwrite it.
    int errorCode = platformSocketError();
    debugTrace("actually sent: %d bytes", static_cast<int>(sent));
    if (sent < 0) fatalError(10, static_cast<int>(socket), errorCode);
    if (sent == 0) fatalError(15, static_cast<int>(socket));
    dropSent(static_cast<std::int32_t>(sent));
}

void flushSendBuffer(SocketHandle socket) {
    while (sendBuffer.fill != 0)
        sendOnce(socket);
}

// Takes |chunk| bytes into the area: copied from |data|, or, with no data, counted as the file's.
static const unsigned char* stageChunk(const unsigned char* data, std::uint32_t chunk) {
    if (data != nullptr) {
        std::memcpy(sendBuffer.bytes + sendBuffer.fill, data, chunk);
        data += chunk;
    } else {
        sendBuffer.fileBytes += static_cast<std::int32_t>(chunk);
    }
    sendBuffer.fill += static_cast<std::int32_t>(chunk);
    return data;
}

static void stage(SocketHandle socket, const unsigned char* data, std::uint32_t length) {
    std::uint32_t room = static_cast<std::uint32_t>(sendBufferSize - sendBuffer.fill);
    if (length < room) {
        stageChunk(data, length);
        return;
    }
    // Each chunk fills what the last send left free; a send follows every chunk, the last too.
    while (length > 0) {
        room = static_cast<std::uint32_t>(sendBufferSize - sendBuffer.fill);
        std::uint32_t chunk = length < room ? length : room;
        data = stageChunk(data, chunk);
        length -= chunk;
        sendOnce(socket);
    }
}

void appendBytes(SocketHandle socket, const void* data, std::uint32_t length) {
    if (length > 0) stage(socket, static_cast<const unsigned char*>(data), length);
}

void appendFileBytes(SocketHandle socket, int file, std::uint64_t offset, std::uint32_t length) {
    if (length == 0) return;
    if (sendBuffer.fileBytes == 0) {
        sendBuffer.file = file;
        sendBuffer.fileOffset = offset;
    }
    stage(socket, nullptr, length);
}

void appendString(SocketHandle socket, const char* text) {
    appendBytes(socket, text, static_cast<std::uint32_t>(std::strlen(text)));
}
