// trace.h -- the optional debug trace: one timestamped line per call in dostrel.dbg.
#pragma once

#include "platform/c_library.h"

#if defined(__GNUC__)
#define DOSTREL_PRINTF(formatIndex, firstArgument)                                                 \
    __attribute__((__format__(__printf__, formatIndex, firstArgument)))
#else
#define DOSTREL_PRINTF(formatIndex, firstArgument)
#endif

/// When the debug switch is on, appends "stamp: message" and a line end to dostrel.dbg in the
/// current directory; otherwise does nothing at all. Never fails: a file that cannot be opened
/// means no line.
void debugTrace(const char* format, ...) DOSTREL_PRINTF(1, 2);

/// Writes |local| as "Www Mmm DD hh:mm:ss YYYY" into |out|, in English whatever the locale.
void formatTraceStamp(const std::tm& local, char* out, std::size_t size);

/// Writes one whole trace line for the moment |local| to |out|.
void writeTraceLine(std::FILE* out, const std::tm& local, const char* format,
                    std::va_list arguments);
