// error_page_test.cc -- the response to a fatal error, byte for byte, and the report lines.
#include "diag/build_info.h"
#include "diag/catalogue.h"
#include "diag/error_page.h"
#include "diag/report.h"
#include "diag/switches.h"
#include "portable.h"
#include "unit_support.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

class ErrorPageTest : public testing::Test {
  protected:
    void SetUp() override {
        resetGatewayState();
        std::snprintf(errorPageDirectory, sizeof errorPageDirectory, "/srv/cgi");
    }

    static std::string page(int number, const char* message) {
        std::FILE* out = fileHolding("");
        writeErrorPage(out, number, message);
        std::string text = contentOf(out);
        std::fclose(out);
        return text;
    }
};

const std::string pageHead = "Content-type: text/html\n"
                             "\n"
                             "<html>\n"
                             "<head>\n"
                             "<title>Brennox Error</title>\n"
                             "</head>\n"
                             "<body>\n"
                             "<h1>Brennox Error</h1>\n"
                             "\n"
                             "<p>Error processing a Brennox transaction.\n"
                             "<p>\n";

TEST_F(ErrorPageTest, FullPageCarriesTheDetailBlock) {
    useEnvironment({"SERVER_SOFTWARE=", "server_name=web.example", "GATEWAY_INTERFACE=CGI/1.1"});
    std::string expected = "Status: 500 Error\n" + pageHead +
                           "<b>dostrel: error 8</b>\n"
                           "<b><pre>\n"
                           "No link found for path info ''.\n"
                           "</pre></b>\n"
                           "<p>\n"
                           "<br>Brennox version: 1.0\n"
                           "<br>compiled on: " +
                           buildDate + " " + buildTime +
                           "\n"
                           "<br>server software: \n"
                           "<br>server name: web.example \n"
                           "<br>gateway interface: CGI/1.1\n"
                           "<br>script name: ?\n"
                           "<br>current directory: /srv/cgi\n"
                           "\n"
                           "</body>\n"
                           "</html>\n";
    EXPECT_EQ(page(8, "No link found for path info ''."), expected);
}

TEST_F(ErrorPageTest, TersePageEndsAfterTheBoldLine) {
    terseErrors = 1;
    EXPECT_EQ(page(12, "anything"), "Status: 500 Error\n" + pageHead +
                                        "<b>dostrel: error 12</b>\n"
                                        "</body>\n"
                                        "</html>\n");
}

TEST_F(ErrorPageTest, RefusedConnectionIs503AndEverythingElse500) {
    EXPECT_EQ(page(4, "x").substr(0, 25), "Status: 503 Unavailable\nC");
    for (int number = 1; number <= 21; ++number) {
        if (number == 4) continue;
        EXPECT_EQ(page(number, "x").substr(0, 19), "Status: 500 Error\nC") << number;
    }
}

TEST_F(ErrorPageTest, InterpolatedTextsAreEscapedButApostrophesStay) {
    programPath = "/cgi/<dostrel>";
    useEnvironment({"SERVER_SOFTWARE=a&b", "SERVER_NAME=\"n\"", "SCRIPT_NAME=<s>"});
    std::snprintf(errorPageDirectory, sizeof errorPageDirectory, "/d&<>");
    std::string text = page(8, "No link found for path info '<script>alert(1)</script>'.");
    EXPECT_NE(text.find("<b>/cgi/&lt;dostrel&gt;: error 8</b>\n"), std::string::npos);
    EXPECT_NE(text.find("No link found for path info '&lt;script&gt;alert(1)&lt;/script&gt;'."),
              std::string::npos);
    EXPECT_NE(text.find("<br>server software: a&amp;b\n"), std::string::npos);
    EXPECT_NE(text.find("<br>server name: &quot;n&quot; \n"), std::string::npos);
    EXPECT_NE(text.find("<br>script name: &lt;s&gt;\n"), std::string::npos);
    EXPECT_NE(text.find("<br>current directory: /d&amp;&lt;&gt;\n"), std::string::npos);
    EXPECT_EQ(text.find("<script>"), std::string::npos);
}

TEST_F(ErrorPageTest, PageEnvValueTellsUnsetFromEmpty) {
    useEnvironment({"EMPTY=", "SET=v"});
    EXPECT_STREQ(pageEnvValue("EMPTY"), "");
    EXPECT_STREQ(pageEnvValue("set"), "v");
    EXPECT_STREQ(pageEnvValue("UNSET"), "?");
}

TEST_F(ErrorPageTest, WarningWritesOneLineToStandardErrorAndReturns) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    reportWarning(7, 2L);
    reportWarning(2, "yes", "debug");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dostrel: warning 7: Invalid protocol 2' requested.\n"
              "dostrel: warning 2: Invalid data 'yes' for keyword 'debug' in configuration "
              "file.\n");
}

TEST_F(ErrorPageTest, WarningKeepsAVeryLongArgumentWhole) {
    std::string keyword(5000, 'k');
    testing::internal::CaptureStderr();
    reportWarning(1, keyword.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dostrel: warning 1: Invalid keyword '" + keyword + "' in configuration file.\n");
}

TEST_F(ErrorPageTest, FatalErrorWritesItsLineAndEndsWithStatus1) {
    EXPECT_EXIT(fatalError(4, "host.example", static_cast<unsigned short>(40000), 111),
                testing::ExitedWithCode(1),
                "^dostrel: error 4: Unable to connect to host 'host.example' at port 40000, "
                "errno 111\\.\n$");
    EXPECT_EXIT(fatalError(18, 3UL, 10UL), testing::ExitedWithCode(1),
                "^dostrel: error 18: Error reading request body: got 3 of 10 bytes\\.\n$");
}

TEST(Catalogue, EveryNumberHasItsMessage) {
    EXPECT_STREQ(errorMessages[11], "Error receivng data on socket: %d, errno %d.");
    EXPECT_STREQ(errorMessages[16], "Error initializing WinSock.");
    EXPECT_STREQ(warningMessages[7], "Invalid protocol %ld' requested.");
    for (int number = 1; number <= 21; ++number)
        EXPECT_NE(errorMessages[number], nullptr) << number;
    for (int number = 1; number <= 7; ++number)
        EXPECT_NE(warningMessages[number], nullptr) << number;
}

} // namespace
