// request_data.h -- the request and decoder records behind the public handles.
#pragma once

#include "dostrel/appserver.h"

#include <cstdint>
#include <string>
#include <vector>

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
    dostrel_request* request = nullptr;
};

/// Reads what |fd| has now into |decoder| (at most what the request still needs). Returns the
/// decoder's status; NEED_MORE also when nothing was there (EAGAIN). EOF or an error ends it.
dostrel_decode_status decoderReadAvailable(dostrel_decoder* decoder, int fd);
