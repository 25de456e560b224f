// posix_files.cc -- the request body's temporary file on POSIX systems, and reads at an offset.
// A 32-bit build reads and writes bodies beyond 2 GiB too.
#define _FILE_OFFSET_BITS 64

#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

long platformReadFileAt(int file, std::uint64_t offset, void* area, std::size_t size) {
    ssize_t result;
    do {
        result = pread(file, area, size, static_cast<off_t>(offset));
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
}

bool platformRegularFileSpan(int descriptor, std::uint64_t* position, std::uint64_t* size) {
    struct stat facts;
    if (fstat(descriptor, &facts) != 0 || !S_ISREG(facts.st_mode)) return false;
    off_t at = lseek(descriptor, 0, SEEK_CUR);
    if (at < 0) return false;
    *position = static_cast<std::uint64_t>(at);
    *size = static_cast<std::uint64_t>(facts.st_size);
    return true;
}

int platformDuplicateDescriptor(int descriptor) {
    return fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
}

const char* platformTemporaryDirectory() {
    const char* directory = getenv("TMPDIR");
    return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
}

// Where the file system offers no unnamed files, a named one is made and its name removed at
// once: it can then outlive the process only when the process is killed between the two calls.
static int createAndUnlink(const char* directory) {
    static char path[4096];
    if (snprintf(path, sizeof path, "%s/dostrel-body-XXXXXX", directory) >= int{sizeof path}) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int file = mkstemp(path);
    if (file < 0) return -1;
    if (unlink(path) != 0) {
        int failure = errno;
        close(file);
        errno = failure;
        return -1;
    }
    fcntl(file, F_SETFD, FD_CLOEXEC);
    return file;
}

int platformCreateUnnamedFile(const char* directory) {
#ifdef O_TMPFILE
    int file;
    do {
        file = open(directory, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    } while (file < 0 && errno == EINTR);
    if (file >= 0) return file;
    // The directory's file system cannot make unnamed files; any other failure is final.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
    return createAndUnlink(directory);
}

int platformFileError() {
    return errno;
}
