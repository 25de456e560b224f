// fault_test.cc -- the gateway under faults: servers that break off, odd response sizes,
// hostile configuration files and interrupted system calls.
#include "gateway_process.h"
#include "scripted_server.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sstream>

namespace {

std::string configFor(std::uint16_t port) {
    return "link * tcp 127.0.0.1 " + std::to_string(port) + "\n";
}

TEST(Fault, ServerClosingAfterHalfTheRequestIsError10NotASignal) {
    std::string body(32 * 1024 * 1024, 'b'); // more than the sockets can hold between them
    ScriptedServer server({.readRequest = false, .readOnly = body.size() / 2, .reply = {}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result =
        runGateway({dir.path, {"CONTENT_LENGTH=" + std::to_string(body.size())}, body});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(std::regex_match(result.err, std::regex(".*: error 10: Error sending data on "
                                                        "socket: [0-9]+, errno (104|32)\\.\n")))
        << result.err;
    EXPECT_EQ(result.out.substr(0, 18), "Status: 500 Error\n");
}

// A body that takes the large-body memory: whole on the wire, in about its own size of memory.
// It comes from a file, so that this process holds no copy while the gateway starts: a child's
// peak resident set counts what it shared with its parent before it started the program.
TEST(Fault, TwentyMegabyteBodyArrivesWholeInAboutItsOwnSizeOfMemory) {
    WorkDirectory dir;
    ScriptedServer small({.reply = {{"small"}}});
    dir.write("dostrel.cnf", configFor(small.port));
    GatewayResult baseline = runGateway({dir.path, {"CONTENT_LENGTH=1"}, "x"});
    EXPECT_EQ(baseline.out, "small");

    auto makeBody = [] {
        std::string bytes(20000000, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7 + i / 4099) & 0xFF);
        return bytes;
    };
    dir.write("body", makeBody());
    ScriptedServer server({.reply = {{"done"}}});
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayCall call(dir.path, {"CONTENT_LENGTH=20000000", "REQUEST_METHOD=POST"});
    call.inputFile = dir.path + "/body";
    GatewayResult result = runGateway(call);
    ASSERT_TRUE(server.waitServed());
    std::string body = makeBody();
    EXPECT_EQ(result.out, "done");
    EXPECT_EQ(result.exitStatus, 0);
    // The request ends with the body's length (20000000 is 0x01312D00) and the body.
    const std::string& wire = server.requestBytes;
    ASSERT_GE(wire.size(), body.size() + 4);
    EXPECT_EQ(wire.substr(wire.size() - body.size() - 4, 4), std::string("\x01\x31\x2D\x00", 4));
    EXPECT_TRUE(wire.compare(wire.size() - body.size(), body.size(), body) == 0);
    // The body, rounded up to whole huge pages at most, and nothing else of that size.
    if (!underWrapper()) {
        EXPECT_LT(result.peakKib - baseline.peakKib, (20000000 + (4 << 20)) / 1024)
            << "peak " << result.peakKib << " KiB, without a body " << baseline.peakKib << " KiB";
    }
}

// A gibibyte streams through the gateway's temporary file in flat memory and leaves no file
// behind. The body comes from a pipe and the server only hashes it, so that no process here
// holds it whole. Flat is measured against the same gateway's peak for a one-byte body, which
// under an emulator is mostly the emulator's own.
TEST(Fault, GibibyteBodyPassesInFlatMemoryAndLeavesNoFile) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper's variables change the request";
    constexpr std::size_t blockSize = 1 << 20, blocks = 1024;
    WorkDirectory dir;
    ScriptedServer small({.reply = {{"small"}}});
    dir.write("dostrel.cnf", configFor(small.port));
    GatewayResult baseline = runGateway({dir.path, {"CONTENT_LENGTH=1"}, "x"});
    EXPECT_EQ(baseline.out, "small");
    std::vector<std::string> env = {"CONTENT_LENGTH=" + std::to_string(blockSize * blocks),
                                    "TMPDIR=" + dir.path};
    std::string wire = encodeLinkRequest(requestFromEnvironment(env, ""));
    wire.replace(wire.size() - 4, 4, std::string("\x40\0\0\0", 4)); // the length, 2^30
    std::uint64_t expected = fnvHash(fnvStart, wire.data(), wire.size());
    ScriptedServer server({.readRequest = false,
                           .readOnly = wire.size() + blockSize * blocks,
                           .hashOnly = true,
                           .reply = {{"stored"}}});
    dir.write("dostrel.cnf", configFor(server.port));
    std::mt19937 random(1);
    std::string block(blockSize, '\0');
    for (char& byte : block)
        byte = static_cast<char>(random());
    std::size_t given = 0;
    PipeInput input(dir.path, [&](std::string* next) {
        if (given == blocks) return false;
        std::memcpy(block.data(), &given, sizeof given); // each block differs from the others
        expected = fnvHash(expected, block.data(), block.size());
        *next = block;
        ++given;
        return true;
    });
    GatewayCall call(dir.path, env);
    call.inputFile = input.path;
    GatewayResult result = runGateway(call);
    ASSERT_TRUE(server.waitServed(120));
    EXPECT_EQ(result.out, "stored");
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(server.readCount, wire.size() + blockSize * blocks);
    EXPECT_EQ(server.readHash, expected);
    EXPECT_LT(result.peakKib - baseline.peakKib, 64 * 1024)
        << "peak " << result.peakKib << " KiB, with a one-byte body " << baseline.peakKib << " KiB";
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"dostrel.cnf", "input.fifo"}));
}

TEST(Fault, ResponseOfExactlyOneBlockAndOfOneByteMore) {
    for (std::size_t size : {8191u, 8192u, 8193u, 16384u}) {
        std::string response(size, 'r');
        response[size - 1] = '\n';
        ScriptedServer server({.reply = {{response}}});
        WorkDirectory dir;
        dir.write("dostrel.cnf", configFor(server.port));
        GatewayResult result = runGateway({dir.path, {}});
        EXPECT_TRUE(result.out == response) << size;
        EXPECT_EQ(result.exitStatus, 0) << size;
    }
}

TEST(Fault, EmptyConfigurationAnswersError8) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "");
    GatewayResult result = runGateway({dir.path, {"PATH_INFO=/x"}});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, gatewayName() + ": error 8: No link found for path info '/x'.\n");
}

TEST(Fault, TenMegabytesOfRandomConfigurationNeitherCrashNorHang) {
    std::mt19937 random(20261207);
    std::string noise(10 * 1024 * 1024, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    WorkDirectory dir;
    dir.write("dostrel.cnf", noise);
    GatewayResult result = runGateway({dir.path, {"PATH_INFO=/x"}});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 1);
    // Every standard-error line is one of the gateway's own.
    std::istringstream lines(result.err);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        ASSERT_EQ(line.rfind(gatewayName() + ": ", 0), 0u) << line;
    EXPECT_GT(count, 1000u);
    EXPECT_NE(result.err.find(": error 8: No link found for path info '/x'."), std::string::npos);
}

TEST(Fault, HundredThousandLinksRouteToTheLast) {
    ScriptedServer server({.reply = {{"last"}}});
    std::string config;
    for (int i = 0; i < 100000; ++i)
        config += "link /p" + std::to_string(i) + " tcp 127.0.0.1 1\n";
    config += "link /target tcp 127.0.0.1 " + std::to_string(server.port) + "\n";
    WorkDirectory dir;
    dir.write("dostrel.cnf", config);
    GatewayResult result = runGateway({dir.path, {"PATH_INFO=/TARGET"}});
    EXPECT_EQ(result.out, "last");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Fault, StopsAndContinuesDuringEveryCallAreRetriedNotReported) {
    std::string body(3 * 1024 * 1024, 'q');
    std::string response;
    ServerScript script;
    script.pauseBeforeReadMs = 100;
    for (int i = 0; i < 20; ++i) {
        std::string piece(50000 + i, static_cast<char>('a' + i));
        response += piece;
        script.reply.push_back({piece, 10});
    }
    ScriptedServer server(script);
    WorkDirectory dir;
    dir.write("dostrel.cnf", "debug on\n" + configFor(server.port));
    GatewayCall call(dir.path, {"CONTENT_LENGTH=" + std::to_string(body.size())}, body);
    call.interruptEveryMs = 2;
    GatewayResult result = runGateway(call);
    ASSERT_TRUE(server.waitServed());
    EXPECT_TRUE(server.decoded) << dostrel_reason_word(server.reason);
    EXPECT_TRUE(result.out == response);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
