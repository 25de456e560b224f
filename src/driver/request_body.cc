// request_body.cc -- the request body: small ones in memory, large ones in an unnamed temporary
// file while they are read, so that the gateway's memory stays flat whatever the body's size.
#include "driver/request_body.h"

#include "diag/report.h"
#include "driver/request.h"
#include "platform/platform.h"

#include <stdlib.h>

static char emptyBody[1] = "";

// Blocks in which a large declared body is copied to its file; a pipe delivers less at a time.
static constexpr size_t copyBlockSize = size_t{256} << 10;
// A streamed body's memory starts here and doubles up to the in-memory limit.
static constexpr size_t firstStreamCapacity = size_t{64} << 10;

static int createBodyFile() {
    const char* directory = platformTemporaryDirectory();
    int file = platformCreateUnnamedFile(directory);
    if (file < 0) fatalError(20, directory, platformFileError());
    return file;
}

// A full disk must not pass a shortened body on: every failed write is error 20.
static void writeToBodyFile(int file, const char* data, size_t length) {
    while (length > 0) {
        long count = platformWriteDescriptor(file, data, length);
        if (count <= 0) fatalError(20, platformTemporaryDirectory(), platformFileError());
        data += count;
        length -= static_cast<size_t>(count);
    }
}

static char* allocate(size_t size) {
    char* area = static_cast<char*>(malloc(size));
    if (area == nullptr) fatalError(1);
    return area;
}

// A web server that passes a large body as a file has stored it already: it is sent from there,
// from where standard input stands. Whether it is all there is known before anything is sent.
static bool bodyInInputFile(uint32_t length, RequestBody* body) {
    uint64_t position, size;
    if (!platformRegularFileSpan(0, &position, &size)) return false;
    uint64_t available = size > position ? size - position : 0;
    if (available < length)
        fatalError(18, static_cast<unsigned long>(available), static_cast<unsigned long>(length));
    // Standard input is closed after the body has been read; the copy stays open.
    int file = platformDuplicateDescriptor(0);
    if (file < 0) return false;
    *body = {emptyBody, length, file, position};
    return true;
}

RequestBody readDeclaredBody(uint32_t length) {
    if (length == 0) return {emptyBody, 0, noFile, 0};
    if (length <= bodyInMemoryLimit) {
        // Zero-filled, so the body is always followed by a zero byte.
        char* body = static_cast<char*>(platformAllocateBody(length + size_t{1}));
        if (body == nullptr) fatalError(1);
        readExactly(0, body, length);
        return {body, length, noFile, 0};
    }
    RequestBody inInput;
    if (bodyInInputFile(length, &inInput)) return inInput;
    int file = createBodyFile();
    char* block = allocate(copyBlockSize);
    uint32_t total = 0;
    while (total < length) {
        uint32_t wanted = length - total < copyBlockSize ? length - total : copyBlockSize;
        long got = platformReadDescriptor(0, block, wanted);
        if (got <= 0)
            fatalError(18, static_cast<unsigned long>(total), static_cast<unsigned long>(length));
        writeToBodyFile(file, block, static_cast<size_t>(got));
        total += static_cast<uint32_t>(got);
    }
    free(block);
    return {emptyBody, length, file, 0};
}

// One read of standard input for a streamed body; error 21 when it fails.
static size_t readStreamed(char* area, size_t size, uint64_t total) {
    long got = platformReadDescriptor(0, area, size);
    if (got < 0) fatalError(21, static_cast<unsigned long>(total), platformFileError());
    if (total + static_cast<uint64_t>(got) >= firstRefusedBodyLength) fatalError(1);
    return static_cast<size_t>(got);
}

RequestBody readStreamedBody() {
    size_t capacity = firstStreamCapacity;
    char* buffer = allocate(capacity + 1);
    size_t total = 0;
    // Read until the input ends, or until the buffer holds more than the in-memory limit.
    for (;;) {
        if (total == capacity) {
            if (capacity > bodyInMemoryLimit) break;
            capacity = capacity * 2 <= bodyInMemoryLimit ? capacity * 2 : bodyInMemoryLimit + 1;
            char* larger = static_cast<char*>(realloc(buffer, capacity + 1));
            if (larger == nullptr) fatalError(1);
            buffer = larger;
        }
        size_t got = readStreamed(buffer + total, capacity - total, total);
        if (got == 0) {
            buffer[total] = '\0';
            return {buffer, static_cast<uint32_t>(total), noFile, 0};
        }
        total += got;
    }
    // Too large for memory: what came so far goes first, the rest follows through the buffer.
    int file = createBodyFile();
    uint64_t length = 0;
    for (size_t got = total; got > 0; got = readStreamed(buffer, capacity, length)) {
        writeToBodyFile(file, buffer, got);
        length += got;
    }
    free(buffer);
    return {emptyBody, static_cast<uint32_t>(length), file, 0};
}
