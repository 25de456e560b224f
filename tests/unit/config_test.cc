// config_test.cc -- reading dostrel.cnf: tokens, keywords, switches, links, warnings, lookups.
#include "config/gateway_config.h"
#include "config/tokens.h"
#include "diag/switches.h"
#include "unit_support.h"

#include <gtest/gtest.h>

namespace {

class ConfigTest : public testing::Test {
  protected:
    void SetUp() override { resetGatewayState(); }
};

std::string warning(int number, const std::string& message) {
    return "dostrel: warning " + std::to_string(number) + ": " + message + "\n";
}

TEST_F(ConfigTest, FileWithoutLinesThatCountGivesNoLinksAndNoWarnings) {
    for (const char* text : {"", "# only a comment\n", "\n\n", " \t\v\f\r\a\b\n", "   # x\n"}) {
        ConfigReading reading = readConfigText(text);
        EXPECT_EQ(reading.config.firstLink, nullptr) << text;
        EXPECT_EQ(reading.config.lastLink, nullptr) << text;
        EXPECT_EQ(reading.warnings, "") << text;
        EXPECT_EQ(findLink(&reading.config, ""), nullptr);
        EXPECT_EQ(findLink(&reading.config, "/x"), nullptr);
    }
}

TEST_F(ConfigTest, LinksKeepFileOrderAndTheirTextsAsWritten) {
    ConfigReading reading = readConfigText("link /App tcp Host.Example 80\n"
                                           "LINK\t/b   TCP  -  65535 trailing words\n"
                                           "Link * Tcp 10.0.0.1 0\n"
                                           "link /c tcp h +80");
    EXPECT_EQ(reading.warnings, "");
    EXPECT_EQ(describeLinks(reading.config),
              (std::vector<std::string>{"/App Host.Example 80", "/b - 65535", "* 10.0.0.1 0",
                                        "/c h 80"}));
    EXPECT_EQ(reading.config.lastLink->next, nullptr);
    EXPECT_EQ(std::string(reading.config.lastLink->path), "/c");
    EXPECT_EQ(reading.config.firstLink->protocol, LinkProtocol::Tcp);
}

struct WarningCase {
    const char* line;
    std::string expected;
};

void PrintTo(const WarningCase& row, std::ostream* out) {
    *out << testing::PrintToString(row.line);
}

class ConfigWarningTest : public ConfigTest, public testing::WithParamInterface<WarningCase> {};

TEST_P(ConfigWarningTest, BadLineDrawsExactlyItsWarningAndAddsNoLink) {
    ConfigReading reading = readConfigText(GetParam().line);
    EXPECT_EQ(reading.warnings, GetParam().expected);
    EXPECT_EQ(reading.config.firstLink, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigWarningTest,
    testing::Values(
        // A keyword alone draws warning 4, whether or not the line ends in LF.
        WarningCase{"debug\n",
                    warning(4, "No parameters for keyword 'debug' in configuration file.")},
        WarningCase{"DeBuG",
                    warning(4, "No parameters for keyword 'DeBuG' in configuration file.")},
        WarningCase{"link\n",
                    warning(4, "No parameters for keyword 'link' in configuration file.")},
        WarningCase{"  terseErrors\n",
                    warning(4, "No parameters for keyword 'terseErrors' in configuration file.")},
        // One blank after the keyword leaves a remainder: warning 3, keyword in its own form.
        WarningCase{"DEBUG \n",
                    warning(3, "Not enough parameters for keyword 'debug' in configuration file.")},
        WarningCase{"TERSEERRORS \t\n", warning(3, "Not enough parameters for keyword "
                                                   "'terseErrors' in configuration file.")},
        WarningCase{"link \n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        // A CR LF line: the CR ends the keyword and the LF remains.
        WarningCase{"debug\r\n",
                    warning(3, "Not enough parameters for keyword 'debug' in configuration file.")},
        // Unknown keywords: warning 4 alone, warning 1 with anything after them.
        WarningCase{"Frob\n",
                    warning(4, "No parameters for keyword 'Frob' in configuration file.")},
        WarningCase{"Frob x\n", warning(1, "Invalid keyword 'Frob' in configuration file.")},
        WarningCase{"Frob \n", warning(1, "Invalid keyword 'Frob' in configuration file.")},
        // Link lines short of parameters.
        WarningCase{"link /a\n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        WarningCase{"link /a udp\n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        WarningCase{"link /a tcp\n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        WarningCase{"link /a tcp \n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        WarningCase{"link /a tcp host\n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        WarningCase{"link /a#b tcp host 80\n",
                    warning(3, "Not enough parameters for keyword 'link' in configuration file.")},
        // The protocol word, as written, once anything follows it.
        WarningCase{"link /a udp \n",
                    warning(5, "Invalid link protocol 'udp' specified in configuration file.")},
        WarningCase{"link /a Udp host 80\n",
                    warning(5, "Invalid link protocol 'Udp' specified in configuration file.")},
        // Ports outside 0 to 65535 or with anything around the digits.
        WarningCase{"link /a tcp h 65536\n",
                    warning(6, "Bad port number '65536' specified in configuration file.")},
        WarningCase{"link /a tcp h 80x\n",
                    warning(6, "Bad port number '80x' specified in configuration file.")},
        WarningCase{"link /a tcp h 0x50\n",
                    warning(6, "Bad port number '0x50' specified in configuration file.")},
        WarningCase{"link /a tcp h -1\n",
                    warning(6, "Bad port number '-1' specified in configuration file.")},
        WarningCase{"link /a tcp h +\n",
                    warning(6, "Bad port number '+' specified in configuration file.")},
        WarningCase{"link /a tcp h 99999999999999999999\n",
                    warning(6, "Bad port number '99999999999999999999' specified in "
                               "configuration file.")}));

TEST_F(ConfigTest, MinusZeroPortAndWrappedMinusAreAcceptedAsTheConversionSays) {
    ConfigReading reading = readConfigText("link /a tcp h -0\nlink /b tcp h -4294967295\n");
    EXPECT_EQ(reading.warnings, "");
    EXPECT_EQ(describeLinks(reading.config), (std::vector<std::string>{"/a h 0", "/b h 1"}));
}

TEST_F(ConfigTest, SwitchWordsInAnyCaseAndTheLastValueDecides) {
    ConfigReading on = readConfigText("DEBUG   ON extra words\nterseerrors\t+\n");
    EXPECT_EQ(on.warnings, "");
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(on.config.debug, 1);
    EXPECT_EQ(terseErrors, 1);

    ConfigReading off = readConfigText("debug true\ndebug off\nterseErrors 1\nterseErrors False\n");
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(off.config.debug, 0);
    EXPECT_EQ(terseErrors, 0);
}

TEST_F(ConfigTest, InvalidSwitchValueWarnsAndSwitchesOff) {
    ConfigReading reading = readConfigText("debug on\nterseErrors on\ndebug yes\nterseErrors 2\n");
    EXPECT_EQ(reading.warnings,
              warning(2, "Invalid data 'yes' for keyword 'debug' in configuration file.") +
                  warning(2, "Invalid data '2' for keyword 'terseErrors' in configuration file."));
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(reading.config.debug, 0);
    EXPECT_EQ(terseErrors, 0);
}

TEST_F(ConfigTest, SwitchWordTable) {
    for (const char* word : {"true", "TRUE", "on", "On", "1", "+"})
        EXPECT_EQ(parseSwitchValue(word), 1) << word;
    for (const char* word : {"false", "FaLsE", "off", "OFF", "0", "-"})
        EXPECT_EQ(parseSwitchValue(word), 0) << word;
    for (const char* word : {"", "yes", "no", "01", "onn", "o", "tru", "\xC4n"})
        EXPECT_EQ(parseSwitchValue(word), -1) << word;
}

TEST_F(ConfigTest, LinesLongerThan1023CharactersAreHandledInPieces) {
    // The first 1023 characters are a comment; the rest is a line of its own.
    std::string longComment = "#" + std::string(1022, 'x') + "debug on\n";
    readConfigText(longComment);
    EXPECT_EQ(debug, 1);

    // A path of 1100 characters: the first piece lacks its port, the second is a keyword.
    std::string longLink = "link /" + std::string(1100, 'p') + " tcp h 80\n";
    ConfigReading reading = readConfigText(longLink);
    EXPECT_EQ(reading.config.firstLink, nullptr);
    EXPECT_EQ(
        reading.warnings,
        warning(3, "Not enough parameters for keyword 'link' in configuration file.") +
            warning(1, "Invalid keyword '" + std::string(83, 'p') + "' in configuration file."));
}

TEST_F(ConfigTest, CarriageReturnsAreDelimiters) {
    ConfigReading reading = readConfigText("debug on\r\nlink /a tcp h 80\r\n");
    EXPECT_EQ(reading.warnings, "");
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(describeLinks(reading.config), (std::vector<std::string>{"/a h 80"}));
}

TEST_F(ConfigTest, BadLinesBetweenGoodOnesLeaveTheGoodOnes) {
    ConfigReading reading = readConfigText("link /a tcp h 1\nlink /x udp h 2\nlink /b tcp h 3\n");
    EXPECT_EQ(describeLinks(reading.config), (std::vector<std::string>{"/a h 1", "/b h 3"}));
}

TEST_F(ConfigTest, FindLinkTakesTheFirstEqualPathIgnoringCaseThenTheFirstStar) {
    ConfigReading reading = readConfigText("link /one tcp first 1\n"
                                           "link * tcp star1 2\n"
                                           "link /ONE tcp second 3\n"
                                           "link * tcp star2 4\n"
                                           "link /Two tcp two 5\n");
    EXPECT_STREQ(findLink(&reading.config, "/one")->host, "first");
    EXPECT_STREQ(findLink(&reading.config, "/One")->host, "first");
    EXPECT_STREQ(findLink(&reading.config, "/two")->host, "two");
    EXPECT_STREQ(findLink(&reading.config, "/three")->host, "star1");
    EXPECT_STREQ(findLink(&reading.config, "")->host, "star1");
    EXPECT_STREQ(findLink(&reading.config, "*")->host, "star1");
    // Folding covers A to Z only.
    EXPECT_STREQ(findLink(&reading.config, "/twö")->host, "star1");
}

TEST_F(ConfigTest, WithoutStarLinkAnUnnamedPathFindsNothing) {
    ConfigReading reading = readConfigText("link /a tcp h 1\n");
    EXPECT_EQ(findLink(&reading.config, "/b"), nullptr);
    EXPECT_EQ(findLink(&reading.config, ""), nullptr);
    EXPECT_EQ(findLink(&reading.config, "/a/"), nullptr);
}

TEST(Tokens, TokenConsumesOneDelimiterAndLeavesTheRest) {
    char text[] = "  alpha \t beta";
    char* rest;
    EXPECT_STREQ(takeToken(text, &rest), "alpha");
    EXPECT_STREQ(rest, "\t beta");
    EXPECT_STREQ(takeToken(rest, &rest), "beta");
    EXPECT_STREQ(rest, "");
    EXPECT_EQ(takeToken(rest, &rest), nullptr);

    char bell[] = "a\ab";
    EXPECT_STREQ(takeToken(bell, &rest), "a");
    EXPECT_STREQ(rest, "b");
}

} // namespace
