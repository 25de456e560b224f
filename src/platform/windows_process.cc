// windows_process.cc -- process, descriptor, file and clock services on Windows.
#include "platform/platform.h"

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>

// The runtime gives every process its three standard descriptors.
void platformOpenStandardDescriptors() {}

// Windows has no signal for a vanished reader: the write fails with an error.
void platformIgnoreBrokenPipe() {}

// The request body is read as raw bytes as well.
void platformMakeStdoutBinary() {
    if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
    _setmode(0, _O_BINARY);
}

const char* platformOwnExecutablePath() {
    static char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length <= MAX_PATH ? length : 0] = '\0';
    return path;
}

// The C runtime takes an unsigned int count; callers never ask for more than fits.
long platformReadDescriptor(int descriptor, void* area, std::size_t size) {
    unsigned int count = size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<unsigned int>(size);
    return _read(descriptor, area, count);
}

long platformWriteDescriptor(int descriptor, const void* data, std::size_t length) {
    unsigned int count = length > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<unsigned int>(length);
    return _write(descriptor, data, count);
}

void platformCloseDescriptor(int descriptor) { _close(descriptor); }

bool platformCurrentDirectory(char* area, std::size_t size) {
    return _getcwd(area, static_cast<int>(size)) != nullptr;
}

// Text mode: CR LF reads as LF, 0x1A ends the content, and a written LF becomes CR LF.
std::FILE* platformOpenTextFile(const char* name, const char* mode) {
    return _fsopen(name, mode, _SH_DENYNO);
}

bool platformLocalTime(std::time_t when, std::tm* local) {
    std::tm* converted = std::localtime(&when);
    if (converted == nullptr) return false;
    *local = *converted;
    return true;
}

void platformExitProcess(int status) {
    std::fflush(nullptr);
    _exit(status);
}
