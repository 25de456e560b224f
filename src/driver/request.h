// request.h -- the request body and the dispatch of the request by the link's protocol.
#pragma once

#include "config/gateway_config.h"
#include "platform/c_library.h"

/// The body length from CONTENT_LENGTH's value (0 when unset). Error 12 when characters remain
/// after the number; error 1 for a length that leaves no room for the terminating zero byte.
std::uint32_t requestBodyLength(const char* contentLength);

/// Reads exactly |length| bytes from |descriptor| into |buffer|. Error 18 when the input ends or
/// fails first.
void readExactly(int descriptor, char* buffer, std::uint32_t length);

/// Reads the body (by CONTENT_LENGTH, or to the end of standard input when it is unset and
/// HTTP_TRANSFER_ENCODING is set), closes standard input and runs the transaction of the link's
/// protocol.
void dispatchRequest(std::int32_t envCount, char** envStrings, const LinkEntry* link);
