// response.cc -- writing a CGI response: header lines and the body through one fixed buffer,
// large pieces sent straight from the caller's memory; on a server's connection, the orderly
// end or the reset that tells the gateway whether the answer is whole.
#include "request_data.h"
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {

enum class Part { Headers, Body, Finished };

constexpr std::size_t gatherSize = 16384;
constexpr std::size_t maxHeadLine = 8192; // one header line a program writes as text

} // namespace

struct dostrel_response {
    int fd;
    unsigned writeTimeoutMs;
    Part part = Part::Headers;
    bool given = false; // the caller gave a status, a header or body bytes
    int error = 0;
    std::size_t fill = 0;
    std::shared_ptr<Link> link; // set on a server's connection: the response ends it
    bool declareLength = false; // a server's response to a request that is not HEAD
    bool lengthGiven = false;   // the application set Content-Length itself
    bool sentAny = false;       // bytes have left: the header lines can no longer change
    int status = 200;
    std::size_t headerEnd = 0;    // where the empty line after the header lines is in |buffer|
    bool cgiHead = false;         // the program writes its header lines as text
    bool skipLine = false;        // the rest of an over-long head line is dropped
    std::string headLine;         // a head line written in part
    char buffer[gatherSize + 64]; // room to insert a Content-Length line at the end
};

namespace {

// A call the response cannot take (a bad header, a status after the body): refused, and the
// response goes on.
int refuseCall(int error) {
    errno = error;
    return -1;
}

// A failure of the connection: every later call fails with it too.
int fail(dostrel_response* response, int error) {
    if (response->error == 0) response->error = error;
    errno = response->error;
    return -1;
}

// Sends |count| pieces whole, waiting while the peer's window is full (non-blocking sockets)
// but no longer than the write time-out without progress.
int sendPieces(dostrel_response* response, iovec* pieces, int count) {
    while (count > 0) {
        msghdr message = {};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<std::size_t>(count);
        // Never blocking, whatever the descriptor's mode: the wait below holds the time limit
        // without setting an option on the caller's socket.
        ssize_t sent = sendmsg(response->fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(response, errno);
            pollfd writable = {response->fd, POLLOUT, 0};
            int wait =
                response->writeTimeoutMs > 0 ? static_cast<int>(response->writeTimeoutMs) : -1;
            int polled = poll(&writable, 1, wait);
            if (polled == 0) return fail(response, ETIMEDOUT);
            if (polled < 0 && errno != EINTR) return fail(response, errno);
            continue;
        }
        auto done = static_cast<std::size_t>(sent);
        while (count > 0 && done >= pieces->iov_len) {
            done -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
            pieces->iov_len -= done;
        }
    }
    return 0;
}

int flush(dostrel_response* response, const void* extra = nullptr, std::size_t extraSize = 0) {
    iovec pieces[2] = {{response->buffer, response->fill}, {const_cast<void*>(extra), extraSize}};
    response->fill = 0;
    response->sentAny = true;
    return sendPieces(response, pieces, extraSize > 0 ? 2 : 1);
}

int append(dostrel_response* response, const void* data, std::size_t size) {
    if (response->error != 0) return fail(response, response->error);
    if (response->fill + size <= gatherSize) {
        std::memcpy(response->buffer + response->fill, data, size);
        response->fill += size;
        return 0;
    }
    // Too big for what is left: what is gathered and this piece leave in one call.
    return flush(response, data, size);
}

int appendText(dostrel_response* response, const std::string& text) {
    return append(response, text.data(), text.size());
}

bool isTokenCharacter(char c) {
    return c > 32 && c < 127 && std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

const char* usualPhrase(int code) {
    switch (code) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 102:
        return "Processing";
    case 103:
        return "Early Hints";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 205:
        return "Reset Content";
    case 206:
        return "Partial Content";
    case 207:
        return "Multi-Status";
    case 208:
        return "Already Reported";
    case 226:
        return "IM Used";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 305:
        return "Use Proxy";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 416:
        return "Range Not Satisfiable";
    case 417:
        return "Expectation Failed";
    case 418:
        return "I'm a teapot";
    case 421:
        return "Misdirected Request";
    case 422:
        return "Unprocessable Content";
    case 423:
        return "Locked";
    case 424:
        return "Failed Dependency";
    case 425:
        return "Too Early";
    case 426:
        return "Upgrade Required";
    case 428:
        return "Precondition Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 451:
        return "Unavailable For Legal Reasons";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "HTTP Version Not Supported";
    case 506:
        return "Variant Also Negotiates";
    case 507:
        return "Insufficient Storage";
    case 508:
        return "Loop Detected";
    case 510:
        return "Not Extended";
    case 511:
        return "Network Authentication Required";
    default:
        break;
    }
    // An unregistered code gets its class's name, never an empty phrase.
    static const char* const classes[] = {"Informational", "Success", "Redirection", "Client Error",
                                          "Server Error"};
    return code >= 100 && code < 600 ? classes[code / 100 - 1] : "Unknown Status";
}

bool sameNameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}

// The whole answer is still in the buffer: the length goes in before the empty line, so that a
// cut shows to the HTTP client too.
void declareLength(dostrel_response* response) {
    int code = response->status;
    if (!response->declareLength || response->sentAny || response->lengthGiven ||
        response->part == Part::Headers || code < 200 || code == 204 || code == 304)
        return;
    std::size_t bodySize = response->fill - response->headerEnd - 1;
    char line[48];
    int length = std::snprintf(line, sizeof line, "Content-Length: %zu\n", bodySize);
    if (length <= 0 || response->fill + static_cast<std::size_t>(length) > sizeof response->buffer)
        return;
    char* at = response->buffer + response->headerEnd;
    std::memmove(at + length, at, response->fill - response->headerEnd);
    std::memcpy(at, line, static_cast<std::size_t>(length));
    response->fill += static_cast<std::size_t>(length);
}

// Ends the header lines once: the empty line goes before the first body byte.
int startBody(dostrel_response* response) {
    if (response->part == Part::Finished) return refuseCall(EALREADY);
    if (response->part == Part::Headers) {
        response->part = Part::Body;
        response->headerEnd = response->fill;
        return append(response, "\n", 1);
    }
    return 0;
}

// Ends the server's connection after the response: in order when it is whole.
void endLink(dostrel_response* response) {
    if (!response->link) return;
    if (response->error == 0)
        linkEndInOrder(*response->link);
    else
        linkReset(*response->link);
    response->fd = -1;
}

// One header line a program wrote as text, its line end taken off, under the checks of the
// status and header calls.
int headLine(dostrel_response* response, std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.find('\0') != std::string_view::npos)
        return refuseCall(EINVAL);
    std::string name(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (!sameNameIgnoringCase(name.c_str(), "Status"))
        return dostrel_response_header(response, name.c_str(), std::string(value).c_str());
    // "Status: 404 Not Found": three digits, then the phrase if any.
    bool digits = value.size() >= 3 && std::all_of(value.begin(), value.begin() + 3,
                                                   [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || (value.size() > 3 && value[3] != ' ')) return refuseCall(EINVAL);
    std::string phrase(value.size() > 4 ? value.substr(4) : std::string_view());
    return dostrel_response_status(response, std::atoi(std::string(value.substr(0, 3)).c_str()),
                                   phrase.c_str());
}

// A head line left without its line end when the head must end (a flush, the finish).
void endHeadLine(dostrel_response* response) {
    if (!response->cgiHead || response->part != Part::Headers) return;
    if (!response->headLine.empty() && !response->skipLine) headLine(response, response->headLine);
    response->headLine.clear();
    response->skipLine = false;
}

// Takes the head lines at the start of |*data| up to and including the empty line; what follows
// is body. Returns 0, or -1 with errno when a line was refused (and dropped).
int takeHead(dostrel_response* response, const char** data, std::size_t* size) {
    int result = 0, error = 0;
    while (*size > 0 && response->part == Part::Headers) {
        const void* found = std::memchr(*data, '\n', *size);
        std::size_t take = found ? static_cast<const char*>(found) - *data + 1 : *size;
        std::string& line = response->headLine;
        if (!response->skipLine && line.size() + take > maxHeadLine) {
            result = -1, error = EINVAL;
            line.clear();
            response->skipLine = true;
        }
        if (!response->skipLine) line.append(*data, take);
        *data += take;
        *size -= take;
        if (found == nullptr) break;
        if (response->skipLine) {
            response->skipLine = false;
            continue;
        }
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            response->given = true;
            startBody(response);
        } else if (headLine(response, line) != 0) {
            result = -1, error = errno;
        }
        line.clear();
    }
    errno = error;
    return result;
}

} // namespace

extern "C" {

dostrel_response* dostrel_response_new(int fd, unsigned writeTimeoutMs) {
    auto* response = new (std::nothrow) dostrel_response;
    if (response == nullptr) return nullptr;
    response->fd = fd;
    response->writeTimeoutMs = writeTimeoutMs;
    return response;
}

int dostrel_response_free(dostrel_response* response) {
    if (response == nullptr) return 0;
    int result = dostrel_response_finish(response);
    delete response;
    return result;
}

int dostrel_response_status(dostrel_response* response, int code, const char* phrase) {
    if (response->part != Part::Headers) return refuseCall(EALREADY);
    if (code < 100 || code > 999) return refuseCall(EINVAL);
    if (phrase == nullptr || phrase[0] == '\0') phrase = usualPhrase(code);
    if (std::strpbrk(phrase, "\r\n") != nullptr) return refuseCall(EINVAL);
    response->given = true;
    response->status = code;
    return appendText(response, "Status: " + std::to_string(code) + " " + phrase + "\n");
}

int dostrel_response_header(dostrel_response* response, const char* name, const char* value) {
    if (response->part != Part::Headers) return refuseCall(EALREADY);
    if (name[0] == '\0') return refuseCall(EINVAL);
    for (const char* c = name; *c != '\0'; ++c)
        if (!isTokenCharacter(*c)) return refuseCall(EINVAL);
    if (std::strpbrk(value, "\r\n") != nullptr) return refuseCall(EINVAL);
    response->given = true;
    if (sameNameIgnoringCase(name, "Content-Length")) response->lengthGiven = true;
    if (sameNameIgnoringCase(name, "Status")) response->status = std::atoi(value);
    return appendText(response, std::string(name) + ": " + value + "\n");
}

int dostrel_response_write(dostrel_response* response, const void* data, std::size_t size) {
    int headResult = 0, headError = 0;
    if (response->cgiHead && response->part == Part::Headers) {
        auto* bytes = static_cast<const char*>(data);
        headResult = takeHead(response, &bytes, &size);
        headError = errno;
        data = bytes;
        if (response->part == Part::Headers) return headResult;
    }
    if (startBody(response) != 0) return -1;
    response->given = true;
    if (size > 0 && append(response, data, size) != 0) return -1;
    errno = headError;
    return headResult;
}

int dostrel_response_cgi_head(dostrel_response* response, int enabled) {
    if (response->part != Part::Headers) return refuseCall(EALREADY);
    if (enabled == 0) endHeadLine(response);
    response->cgiHead = enabled != 0;
    return 0;
}

int dostrel_response_printf(dostrel_response* response, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = dostrel_response_vprintf(response, format, arguments);
    va_end(arguments);
    return result;
}

int dostrel_response_vprintf(dostrel_response* response, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    char small[1024];
    int length = std::vsnprintf(small, sizeof small, format, arguments);
    int result;
    if (length < 0) {
        result = refuseCall(EINVAL);
    } else if (static_cast<std::size_t>(length) < sizeof small) {
        result = dostrel_response_write(response, small, static_cast<std::size_t>(length));
    } else {
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        result = dostrel_response_write(response, text.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return result;
}

int dostrel_response_flush(dostrel_response* response) {
    if (response->part == Part::Finished) return refuseCall(EALREADY);
    if (response->error != 0) return fail(response, response->error);
    response->given = true;
    endHeadLine(response);
    if (startBody(response) != 0) return -1;
    return response->fill > 0 ? flush(response) : 0;
}

int dostrel_response_finish(dostrel_response* response) {
    if (response->part == Part::Finished)
        return response->error == 0 ? 0 : fail(response, response->error);
    endHeadLine(response);
    if (!response->given && response->error == 0) {
        static const char answer[] = "Status: 500 Internal Server Error\nContent-Type: "
                                     "text/plain\n\nThe application gave no response.\n";
        append(response, answer, sizeof answer - 1);
        response->part = Part::Body;
        response->headerEnd = std::string_view(answer).find("\n\n") + 1;
        response->status = 500;
    }
    if (response->part == Part::Headers) startBody(response);
    declareLength(response);
    response->part = Part::Finished;
    // A request whose streamed body failed was refused: its answer goes nowhere.
    if (response->link && response->link->bodyFailed && response->error == 0)
        response->error = ECONNABORTED;
    int result = response->error != 0 ? fail(response, response->error) : 0;
    if (result == 0 && response->fill > 0) result = flush(response);
    endLink(response);
    return result;
}

void dostrel_response_abort(dostrel_response* response) {
    if (response->error == 0) response->error = ECONNABORTED;
    response->part = Part::Finished;
    response->fill = 0;
    endLink(response);
}

int dostrel_response_error(const dostrel_response* response) {
    return response->error;
}

} // extern "C"

dostrel_response* responseForLink(std::shared_ptr<Link> link, const dostrel_server_options& options,
                                  bool declareLength) {
    dostrel_response* response = dostrel_response_new(link->fd, options.write_timeout_ms);
    if (response == nullptr) return nullptr;
    response->cgiHead = options.cgi_head != 0;
    response->link = std::move(link);
    response->declareLength = declareLength;
    return response;
}

bool responseSentAny(const dostrel_response* response) {
    return response->sentAny;
}

void responseStartOver(dostrel_response* response) {
    response->part = Part::Headers;
    response->given = false;
    response->fill = 0;
    response->lengthGiven = false;
    response->status = 200;
    response->cgiHead = false; // the server writes the 500 answer through the calls
    response->headLine.clear();
    response->skipLine = false;
}
