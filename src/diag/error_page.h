// error_page.h -- the CGI response that answers a fatal error: status header and HTML page.
#pragma once

#include "platform/c_library.h"

/// Receives the current directory when a fatal error is reported; empty when unknown.
extern char errorPageDirectory[1024];

/// The value of environment variable |name| for the page, "?" when it is not set.
const char* pageEnvValue(const char* name);

/// Writes |text| with & < > " replaced by their HTML entities.
void writeHtmlEscaped(std::FILE* out, const char* text);

/// Writes the whole response for error |number|, whose formatted message is |message|. Honours
/// terseErrors; every interpolated text is HTML-escaped.
void writeErrorPage(std::FILE* out, std::int32_t number, const char* message);
