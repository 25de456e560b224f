// server_log.cc -- the server's log lines: to the caller's function, or one write each to a
// file, so that lines of several worker processes never interleave.
#include "server.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void serverLog(const ServerConfig& config, const char* format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (config.options.log != nullptr) {
        config.options.log(config.options.log_data, message);
        return;
    }
    char line[1200];
    int length = std::snprintf(line, sizeof line, "%s[%ld]: %s\n", config.name.c_str(),
                               static_cast<long>(getpid()), message);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) >= sizeof line) {
        length = sizeof line - 1;
        line[length - 1] = '\n';
    }
    std::FILE* file = config.options.log_file != nullptr ? config.options.log_file : stderr;
    std::fwrite(line, 1, static_cast<std::size_t>(length), file);
    std::fflush(file);
}
