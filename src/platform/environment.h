// environment.h -- the process environment as the gateway forwards it, and lookups by name.
#pragma once

#include "platform/c_library.h"

/// The environment in the order received, entries beginning with "=" left out, null-ended.
extern char** envStrings;
/// The number of entries in envStrings.
extern std::int32_t envCount;

/// Takes the environment list handed to the program entry. Call once, before any lookup.
void takeEnvironment(char** received);

/// The value of the first entry whose name equals |name| ignoring letter case, or null.
const char* lookupEnvironment(const char* name);
