// response.cc -- writing a CGI response: header lines and the body through one fixed buffer,
// large pieces sent straight from the caller's memory.
#include "dostrel/appserver.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

namespace {

enum class Part { Headers, Body, Finished };

} // namespace

struct dostrel_response {
    int fd;
    unsigned writeTimeoutMs;
    Part part = Part::Headers;
    bool given = false; // the caller gave a status, a header or body bytes
    int error = 0;
    std::size_t fill = 0;
    char buffer[16384];
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
        ssize_t sent = sendmsg(response->fd, &message, MSG_NOSIGNAL);
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
    return sendPieces(response, pieces, extraSize > 0 ? 2 : 1);
}

int append(dostrel_response* response, const void* data, std::size_t size) {
    if (response->error != 0) return fail(response, response->error);
    if (response->fill + size <= sizeof response->buffer) {
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
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

// Ends the header lines once: the empty line goes before the first body byte.
int startBody(dostrel_response* response) {
    if (response->part == Part::Finished) return refuseCall(EALREADY);
    if (response->part == Part::Headers) {
        response->part = Part::Body;
        return append(response, "\n", 1);
    }
    return 0;
}

} // namespace

extern "C" {

dostrel_response* dostrel_response_new(int fd, unsigned writeTimeoutMs) {
    auto* response = new (std::nothrow) dostrel_response;
    if (response == nullptr) return nullptr;
    response->fd = fd;
    response->writeTimeoutMs = writeTimeoutMs;
    // A blocking socket gives up after the time-out too (a descriptor that is no socket has
    // no such option, and waits).
    if (writeTimeoutMs > 0) {
        timeval limit = {static_cast<time_t>(writeTimeoutMs / 1000),
                         static_cast<suseconds_t>(writeTimeoutMs % 1000 * 1000)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
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
    if (phrase == nullptr) phrase = usualPhrase(code);
    if (std::strpbrk(phrase, "\r\n") != nullptr) return refuseCall(EINVAL);
    response->given = true;
    return appendText(response, "Status: " + std::to_string(code) + " " + phrase + "\n");
}

int dostrel_response_header(dostrel_response* response, const char* name, const char* value) {
    if (response->part != Part::Headers) return refuseCall(EALREADY);
    if (name[0] == '\0') return refuseCall(EINVAL);
    for (const char* c = name; *c != '\0'; ++c)
        if (!isTokenCharacter(*c)) return refuseCall(EINVAL);
    if (std::strpbrk(value, "\r\n") != nullptr) return refuseCall(EINVAL);
    response->given = true;
    return appendText(response, std::string(name) + ": " + value + "\n");
}

int dostrel_response_write(dostrel_response* response, const void* data, std::size_t size) {
    if (startBody(response) != 0) return -1;
    response->given = true;
    return size == 0 ? 0 : append(response, data, size);
}

int dostrel_response_printf(dostrel_response* response, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    char small[1024];
    int length = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
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

int dostrel_response_finish(dostrel_response* response) {
    if (response->part == Part::Finished) return response->error == 0 ? 0 : -1;
    if (!response->given && response->error == 0) {
        static const char answer[] = "Status: 500 Internal Server Error\nContent-Type: "
                                     "text/plain\n\nThe application gave no response.\n";
        append(response, answer, sizeof answer - 1);
        response->part = Part::Body;
    }
    if (response->part == Part::Headers) startBody(response);
    response->part = Part::Finished;
    if (response->error != 0) return fail(response, response->error);
    return response->fill > 0 ? flush(response) : 0;
}

int dostrel_response_error(const dostrel_response* response) {
    return response->error;
}

} // extern "C"
