// trace_test.cc -- the debug trace: stamp layout, whole lines, appending, and doing nothing.
#include "diag/switches.h"
#include "diag/trace.h"
#include "portable.h"
#include "unit_support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

std::tm moment(int year, int month, int day, int weekday, int hour, int minute, int second) {
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_wday = weekday;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    return local;
}

std::string stamp(const std::tm& local) {
    char text[64];
    formatTraceStamp(local, text, sizeof text);
    return text;
}

std::string lineAt(const std::tm& local, const char* format, ...) {
    std::FILE* out = fileHolding("");
    std::va_list arguments;
    va_start(arguments, format);
    writeTraceLine(out, local, format, arguments);
    va_end(arguments);
    std::string line = contentOf(out);
    std::fclose(out);
    return line;
}

TEST(TraceStamp, LayoutWithZeroPaddedDayAndTwentyFourHourClock) {
    EXPECT_EQ(stamp(moment(2026, 12, 6, 0, 16, 6, 16)), "Sun Dec 06 16:06:16 2026");
    EXPECT_EQ(stamp(moment(2027, 1, 1, 5, 0, 0, 0)), "Fri Jan 01 00:00:00 2027");
    EXPECT_EQ(stamp(moment(2026, 6, 30, 2, 14, 15, 0)), "Tue Jun 30 14:15:00 2026");
    EXPECT_EQ(stamp(moment(2026, 9, 12, 6, 23, 59, 60)), "Sat Sep 12 23:59:60 2026");
}

TEST(TraceStamp, YearsBeyond2038AreWrittenNormally) {
    EXPECT_EQ(stamp(moment(2100, 3, 4, 4, 5, 6, 7)), "Thu Mar 04 05:06:07 2100");
    EXPECT_EQ(stamp(moment(9999, 12, 31, 5, 23, 59, 59)), "Fri Dec 31 23:59:59 9999");
}

TEST(TraceLine, MessageIsExpandedBetweenStampAndLineEnd) {
    std::tm local = moment(2026, 12, 6, 0, 16, 6, 16);
    EXPECT_EQ(lineAt(local, "received %d bytes", 0),
              "Sun Dec 06 16:06:16 2026: received 0 bytes\n");
    EXPECT_EQ(lineAt(local, "connecting to server %s on port %hu", "h", 40000),
              "Sun Dec 06 16:06:16 2026: connecting to server h on port 40000\n");
}

class DebugTraceTest : public testing::Test {
  protected:
    void SetUp() override { resetGatewayState(); }
    ScratchDirectory scratch;
};

TEST_F(DebugTraceTest, SwitchedOffItCreatesNoFile) {
    debugTrace("sending keys");
    EXPECT_FALSE(std::filesystem::exists("dostrel.dbg"));
}

TEST_F(DebugTraceTest, SwitchedOnItAppendsWholeLinesAfterWhatIsThere) {
    {
        std::FILE* existing = std::fopen("dostrel.dbg", "w");
        std::fputs("earlier line\n", existing);
        std::fclose(existing);
    }
    debug = 1;
    debugTrace("sending keys");
    debugTrace("sending number of keys: (%d)", 26);
    std::string content = readFile("dostrel.dbg");
    ASSERT_EQ(content.rfind("earlier line", 0), 0u);
    EXPECT_EQ(traceMessages(), (std::vector<std::string>{"<no stamp> earlier line", "sending keys",
                                                         "sending number of keys: (26)"}));
}

TEST_F(DebugTraceTest, StampIsLocalTime) {
    useUtcAsLocalTime();
    debug = 1;
    std::time_t before = std::time(nullptr);
    debugTrace("x");
    std::time_t after = std::time(nullptr);
    std::string content = readFile("dostrel.dbg");
    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local = utcTime(t);
        matched = matched || content == stamp(local) + ": x" + textLineEnd();
    }
    EXPECT_TRUE(matched) << content;
}

TEST_F(DebugTraceTest, FileThatCannotBeOpenedMeansSilence) {
    std::filesystem::create_directory("dostrel.dbg");
    debug = 1;
    testing::internal::CaptureStderr();
    debugTrace("sending keys");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(std::filesystem::is_directory("dostrel.dbg"));
    EXPECT_TRUE(std::filesystem::is_empty("dostrel.dbg"));
}

} // namespace
