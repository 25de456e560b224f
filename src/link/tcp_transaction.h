// tcp_transaction.h -- the one exchange with an application server over a TCP link.
#pragma once

#include "config/gateway_config.h"
#include "platform/c_library.h"
#include "platform/platform.h"

/// Sends the whole CGI request to the link's server and relays its response to standard output
/// until the server closes the connection; then closes standard output and the connection.
/// A body kept in a file (|bodyFile| not noFile) is sent from there, from |bodyOffset| on.
/// Error 19 when the server closes without sending a byte.
void runTcpTransaction(std::int32_t envCount, char** envStrings, const char* body,
                       std::uint32_t bodyLength, const LinkEntry* link, int bodyFile = noFile,
                       std::uint64_t bodyOffset = 0);
