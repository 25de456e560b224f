// response_relay.h -- copying the application server's response to standard output.
#pragma once

#include "platform/c_library.h"
#include "platform/platform.h"

/// Writes |length| bytes to |descriptor|, resuming after partial writes. A failed write drops
/// the rest of the block without a word: the client has gone, the server is drained anyway.
void writeAll(int descriptor, const void* data, std::size_t length);

/// Receives blocks into the send buffer's area and writes each to standard output until the
/// server closes the connection; then closes standard output. Error 11 on a failed receive;
/// error 19, naming |host| and |port|, when the server closes without sending a single byte.
void relayResponse(SocketHandle socket, const char* host, std::uint16_t port);
