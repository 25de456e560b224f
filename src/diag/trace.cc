// trace.cc -- the debug trace file, opened and closed again for every line.
#include "diag/trace.h"

#include "diag/switches.h"
#include "platform/platform.h"

static const char dayNames[] = "SunMonTueWedThuFriSat";
static const char monthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

void formatTraceStamp(const std::tm& local, char* out, std::size_t size) {
    int day = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
    int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    std::snprintf(out, size, "%.3s %.3s %02d %02d:%02d:%02d %d", dayNames + 3 * day,
                  monthNames + 3 * month, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_year + 1900);
}

void writeTraceLine(std::FILE* out, const std::tm& local, const char* format,
                    std::va_list arguments) {
    char stamp[64];
    formatTraceStamp(local, stamp, sizeof stamp);
    std::fprintf(out, "%s: ", stamp);
    std::vfprintf(out, format, arguments);
    std::fputs("\n", out);
}

void debugTrace(const char* format, ...) {
    if (debug == 0) return;
    // Append mode: concurrent gateways each add their lines at the end of the file.
    std::FILE* file = platformOpenTextFile("dostrel.dbg", "a");
    if (file == nullptr) return;
    std::tm local;
    if (platformLocalTime(std::time(nullptr), &local)) {
        std::va_list arguments;
        va_start(arguments, format);
        writeTraceLine(file, local, format, arguments);
        va_end(arguments);
    }
    std::fclose(file);
}
