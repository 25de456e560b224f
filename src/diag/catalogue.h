// catalogue.h -- the numbered message formats of every fatal error and warning.
#pragma once

#include "platform/c_library.h"

/// Message formats indexed by error number, 1 to 21; entry 0 is unused.
extern const char* const errorMessages[22];
/// Message formats indexed by warning number, 1 to 7; entry 0 is unused.
extern const char* const warningMessages[8];

/// The HTTP status that answers error |number|: 503 for a refused connection, else 500.
int errorStatusCode(std::int32_t number);
/// The reason phrase that goes with errorStatusCode.
const char* errorStatusReason(std::int32_t number);
