// answers.cc -- the sample server's answers: a page, the keys, the body echoed, a byte pattern.
#include "answers.h"

#include "html_text.h"
#include "sha256.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace {

/// The pattern that bytes=N answers with: byte i is (7i + i/251) mod 256, every byte value with
/// no short period. It repeats after 251 * 256 bytes, so one period is computed once and sent
/// from as often as needed.
constexpr std::size_t patternPeriod = 251 * 256;

const char* patternPeriodBytes() {
    static char bytes[patternPeriod];
    static bool filled = false;
    if (!filled) {
        for (std::size_t i = 0; i < patternPeriod; ++i)
            bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        filled = true;
    }
    return bytes;
}

/// The next at most |limit| bytes of the pattern from position |done| on.
std::size_t patternChunk(std::size_t done, std::size_t limit, const char** chunk) {
    std::size_t offset = done % patternPeriod;
    *chunk = patternPeriodBytes() + offset;
    return std::min(limit, patternPeriod - offset);
}

std::string_view valueOf(const dostrel_request* request, const char* name) {
    std::size_t length = 0;
    const char* value = dostrel_request_get(request, name, &length);
    return value == nullptr ? std::string_view() : std::string_view(value, length);
}

/// Whether the query string holds |word| as one of its &-separated parameters (or its name).
bool queryHas(std::string_view query, std::string_view word, std::string* value) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        std::string_view parameter = query.substr(start, end - start);
        std::size_t equals = parameter.find('=');
        if (parameter.substr(0, equals) == word) {
            if (value != nullptr)
                *value = equals == std::string_view::npos ? "" : parameter.substr(equals + 1);
            return true;
        }
        start = end + 1;
    }
    return false;
}

void headers(dostrel_response* response, const std::string& serverName, const char* type) {
    dostrel_response_header(response, "Content-type", type);
    dostrel_response_header(response, "X-Appserver", serverName.c_str());
}

// A large answer is written a period at a time: the library sends it through, never whole.
void sendPattern(dostrel_response* response, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const char* chunk;
        std::size_t count = patternChunk(done, size - done, &chunk);
        if (dostrel_response_write(response, chunk, count) != 0) return;
        done += count;
    }
}

std::string_view nameAt(const dostrel_request* request, std::size_t index) {
    std::size_t length;
    const char* name = dostrel_request_name(request, index, &length);
    return {name, length};
}

std::string_view valueAt(const dostrel_request* request, std::size_t index) {
    std::size_t length;
    const char* value = dostrel_request_value(request, index, &length);
    return {value, length};
}

std::string_view bodyOf(const dostrel_request* request) {
    std::size_t length;
    const char* body = dostrel_request_body(request, &length);
    return {body, length};
}

void listKeys(const dostrel_request* request, dostrel_response* response) {
    std::string text;
    for (std::size_t i = 0; i < dostrel_request_count(request); ++i)
        text.append(nameAt(request, i)).append("=").append(valueAt(request, i)).append("\n");
    dostrel_response_write(response, text.data(), text.size());
}

void describeRequest(const dostrel_request* request, dostrel_response* response,
                     const std::string& serverName) {
    std::string_view body = bodyOf(request);
    std::size_t count = dostrel_request_count(request);
    std::string page = "<!DOCTYPE html>\n<html>\n<head><title>" + htmlEscaped(serverName) +
                       "</title>\n<style>body{font-family:sans-serif;margin:2em}"
                       "table{border-collapse:collapse}td{border:1px solid #ccc;padding:2px 8px;"
                       "font-family:monospace;vertical-align:top}</style>\n</head>\n<body>\n<h1>" +
                       htmlEscaped(serverName) + "</h1>\n" + "<p>Link request version " +
                       std::to_string(dostrel_request_major(request)) + "." +
                       std::to_string(dostrel_request_minor(request)) + ", " +
                       std::to_string(count + 1) + " keys, body of " + std::to_string(body.size()) +
                       " bytes.</p>\n" + "<table>\n";
    for (std::size_t i = 0; i < count; ++i)
        page += "<tr><td>" + htmlEscaped(nameAt(request, i)) + "</td><td>" +
                htmlEscaped(valueAt(request, i)) + "</td></tr>\n";
    page += "</table>\n";
    if (!body.empty()) {
        constexpr std::size_t shown = 4096;
        page += "<h2>Body</h2>\n<pre>" + htmlEscaped(body.substr(0, shown)) +
                (body.size() > shown ? "\n..." : "") + "</pre>\n";
    }
    page += "</body>\n</html>\n";
    dostrel_response_write(response, page.data(), page.size());
}

// N lines, each sent at once, 100 ms apart: what progress output and Server-Sent Events need.
void streamLines(dostrel_response* response, long count) {
    for (long i = 1; i <= count; ++i) {
        if (i > 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (dostrel_response_printf(response, "line %ld\n", i) != 0 ||
            dostrel_response_flush(response) != 0)
            return;
    }
}

// The body read in pieces and hashed as it comes (streamed or buffered alike): memory stays the
// same for any length.
void sumBody(dostrel_request* request, dostrel_response* response) {
    Sha256 hash;
    unsigned long long total = 0;
    char block[65536];
    for (long long got; (got = dostrel_request_read_body(request, block, sizeof block)) != 0;) {
        if (got < 0) return dostrel_response_abort(response); // logged by the library
        hash.add(block, static_cast<std::size_t>(got));
        total += static_cast<unsigned long long>(got);
    }
    dostrel_response_printf(response, "%llu %s\n", total, hash.hex().c_str());
}

} // namespace

bool wantsStreamedBody(const dostrel_request* request) {
    return valueOf(request, "REQUEST_METHOD") == "POST" &&
           queryHas(valueOf(request, "QUERY_STRING"), "sum", nullptr);
}

void answerRequest(dostrel_request* request, dostrel_response* response,
                   const std::string& serverName) {
    std::string_view query = valueOf(request, "QUERY_STRING");
    std::string value;
    if (queryHas(query, "delay", &value)) {
        long ms = std::min(std::strtol(value.c_str(), nullptr, 10), 10000L);
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    if (queryHas(query, "stream", &value)) {
        headers(response, serverName, "text/plain");
        streamLines(response, std::clamp(std::strtol(value.c_str(), nullptr, 10), 0L, 100000L));
    } else if (queryHas(query, "sum", nullptr)) {
        headers(response, serverName, "text/plain");
        sumBody(request, response);
    } else if (queryHas(query, "bytes", &value)) {
        headers(response, serverName, "application/octet-stream");
        sendPattern(response, std::strtoull(value.c_str(), nullptr, 10));
    } else if (queryHas(query, "echo", nullptr)) {
        headers(response, serverName, "application/octet-stream");
        std::string_view body = bodyOf(request);
        dostrel_response_write(response, body.data(), body.size());
    } else if (queryHas(query, "keys", nullptr)) {
        headers(response, serverName, "text/plain");
        listKeys(request, response);
    } else {
        headers(response, serverName, "text/html");
        describeRequest(request, response, serverName);
    }
}

bool writePattern(std::FILE* out, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const char* chunk;
        std::size_t count = patternChunk(done, size - done, &chunk);
        if (std::fwrite(chunk, 1, count, out) != count) return false;
        done += count;
    }
    return std::fflush(out) == 0;
}
