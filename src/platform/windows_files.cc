// windows_files.cc -- the request body's temporary file on Windows, and reads at an offset.
#include "platform/platform.h"

#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

long platformReadFileAt(int file, std::uint64_t offset, void* area, std::size_t size) {
    if (_lseeki64(file, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
    return platformReadDescriptor(file, area, size);
}

bool platformRegularFileSpan(int descriptor, std::uint64_t* position, std::uint64_t* size) {
    struct _stati64 facts;
    if (_fstati64(descriptor, &facts) != 0 || (facts.st_mode & _S_IFMT) != _S_IFREG) return false;
    __int64 at = _telli64(descriptor);
    if (at < 0) return false;
    *position = static_cast<std::uint64_t>(at);
    *size = static_cast<std::uint64_t>(facts.st_size);
    return true;
}

int platformDuplicateDescriptor(int descriptor) {
    return _dup(descriptor);
}

const char* platformTemporaryDirectory() {
    static char directory[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof directory, directory);
    if (length == 0 || length > MAX_PATH) return ".";
    return directory;
}

static int lastFileError = 0;

// The name is made unique by the system; the file goes when its last handle closes, which the
// end of the process does whatever the end.
int platformCreateUnnamedFile(const char* directory) {
    char path[MAX_PATH + 1];
    if (GetTempFileNameA(directory, "dsb", 0, path) == 0) {
        lastFileError = static_cast<int>(GetLastError());
        return -1;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastFileError = static_cast<int>(GetLastError());
        DeleteFileA(path);
        return -1;
    }
    int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_RDWR);
    if (file < 0) {
        lastFileError = errno;
        CloseHandle(handle);
        return -1;
    }
    lastFileError = 0;
    return file;
}

// A failed create keeps the system's own code; a failed write the runtime's.
int platformFileError() {
    return lastFileError != 0 ? lastFileError : errno;
}
