// unit_support.cc -- shared helpers of the unit tests.
#include "unit_support.h"

#include "diag/report.h"
#include "diag/switches.h"
#include "fake_sockets.h"
#include "platform/environment.h"

#include <cstdio>
#include <gtest/gtest.h>

void resetGatewayState() {
    debug = 0;
    terseErrors = 0;
    programPath = "dostrel";
    responseRelayBegun = false;
    useEnvironment({});
    resetFakeSockets();
}

void useEnvironment(const std::vector<std::string>& entries) {
    // The texts must outlive the test that sets them; a few leaked strings are harmless here.
    char** list = new char*[entries.size() + 1];
    for (std::size_t i = 0; i < entries.size(); ++i) {
        list[i] = new char[entries[i].size() + 1];
        std::copy(entries[i].c_str(), entries[i].c_str() + entries[i].size() + 1, list[i]);
    }
    list[entries.size()] = nullptr;
    takeEnvironment(list);
}

ConfigReading readConfigText(const std::string& text) {
    ConfigReading reading{GatewayConfig{0, nullptr, nullptr}, ""};
    std::string content = text;
    std::FILE* file = fmemopen(content.data(), content.size(), "r");
    if (content.empty()) file = std::fopen("/dev/null", "r");
    testing::internal::CaptureStderr();
    readGatewayConfig(file, &reading.config);
    reading.warnings = testing::internal::GetCapturedStderr();
    std::fclose(file);
    return reading;
}

std::vector<std::string> describeLinks(const GatewayConfig& config) {
    std::vector<std::string> lines;
    for (const LinkEntry* link = config.firstLink; link != nullptr; link = link->next)
        lines.push_back(std::string(link->path) + " " + link->host + " " +
                        std::to_string(link->port));
    return lines;
}
