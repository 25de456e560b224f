// request_body.h -- reading the request body from standard input, in memory or in a file.
#pragma once

#include <stdint.h>

/// The request body: |length| bytes, either at |bytes| (followed by a zero byte) or, when |file|
/// is not noFile, in that file from |offset| on (an unnamed temporary file, or the file that the
/// web server passed as standard input), with |bytes| the empty text.
struct RequestBody {
    const char* bytes;
    uint32_t length;
    int file;
    uint64_t offset;
};

/// Lengths from here up cannot be allocated with their terminating zero byte on a 32-bit heap;
/// refusing them everywhere keeps the two builds alike, and a streamed body meets the same limit.
constexpr uint32_t firstRefusedBodyLength = 4294967264u;

/// Bodies up to this size stay in memory; larger ones go to a temporary file while they are read.
constexpr uint32_t bodyInMemoryLimit = uint32_t{4} << 20;

/// Reads a body of the declared |length|. Error 18 when standard input ends or fails first, error
/// 20 when a large body's temporary file cannot be made or written, error 1 when memory runs out.
RequestBody readDeclaredBody(uint32_t length);

/// Reads a body whose length nobody declared (it came in chunks) to the end of standard input,
/// under the limit of a declared body (error 1 beyond it). Error 21 when a read fails, error 20 as
/// for a declared body.
RequestBody readStreamedBody();
