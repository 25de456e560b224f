// request.cc -- the decoded request's accessors, its encoding, and reading one request from a
// descriptor within the time limit.
#include "request_data.h"
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One read of at most what the request still needs. Sets |*wouldBlock| when nothing was there.
dostrel_decode_status readOnce(dostrel_decoder* decoder, int fd, bool* wouldBlock) {
    char block[65536];
    *wouldBlock = false;
    for (;;) {
        std::size_t want = dostrel_decoder_needed(decoder);
        ssize_t got = read(fd, block, want < sizeof block ? want : sizeof block);
        if (got > 0)
            return dostrel_decoder_feed(decoder, block, static_cast<std::size_t>(got), nullptr);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            *wouldBlock = true;
            return DOSTREL_NEED_MORE;
        }
        dostrel_decoder_end(decoder); // end of stream, or a reset
        return DOSTREL_REFUSED;
    }
}

void appendNumber(unsigned char*& out, std::uint32_t number) {
    for (int shift = 24; shift >= 0; shift -= 8)
        *out++ = static_cast<unsigned char>(number >> shift);
}

void appendText(unsigned char*& out, const char* text, std::size_t length) {
    appendNumber(out, static_cast<std::uint32_t>(length));
    if (length > 0) std::memcpy(out, text, length);
    out += length;
}

} // namespace

dostrel_decode_status decoderReadAvailable(dostrel_decoder* decoder, int fd) {
    bool wouldBlock = false;
    dostrel_decode_status status = DOSTREL_NEED_MORE;
    while (status == DOSTREL_NEED_MORE && !wouldBlock && !decoderAtBody(decoder))
        status = readOnce(decoder, fd, &wouldBlock);
    return status;
}

extern "C" {

void dostrel_request_free(dostrel_request* request) {
    delete request;
}

std::uint32_t dostrel_request_major(const dostrel_request* request) {
    return request->major;
}

std::uint32_t dostrel_request_minor(const dostrel_request* request) {
    return request->minor;
}

std::size_t dostrel_request_count(const dostrel_request* request) {
    return request->variables.size();
}

const char* dostrel_request_name(const dostrel_request* request, std::size_t index,
                                 std::size_t* length) {
    if (index >= request->variables.size()) return nullptr;
    const VariableSpan& span = request->variables[index];
    if (length != nullptr) *length = span.nameLength;
    return request->arena.data() + span.name;
}

const char* dostrel_request_value(const dostrel_request* request, std::size_t index,
                                  std::size_t* length) {
    if (index >= request->variables.size()) return nullptr;
    const VariableSpan& span = request->variables[index];
    if (length != nullptr) *length = span.valueLength;
    return request->arena.data() + span.value;
}

const char* dostrel_request_get(const dostrel_request* request, const char* name,
                                std::size_t* length) {
    std::size_t nameLength = std::strlen(name);
    for (const VariableSpan& span : request->variables)
        if (span.nameLength == nameLength &&
            std::memcmp(request->arena.data() + span.name, name, nameLength) == 0) {
            if (length != nullptr) *length = span.valueLength;
            return request->arena.data() + span.value;
        }
    return nullptr;
}

const char* dostrel_request_body(const dostrel_request* request, std::size_t* length) {
    if (length != nullptr) *length = request->body.size();
    return request->body.c_str();
}

std::uint64_t dostrel_request_content_length(const dostrel_request* request) {
    return request->contentLength;
}

long long dostrel_request_read_body(dostrel_request* request, void* buffer, std::size_t size) {
    Link* link = request->link.get();
    if (link == nullptr) { // a buffered body: read from memory, so one loop serves both kinds
        std::size_t count = std::min(size, request->body.size() - request->bodyRead);
        if (count > 0) std::memcpy(buffer, request->body.data() + request->bodyRead, count);
        request->bodyRead += count;
        return static_cast<long long>(count);
    }
    if (link->bodyFailed) {
        errno = ECONNRESET;
        return -1;
    }
    if (link->bodyLeft == 0 || size == 0) return 0;
    if (link->fd < 0) {
        errno = EBADF; // the response has already ended the connection
        return -1;
    }
    dostrel_reason reason = DOSTREL_OK;
    long long got = linkReadBody(*link, buffer, size, &reason);
    if (got < 0) {
        int error = errno;
        link->bodyFailed = true;
        if (link->config != nullptr)
            serverLog(*link->config, "refused %s: %s (in the streamed body)", link->peer.c_str(),
                      dostrel_reason_word(reason));
        errno = error;
    }
    return got;
}

std::size_t dostrel_request_encode(const dostrel_request* request, void* out,
                                   std::size_t capacity) {
    std::size_t size = 16 + 8 + std::strlen(DOSTREL_CONTENT_KEY) + request->body.size();
    for (const VariableSpan& span : request->variables)
        size += 8 + span.nameLength + span.valueLength;
    if (capacity < size || out == nullptr) return size;
    auto* at = static_cast<unsigned char*>(out);
    appendNumber(at, 0x09231963u);
    appendNumber(at, request->major);
    appendNumber(at, request->minor);
    appendNumber(at, static_cast<std::uint32_t>(request->variables.size() + 1));
    for (const VariableSpan& span : request->variables) {
        appendText(at, request->arena.data() + span.name, span.nameLength);
        appendText(at, request->arena.data() + span.value, span.valueLength);
    }
    appendText(at, DOSTREL_CONTENT_KEY, std::strlen(DOSTREL_CONTENT_KEY));
    appendText(at, request->body.data(), request->body.size());
    return size;
}

dostrel_reason dostrel_request_read(int fd, const dostrel_limits* limits,
                                    dostrel_request** request) {
    using Clock = std::chrono::steady_clock;
    dostrel_decoder decoder;
    decoder.limits = limits ? *limits : dostrel_limits_default();
    unsigned timeout = decoder.limits.read_timeout_ms;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    dostrel_decode_status status = DOSTREL_NEED_MORE;
    while (status == DOSTREL_NEED_MORE) {
        int wait = -1;
        if (timeout > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                decoder.reason = DOSTREL_TIMEOUT;
                break;
            }
            wait = static_cast<int>(left.count()) + 1;
        }
        // Waiting first keeps a blocking descriptor from holding the read past the deadline.
        pollfd ready = {fd, POLLIN, 0};
        int polled = poll(&ready, 1, wait);
        if (polled < 0 && errno != EINTR) {
            dostrel_decoder_end(&decoder);
            break;
        }
        if (polled <= 0) continue;
        bool wouldBlock;
        status = readOnce(&decoder, fd, &wouldBlock);
    }
    if (status == DOSTREL_DONE) *request = dostrel_decoder_take(&decoder);
    delete decoder.request;
    return decoder.reason;
}

} // extern "C"
