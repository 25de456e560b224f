// send_buffer.h -- the one staging area that gathers the request's many small fields.
#pragma once

#include "platform/c_library.h"
#include "platform/platform.h"

constexpr std::int32_t sendBufferSize = 8192;

/// The staged bytes occupy the front of |bytes|; between operations |fill| stays below 8192.
/// After the request is flushed the area serves as the receive buffer of the relay.
/// The last |fileBytes| of the |fill| staged bytes may stand in |file| from |fileOffset| on
/// instead of in |bytes|: a large body is staged from its temporary file without being copied.
struct SendBuffer {
    unsigned char bytes[sendBufferSize];
    std::int32_t fill;
    std::int32_t fileBytes;
    int file;
    std::uint64_t fileOffset;
};

extern SendBuffer sendBuffer;

/// Stages |length| bytes, sending whenever the area fills. Errors 10 and 15 on a failed send.
void appendBytes(SocketHandle socket, const void* data, std::uint32_t length);
/// Stages |length| bytes of |file| from |offset| on, sending whenever the area fills, exactly as
/// appendBytes would stage them from memory: the same sends of the same sizes. Nothing may be
/// staged after them until they have been sent.
void appendFileBytes(SocketHandle socket, int file, std::uint64_t offset, std::uint32_t length);
/// Stages the bytes of |text| without its terminating zero.
void appendString(SocketHandle socket, const char* text);
/// Sends until nothing is staged.
void flushSendBuffer(SocketHandle socket);
/// One send of everything staged; unsent bytes of a partial send move to the front.
void sendOnce(SocketHandle socket);
