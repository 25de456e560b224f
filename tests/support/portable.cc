// portable.cc -- POSIX and Windows versions of the unit tests' system services.
#include "portable.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <unistd.h>
#endif

std::FILE* fileHolding(const std::string& content) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) std::abort();
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    return file;
}

std::string contentOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string content;
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
        content.append(block, n);
    return content;
}

std::string makeTemporaryDirectory() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                          ("dostrel-unit-" + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(candidate))
            return std::filesystem::canonical(candidate).string();
    }
}

const char* nullDevice() {
#ifdef _WIN32
    return "NUL";
#else
    return "/dev/null";
#endif
}

int makePipe(int ends[2]) {
#ifdef _WIN32
    return _pipe(ends, 1 << 20, _O_BINARY);
#else
    return pipe(ends);
#endif
}

#ifdef _WIN32
long readDescriptor(int descriptor, void* area, unsigned size) {
    return _read(descriptor, area, size);
}
long writeDescriptor(int descriptor, const void* data, unsigned size) {
    return _write(descriptor, data, size);
}
int closeDescriptor(int descriptor) {
    return _close(descriptor);
}
int duplicateDescriptor(int descriptor) {
    return _dup(descriptor);
}
int duplicateDescriptorTo(int descriptor, int target) {
    return _dup2(descriptor, target);
}
#else
long readDescriptor(int descriptor, void* area, unsigned size) {
    return read(descriptor, area, size);
}
long writeDescriptor(int descriptor, const void* data, unsigned size) {
    return write(descriptor, data, size);
}
int closeDescriptor(int descriptor) {
    return close(descriptor);
}
int duplicateDescriptor(int descriptor) {
    return dup(descriptor);
}
int duplicateDescriptorTo(int descriptor, int target) {
    return dup2(descriptor, target);
}
#endif

int openForWriting(const char* name) {
#ifdef _WIN32
    return _open(name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
#else
    return open(name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
#endif
}

std::uint32_t toNetworkOrder(std::uint32_t value) {
    return htonl(value);
}

void useUtcAsLocalTime() {
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
}

std::tm utcTime(std::time_t when) {
    std::tm broken = {};
#ifdef _WIN32
    gmtime_s(&broken, &when);
#else
    gmtime_r(&when, &broken);
#endif
    return broken;
}
