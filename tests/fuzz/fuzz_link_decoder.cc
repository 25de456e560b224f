// fuzz_link_decoder.cc -- the library's link request decoder fed arbitrary bytes under small
// limits: fed whole and in pieces it must come to the same verdict at the same byte, never
// take bytes past a complete request or more than it said it still needed, and a request it
// accepts must encode back to exactly the bytes it took.
#include "dostrel/appserver.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks the limits and the piece sizes; the rest is the stream.
    unsigned control = data[0];
    dostrel_limits limits = dostrel_limits_default();
    limits.max_keys = 1 + control % 8;
    limits.max_variable_bytes = control & 0x80 ? 64 : 4096;
    limits.max_body_bytes = control & 0x40 ? 16 : 65536;
    const std::uint8_t* bytes = data + 1;
    std::size_t length = size - 1;

    dostrel_request* whole = nullptr;
    std::size_t consumed = 0;
    dostrel_reason reason = dostrel_decode(bytes, length, &limits, &whole, &consumed);
    if (consumed > length || (reason == DOSTREL_OK) != (whole != nullptr)) std::abort();

    dostrel_decoder* decoder = dostrel_decoder_new(&limits);
    std::size_t at = 0, step = 1 + (control >> 3) % 7;
    dostrel_decode_status status = DOSTREL_NEED_MORE;
    while (status == DOSTREL_NEED_MORE && at < length) {
        std::size_t needed = dostrel_decoder_needed(decoder);
        // Reading what it says it needs never reads past the end of an accepted request.
        if (needed == 0 || (reason == DOSTREL_OK && needed > consumed - at)) std::abort();
        std::size_t piece = std::min(step, length - at);
        std::size_t taken = 0;
        status = dostrel_decoder_feed(decoder, bytes + at, piece, &taken);
        if (taken > piece || (status == DOSTREL_NEED_MORE && taken != piece)) std::abort();
        at += taken;
        step = step * 3 % 11 + 1;
    }
    if (status == DOSTREL_NEED_MORE) dostrel_decoder_end(decoder);
    if (dostrel_decoder_reason(decoder) != reason) std::abort();
    if (reason == DOSTREL_OK) {
        if (at != consumed) std::abort();
        dostrel_request* pieced = dostrel_decoder_take(decoder);
        std::string a(dostrel_request_encode(whole, nullptr, 0), '\0');
        std::string b(dostrel_request_encode(pieced, nullptr, 0), '\0');
        dostrel_request_encode(whole, a.data(), a.size());
        dostrel_request_encode(pieced, b.data(), b.size());
        if (a != b || a.size() != consumed || std::memcmp(a.data(), bytes, consumed) != 0)
            std::abort();
        if (dostrel_request_count(whole) + 1 > limits.max_keys) std::abort();
        dostrel_request_free(pieced);
    }
    dostrel_request_free(whole);
    dostrel_decoder_free(decoder);
    return 0;
}
