// request_data.h -- the request and decoder records behind the public handles.
#pragma once

#include "dostrel/appserver.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ServerConfig;

/// One accepted connection as the request and the response share it. While a response is in
/// progress the socket lingers 0 s, so that any end but the orderly one (a crash, a kill, an
/// abort) resets it and the gateway reports the answer as cut.
struct Link {
    int fd = -1;
    std::string peer;
    std::chrono::steady_clock::time_point deadline; // for the whole request to arrive
    const ServerConfig* config = nullptr;           // for the log lines; may be null
    bool bodyFailed = false;                        // a streamed body read failed
    std::uint64_t bodyLeft = 0;                     // streamed body bytes not yet read

    ~Link(); // a link not ended in order is reset
};

/// Reads up to |size| bytes of the streamed body's rest within the request's time limit: the
/// count, 0 when none is left, or -1 with errno (ECONNRESET when the peer cut the body short,
/// ETIMEDOUT) and |*reason| saying why.
long long linkReadBody(Link& link, void* buffer, std::size_t size, dostrel_reason* reason);
/// Sets or clears the zero linger on |fd|.
void linkLinger(int fd, bool reset);
/// Ends |link| in order: the unread rest of a streamed body is read and dropped (so that the
/// close sends no reset), the zero linger cleared, the socket closed. Resets it instead when
/// the body cannot be read to its end.
void linkEndInOrder(Link& link);
/// Closes |link| with a reset.
void linkReset(Link& link);

/// Where one variable's name and value lie in the request's arena.
struct VariableSpan {
    std::size_t name;
    std::size_t nameLength;
    std::size_t value;
    std::size_t valueLength;
};

struct dostrel_request {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::string arena; // every name and value, each followed by a zero byte
    std::vector<VariableSpan> variables;
    std::string body;
    std::size_t bodyRead = 0; // how much of |body| dostrel_request_read_body has given
    std::uint64_t contentLength = 0;
    std::shared_ptr<Link> link; // set for a streamed body: where the rest of it comes from
};

/// The field the decoder is in; the header's four numbers, then each key's four parts.
enum class DecodeField { Cookie, Major, Minor, KeyCount, NameLength, Name, ValueLength, Value };

struct dostrel_decoder {
    dostrel_limits limits;
    DecodeField field = DecodeField::Cookie;
    dostrel_decode_status status = DOSTREL_NEED_MORE;
    dostrel_reason reason = DOSTREL_OK;
    unsigned char number[4] = {};
    unsigned numberFill = 0;
    std::uint32_t keyCount = 0;
    std::uint32_t keyIndex = 0;
    std::uint64_t variableBytes = 0; // the running total of names and values so far
    std::uint32_t left = 0;          // bytes still to come of the current name or value
    std::uint32_t length = 0;        // the whole length of the current name or value
    std::string contentName;         // the last key's name as it arrives
    bool pauseAtBody = false;        // stop before the body, so the server may stream it
    dostrel_request* request = nullptr;
};

/// Whether |decoder| has stopped before the body for the server to choose (pauseAtBody).
bool decoderAtBody(const dostrel_decoder* decoder);

/// Reads what |fd| has now into |decoder| (at most what the request still needs). Returns the
/// decoder's status; NEED_MORE also when nothing was there (EAGAIN) and when it stopped before the
/// body. EOF or an error ends it.
dostrel_decode_status decoderReadAvailable(dostrel_decoder* decoder, int fd);
