// link_request.h -- staging the link request: cookie, version, keys and the content key.
#pragma once

#include "platform/c_library.h"
#include "platform/platform.h"

/// The name of the last key, whose value is the request body.
constexpr const char contentKeyName[] = "XBRENNOX_CONTENT_DATA";

/// Sends the whole request through the send buffer and flushes it: every environment string as
/// a name/value key, split at its first "=", then the body as the content key. A body kept in a
/// file (|bodyFile| not noFile) is sent from there, from |bodyOffset| on, in the same sends as
/// from memory.
void sendLinkRequest(SocketHandle socket, std::int32_t envCount, char** envStrings,
                     const char* body, std::uint32_t bodyLength, int bodyFile = noFile,
                     std::uint64_t bodyOffset = 0);
