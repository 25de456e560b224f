// report.h -- the one fatal path and the one warning path of the gateway.
#pragma once

#include "platform/c_library.h"

/// The program path as the process received it; prefixes every standard-error line.
/// The driver sets it before anything else can be reported.
extern const char* programPath;

/// Set by the response relay once bytes may have reached standard output. From then on a fatal
/// error still writes its standard-error line but adds no page to the response under way.
extern bool responseRelayBegun;

/// Reports error |number| of the catalogue with its message arguments: the standard-error line,
/// the status header and error page on standard output, socket library clean-up, exit status 1.
[[noreturn]] void fatalError(std::int32_t number, ...);

/// Writes warning |number| of the catalogue with its message arguments to standard error.
void reportWarning(std::int32_t number, ...);

/// How many warnings reportWarning has written so far.
extern std::int32_t warningsReported;
