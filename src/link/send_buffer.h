// send_buffer.h -- the one staging area that gathers the request's many small fields.
#pragma once

#include "platform/c_library.h"
#include "platform/platform.h"

constexpr std::int32_t sendBufferSize = 8192;

/// The staged bytes occupy the front of |bytes|; between operations |fill| stays below 8192.
/// After the request is flushed the area serves as the receive buffer of the relay.
struct SendBuffer {
    unsigned char bytes[sendBufferSize];
    std::int32_t fill;
};

extern SendBuffer sendBuffer;

/// Stages |length| bytes, sending whenever the area fills. Errors 10 and 15 on a failed send.
void appendBytes(SocketHandle socket, const void* data, std::uint32_t length);
/// Stages the bytes of |text| without its terminating zero.
void appendString(SocketHandle socket, const char* text);
/// Sends until nothing is staged.
void flushSendBuffer(SocketHandle socket);
/// One send of everything staged; unsent bytes of a partial send move to the front.
void sendOnce(SocketHandle socket);
