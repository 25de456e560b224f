// decoder.cc -- the push decoder of the link request: bytes in as they come, a request or a
// refusal out. Every length is checked against its limit as it is read; buffers grow only with
// bytes that arrived.
#include "request_data.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint32_t cookie = 0x09231963u;
constexpr std::string_view contentKey = DOSTREL_CONTENT_KEY;

bool onLastKey(const dostrel_decoder* d) {
    return d->keyIndex + 1 == d->keyCount;
}

void refuse(dostrel_decoder* d, dostrel_reason reason) {
    d->status = DOSTREL_REFUSED;
    d->reason = reason;
}

// Room for |more| body bytes: at least doubled each time, so appending stays linear, but never
// beyond the announced length, and only ever for bytes in hand.
void growBody(dostrel_decoder* d, std::size_t more) {
    std::string& body = d->request->body;
    std::size_t wanted = body.size() + more;
    if (wanted <= body.capacity()) return;
    std::size_t doubled = std::max(wanted, body.capacity() * 2);
    body.reserve(std::min<std::size_t>(doubled, d->length));
}

void endText(dostrel_decoder* d);

void startText(dostrel_decoder* d, DecodeField field, std::uint32_t length) {
    d->field = field;
    d->left = d->length = length;
    if (!onLastKey(d)) {
        std::string& arena = d->request->arena;
        if (field == DecodeField::Name) {
            d->request->variables.push_back({arena.size(), length, 0, 0});
        } else {
            d->request->variables.back().value = arena.size();
            d->request->variables.back().valueLength = length;
        }
    }
    if (length == 0) endText(d);
}

void endText(dostrel_decoder* d) {
    bool last = onLastKey(d);
    if (d->field == DecodeField::Name) {
        if (last && d->contentName != contentKey) return refuse(d, DOSTREL_MISSING_CONTENT_KEY);
        if (!last) d->request->arena.push_back('\0');
        d->field = DecodeField::ValueLength;
        return;
    }
    if (last) {
        d->status = DOSTREL_DONE;
        return;
    }
    d->request->arena.push_back('\0');
    ++d->keyIndex;
    d->field = DecodeField::NameLength;
}

// Checks a variable's name or value length against the running total of the variables.
bool takeVariableLength(dostrel_decoder* d, std::uint32_t length) {
    if (d->variableBytes + length > d->limits.max_variable_bytes) {
        refuse(d, DOSTREL_VARIABLES_TOO_LARGE);
        return false;
    }
    d->variableBytes += length;
    return true;
}

void takeNumber(dostrel_decoder* d, std::uint32_t value) {
    switch (d->field) {
    case DecodeField::Cookie:
        if (value != cookie) return refuse(d, DOSTREL_BAD_COOKIE);
        d->field = DecodeField::Major;
        return;
    case DecodeField::Major:
        if (value != 1) return refuse(d, DOSTREL_UNSUPPORTED_VERSION);
        d->request->major = value;
        d->field = DecodeField::Minor;
        return;
    case DecodeField::Minor:
        d->request->minor = value;
        d->field = DecodeField::KeyCount;
        return;
    case DecodeField::KeyCount:
        if (value == 0) return refuse(d, DOSTREL_MISSING_CONTENT_KEY);
        if (value > d->limits.max_keys) return refuse(d, DOSTREL_TOO_MANY_KEYS);
        d->keyCount = value;
        d->keyIndex = 0;
        d->field = DecodeField::NameLength;
        return;
    case DecodeField::NameLength:
        if (onLastKey(d)) {
            if (value != contentKey.size()) return refuse(d, DOSTREL_MISSING_CONTENT_KEY);
        } else if (!takeVariableLength(d, value)) {
            return;
        }
        return startText(d, DecodeField::Name, value);
    case DecodeField::ValueLength:
        if (onLastKey(d)) {
            if (value > d->limits.max_body_bytes) return refuse(d, DOSTREL_BODY_TOO_LARGE);
            d->request->contentLength = value;
        } else if (!takeVariableLength(d, value)) {
            return;
        }
        return startText(d, DecodeField::Value, value);
    default:
        return;
    }
}

void takeText(dostrel_decoder* d, const char* bytes, std::size_t count) {
    if (!onLastKey(d)) {
        d->request->arena.append(bytes, count);
    } else if (d->field == DecodeField::Name) {
        d->contentName.append(bytes, count);
    } else {
        growBody(d, count);
        d->request->body.append(bytes, count);
    }
    d->left -= static_cast<std::uint32_t>(count);
    if (d->left == 0) endText(d);
}

bool isNumberField(DecodeField field) {
    return field != DecodeField::Name && field != DecodeField::Value;
}

void startOver(dostrel_decoder* d) {
    dostrel_limits limits = d->limits;
    dostrel_request* request = d->request;
    *d = dostrel_decoder{};
    d->limits = limits;
    d->request = request;
}

} // namespace

bool decoderAtBody(const dostrel_decoder* d) {
    return d->pauseAtBody && d->status == DOSTREL_NEED_MORE && d->field == DecodeField::Value &&
           onLastKey(d) && d->left == d->length;
}

extern "C" {

const char* dostrel_reason_word(dostrel_reason reason) {
    static const char* const words[] = {"ok",
                                        "bad-cookie",
                                        "unsupported-version",
                                        "too-many-keys",
                                        "missing-content-key",
                                        "variables-too-large",
                                        "body-too-large",
                                        "truncated",
                                        "timeout",
                                        "not-allowed",
                                        "out-of-memory"};
    auto index = static_cast<std::size_t>(reason);
    return index < sizeof words / sizeof words[0] ? words[index] : "unknown";
}

dostrel_limits dostrel_limits_default(void) {
    return {10000, 1048576, 1073741824, 30000};
}

dostrel_decoder* dostrel_decoder_new(const dostrel_limits* limits) {
    auto* decoder = new (std::nothrow) dostrel_decoder;
    if (decoder != nullptr) decoder->limits = limits ? *limits : dostrel_limits_default();
    return decoder;
}

void dostrel_decoder_free(dostrel_decoder* decoder) {
    if (decoder == nullptr) return;
    delete decoder->request;
    delete decoder;
}

dostrel_decode_status dostrel_decoder_feed(dostrel_decoder* d, const void* data, std::size_t size,
                                           std::size_t* consumed) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t taken = 0;
    try {
        if (d->status == DOSTREL_NEED_MORE && d->request == nullptr)
            d->request = new dostrel_request;
        while (d->status == DOSTREL_NEED_MORE && taken < size && !decoderAtBody(d)) {
            if (isNumberField(d->field)) {
                d->number[d->numberFill++] = static_cast<unsigned char>(bytes[taken++]);
                if (d->numberFill < 4) continue;
                d->numberFill = 0;
                takeNumber(d, (std::uint32_t{d->number[0]} << 24) | (d->number[1] << 16) |
                                  (d->number[2] << 8) | d->number[3]);
            } else {
                std::size_t count = std::min<std::size_t>(d->left, size - taken);
                takeText(d, bytes + taken, count);
                taken += count;
            }
        }
    } catch (const std::bad_alloc&) {
        refuse(d, DOSTREL_OUT_OF_MEMORY);
    }
    if (consumed != nullptr) *consumed = taken;
    return d->status;
}

std::size_t dostrel_decoder_needed(const dostrel_decoder* d) {
    if (d->status != DOSTREL_NEED_MORE) return 0;
    std::uint64_t need = 0;
    std::uint64_t numberLeft = 4 - d->numberFill;
    switch (d->field) {
    case DecodeField::Cookie:
        return static_cast<std::size_t>(numberLeft + 12);
    case DecodeField::Major:
        return static_cast<std::size_t>(numberLeft + 8);
    case DecodeField::Minor:
        return static_cast<std::size_t>(numberLeft + 4);
    case DecodeField::KeyCount:
        return static_cast<std::size_t>(numberLeft);
    case DecodeField::NameLength:
        need = numberLeft + (onLastKey(d) ? contentKey.size() : 0) + 4;
        break;
    case DecodeField::Name:
        need = d->left + 4;
        break;
    case DecodeField::ValueLength:
        need = numberLeft;
        break;
    case DecodeField::Value:
        need = d->left;
        break;
    }
    // Every later key has its two lengths, and the content key its 21-byte name.
    std::uint64_t keysAfter = d->keyCount - d->keyIndex - 1;
    if (keysAfter > 0) need += keysAfter * 8 + contentKey.size();
    return static_cast<std::size_t>(std::min<std::uint64_t>(need, SIZE_MAX));
}

dostrel_reason dostrel_decoder_reason(const dostrel_decoder* decoder) {
    return decoder->reason;
}

dostrel_request* dostrel_decoder_take(dostrel_decoder* decoder) {
    if (decoder->status != DOSTREL_DONE) return nullptr;
    dostrel_request* request = decoder->request;
    decoder->request = nullptr;
    startOver(decoder);
    return request;
}

void dostrel_decoder_end(dostrel_decoder* decoder) {
    if (decoder->status == DOSTREL_NEED_MORE) refuse(decoder, DOSTREL_TRUNCATED);
}

dostrel_reason dostrel_decode(const void* bytes, std::size_t size, const dostrel_limits* limits,
                              dostrel_request** request, std::size_t* consumed) {
    dostrel_decoder decoder;
    decoder.limits = limits ? *limits : dostrel_limits_default();
    std::size_t taken = 0;
    dostrel_decode_status status = dostrel_decoder_feed(&decoder, bytes, size, &taken);
    if (status == DOSTREL_NEED_MORE) dostrel_decoder_end(&decoder);
    if (consumed != nullptr) *consumed = taken;
    if (status == DOSTREL_DONE) *request = dostrel_decoder_take(&decoder);
    delete decoder.request;
    return decoder.reason;
}

} // extern "C"
