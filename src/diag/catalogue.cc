// catalogue.cc -- the message texts; numbers 3, 7, 9 and 14 are kept though nothing raises them.
#include "diag/catalogue.h"

const char* const errorMessages[22] = {
    nullptr,
    "Out of memory.",
    "Configuration file %s not found or unreadable.",
    "Error reading config file dostrel.cnf.",
    "Unable to connect to host '%s' at port %hu, errno %d.",
    "Error creating socket, errno %d.",
    "Error resolving host name '%s'.",
    "No '=' character found in environment variable setting of '%s'.",
    "No link found for path info '%s'.",
    "Environment variable PATH_INFO not set.",
    "Error sending data on socket: %d, errno %d.",
    "Error receivng data on socket: %d, errno %d.",
    "Bad data in CONTENT_LENGTH environment variable: '%s'.",
    "Unable to determine local host name.",
    "Unable to make stdout binary.",
    "Server prematurely closed socket %d.",
    "Error initializing WinSock.",
    "Invalid WinSock version.",
    "Error reading request body: got %lu of %lu bytes.",
    "Server at host '%s' port %hu closed the connection without a response.",
    "Unable to store request body in a temporary file in '%s', errno %d.",
    "Error reading request body after %lu bytes, errno %d.",
};

const char* const warningMessages[8] = {
    nullptr,
    "Invalid keyword '%s' in configuration file.",
    "Invalid data '%s' for keyword '%s' in configuration file.",
    "Not enough parameters for keyword '%s' in configuration file.",
    "No parameters for keyword '%s' in configuration file.",
    "Invalid link protocol '%s' specified in configuration file.",
    "Bad port number '%s' specified in configuration file.",
    "Invalid protocol %ld' requested.",
};

static constexpr std::int32_t connectFailedError = 4;

int errorStatusCode(std::int32_t number) {
    return number == connectFailedError ? 503 : 500;
}

const char* errorStatusReason(std::int32_t number) {
    return number == connectFailedError ? "Unavailable" : "Error";
}
