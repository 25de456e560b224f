// posix_process.cc -- process, descriptor, file and clock services on POSIX systems.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

void platformOpenStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
}

void platformIgnoreBrokenPipe() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// POSIX streams carry bytes unchanged already.
void platformMakeStdoutBinary() {}

const char* platformOwnExecutablePath() {
    static char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    path[length > 0 ? length : 0] = '\0';
    return path;
}

// A count beyond SSIZE_MAX has no defined result; a 32-bit program reading a body of 2 GiB or
// more asks for one, so it asks for SSIZE_MAX at most and reads the rest in the next call.
long platformReadDescriptor(int descriptor, void* area, std::size_t size) {
    if (size > SSIZE_MAX) size = SSIZE_MAX;
    ssize_t result;
    do {
        result = read(descriptor, area, size);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
}

long platformWriteDescriptor(int descriptor, const void* data, std::size_t length) {
    ssize_t result;
    do {
        result = write(descriptor, data, length);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
}

void platformCloseDescriptor(int descriptor) {
    close(descriptor);
}

bool platformCurrentDirectory(char* area, std::size_t size) {
    return getcwd(area, size) != nullptr;
}

// A directory opens for reading here, unlike on other systems; it is no text file all the same.
std::FILE* platformOpenTextFile(const char* name, const char* mode) {
    std::FILE* file;
    do {
        file = std::fopen(name, mode);
    } while (file == nullptr && errno == EINTR);
    struct stat facts;
    if (file != nullptr && fstat(fileno(file), &facts) == 0 && S_ISDIR(facts.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool platformLocalTime(std::time_t when, std::tm* local) {
    return localtime_r(&when, local);
}

void platformExitProcess(int status) {
    std::fflush(nullptr);
    _exit(status);
}
