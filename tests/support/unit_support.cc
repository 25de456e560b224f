// unit_support.cc -- shared helpers of the unit tests.
#include "unit_support.h"

#include "diag/report.h"
#include "diag/switches.h"
#include "fake_sockets.h"
#include "platform/environment.h"
#include "portable.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

void resetGatewayState() {
    debug = 0;
    terseErrors = 0;
    programPath = "dostrel";
    responseRelayBegun = false;
    useEnvironment({});
    resetFakeSockets();
}

void useEnvironment(const std::vector<std::string>& entries) {
    // The lookups keep pointing into these until the next call.
    static std::vector<std::string> texts;
    static std::vector<char*> list;
    texts = entries;
    list.clear();
    for (std::string& text : texts)
        list.push_back(text.data());
    list.push_back(nullptr);
    takeEnvironment(list.data());
}

ConfigReading readConfigText(const std::string& text) {
    ConfigReading reading{GatewayConfig{0, nullptr, nullptr}, ""};
    std::FILE* file = fileHolding(text);
    testing::internal::CaptureStderr();
    readGatewayConfig(file, &reading.config);
    reading.warnings = testing::internal::GetCapturedStderr();
    std::fclose(file);
    // The gateway never frees its link table; keeping every one reachable tells the leak
    // checker so.
    static auto* tables = new std::vector<LinkEntry*>; // outlives the exit-time leak check
    tables->push_back(reading.config.firstLink);
    return reading;
}

std::vector<std::string> describeLinks(const GatewayConfig& config) {
    std::vector<std::string> lines;
    for (const LinkEntry* link = config.firstLink; link != nullptr; link = link->next)
        lines.push_back(std::string(link->path) + " " + link->host + " " +
                        std::to_string(link->port));
    return lines;
}

ScratchDirectory::ScratchDirectory() {
    previous = std::filesystem::current_path().string();
    path = makeTemporaryDirectory();
    std::filesystem::current_path(path);
}

ScratchDirectory::~ScratchDirectory() {
    std::filesystem::current_path(previous);
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

const char* textLineEnd() {
#ifdef _WIN32
    return "\r\n";
#else
    return "\n";
#endif
}

std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> traceMessages() {
    static const std::regex stamp("^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                  "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: ");
    std::vector<std::string> messages;
    std::istringstream lines(readFile("dostrel.dbg"));
    for (std::string line; std::getline(lines, line);) {
#ifdef _WIN32
        if (!line.empty() && line.back() == '\r') line.pop_back(); // the text-mode line end
#endif
        std::smatch found;
        if (!std::regex_search(line, found, stamp)) {
            messages.push_back("<no stamp> " + line);
            continue;
        }
        messages.push_back(line.substr(found.length(0)));
    }
    return messages;
}

void silenceStandardOutput() {
    if (std::freopen(nullDevice(), "w", stdout) == nullptr) std::abort();
}
