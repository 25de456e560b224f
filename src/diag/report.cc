// report.cc -- fatalError and reportWarning: formatting a catalogue message and delivering it.
#include "diag/report.h"

#include "diag/catalogue.h"
#include "diag/error_page.h"
#include "platform/c_library.h"
#include "platform/platform.h"

const char* programPath = "";
bool responseRelayBegun = false;
std::int32_t warningsReported = 0;

// Formats into the heap so that long arguments (a path, a configuration line) stay whole; if
// even that fails, a truncated message is better than none.
static char fallbackMessage[1024];

static const char* formatMessage(const char* format, std::va_list arguments) {
    char* fallback = fallbackMessage;
    std::va_list measuring;
    va_copy(measuring, arguments);
    int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    char* text = length < 0 ? nullptr : static_cast<char*>(std::malloc(length + 1u));
    if (text == nullptr) {
        std::vsnprintf(fallback, sizeof fallbackMessage, format, arguments);
        return fallback;
    }
    std::vsnprintf(text, length + 1u, format, arguments);
    return text;
}

// One formatted call, so that the line reaches a shared error log in one piece.
static void writeStandardErrorLine(const char* kind, std::int32_t number, const char* message) {
    std::fprintf(stderr, "%s: %s %ld: %s\n", programPath, kind, static_cast<long>(number), message);
}

void fatalError(std::int32_t number, ...) {
    if (!platformCurrentDirectory(errorPageDirectory, sizeof errorPageDirectory))
        errorPageDirectory[0] = '\0';
    std::va_list arguments;
    va_start(arguments, number);
    // Kept process-wide: the process ends with it.
    static const char* message = nullptr;
    message = formatMessage(errorMessages[number], arguments);
    va_end(arguments);
    writeStandardErrorLine("error", number, message);
    if (!responseRelayBegun) writeErrorPage(stdout, number, message);
    platformCleanupSockets();
    platformExitProcess(1);
}

void reportWarning(std::int32_t number, ...) {
    std::va_list arguments;
    va_start(arguments, number);
    const char* message = formatMessage(warningMessages[number], arguments);
    va_end(arguments);
    writeStandardErrorLine("warning", number, message);
    ++warningsReported;
    // A file of many bad lines draws as many warnings; their texts must not pile up.
    if (message != fallbackMessage) std::free(const_cast<char*>(message));
}
