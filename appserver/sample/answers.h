// answers.h -- the sample server's answers, chosen by the request's query string.
#pragma once

#include "dostrel/appserver.h"

#include <cstdio>
#include <string>

/// Answers one request:
///   - bytes=N: N bytes of a fixed pattern (for large-response checks);
///   - echo: the request body, unchanged;
///   - keys: every variable as it arrived, one "name=value" line each;
///   - stream=N (at most 100000): N lines "line I", each flushed at once, 100 ms apart;
///   - sum: "LENGTH SHA256HEX" of the body, which a POST streams through without holding it;
///   - delay=MS (at most 10000): the answer below comes after that many milliseconds;
///   - anything else: an HTML page showing the request as this server received it.
/// Every answer carries the header "X-Appserver: NAME", so a client sees which server answered.
void answerRequest(dostrel_request* request, dostrel_response* response,
                   const std::string& serverName);

/// Whether the request's body is to be streamed to its handler: POST ?sum.
bool wantsStreamedBody(const dostrel_request* request);

/// Writes the |size| bytes that bytes=N answers with; false when the write failed.
bool writePattern(std::FILE* out, std::size_t size);
