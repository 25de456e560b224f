// relay_test.cc -- whole requests through the built gateway and a scripted application server:
// the bytes on the wire, on standard output, on standard error and in the trace.
#include "gateway_process.h"
#include "scripted_server.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace std::string_literals;

namespace {

std::string configFor(std::uint16_t port, const std::string& extra = "") {
    return extra + "link * tcp 127.0.0.1 " + std::to_string(port) + "\n";
}

// The request the gateway must send for |env| and |body|.
std::string expectedRequest(const std::vector<std::string>& env, const std::string& body) {
    return encodeLinkRequest(requestFromEnvironment(env, body));
}

// The request as the gateway sent it. Under a wrapper such as valgrind the gateway's environment
// also holds the wrapper's own variables; they are taken out again here.
std::string receivedRequest(const ScriptedServer& server) {
    if (!underWrapper()) return server.requestBytes;
    static const std::vector<std::string> wrapperVariables = {
        "LD_PRELOAD", "LD_LIBRARY_PATH", "GLIBCPP_FORCE_NEW", "GLIBCXX_FORCE_NEW", "PWD"};
    LinkRequest request = server.request;
    std::erase_if(request.variables, [](const auto& variable) {
        return std::find(wrapperVariables.begin(), wrapperVariables.end(), variable.first) !=
               wrapperVariables.end();
    });
    return encodeLinkRequest(request);
}

std::string binaryPattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return bytes;
}

// The messages of dostrel.dbg, stamps cut off after checking their shape.
std::vector<std::string> traceOf(const WorkDirectory& dir) {
    static const std::regex stamp("^[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
                                  "[0-6][0-9] [0-9]{4}: ");
    std::vector<std::string> messages;
    std::istringstream lines(dir.read("dostrel.dbg"));
    for (std::string line; std::getline(lines, line);) {
        std::smatch found;
        messages.push_back(std::regex_search(line, found, stamp) ? line.substr(found.length(0))
                                                                 : "<no stamp> " + line);
    }
    return messages;
}

std::string localHostName() {
    char name[1024] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

TEST(Relay, EmptyEnvironmentSendsThe45ByteRequestAndRelaysTheReply) {
    ScriptedServer server({.reply = {{"Content-type: text/plain\n\nhi\r\n"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result = runGateway({dir.path, {}});
    ASSERT_TRUE(server.waitServed());
    EXPECT_EQ(receivedRequest(server).size(), 45u);
    EXPECT_EQ(receivedRequest(server), expectedRequest({}, ""));
    EXPECT_EQ(result.out, "Content-type: text/plain\n\nhi\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Relay, EveryEnvironmentStringBecomesAKeyInOrder) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper reorders the environment";
    if (underEmulator()) GTEST_SKIP() << "the emulator drops environment strings without '='";
    ScriptedServer server({.reply = {{"ok"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    std::vector<std::string> env = {
        "PATH_INFO=/app",   "K=V=W", "NAME=", "NOEQUALS", "", "content_length=3",
        "HTTP_X=\xC3\xA4\t"};
    GatewayResult result = runGateway({dir.path, env, "a\0b"s});
    ASSERT_TRUE(server.waitServed());
    EXPECT_EQ(receivedRequest(server), expectedRequest(env, "a\0b"s));
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Relay, BinaryBodyWithEveryByteValueArrivesUnchanged) {
    ScriptedServer server({.reply = {{"ok"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    std::string body = binaryPattern(256 * 40);
    std::vector<std::string> env = {"CONTENT_LENGTH=" + std::to_string(body.size())};
    GatewayResult result = runGateway({dir.path, env, body + "trailing bytes not forwarded"});
    ASSERT_TRUE(server.waitServed());
    ASSERT_TRUE(server.decoded) << dostrel_reason_word(server.reason);
    EXPECT_TRUE(server.request.body == body);
    EXPECT_EQ(receivedRequest(server), expectedRequest(env, body));
}

// Requests of 8191, 8192 and 8193 bytes: one send at the flush, one full block while staging,
// one full block and one byte at the flush.
TEST(Relay, RequestsAroundTheBlockSizeArriveWholeInTheSendsTheyNeed) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper's variables change the request's size";
    const std::vector<std::vector<std::string>> sends = {
        {"send()'ing 8191 bytes", "actually sent: 8191 bytes"},
        {"send()'ing 8192 bytes", "actually sent: 8192 bytes"},
        {"send()'ing 8192 bytes", "actually sent: 8192 bytes", "send()'ing 1 bytes",
         "actually sent: 1 bytes"}};
    for (int extra = 0; extra < 3; ++extra) {
        ScriptedServer server({.reply = {{"ok"}}});
        WorkDirectory dir;
        dir.write("dostrel.cnf", configFor(server.port, "debug on\n"));
        // 16 header bytes, 45 - 16 for the empty content key, 8 + 1 + 8 for X=... : 8191 + extra.
        std::string value(8191 - 45 - 9 + static_cast<std::size_t>(extra), 'v');
        std::vector<std::string> env = {"X=" + value};
        GatewayResult result = runGateway({dir.path, env});
        ASSERT_TRUE(server.waitServed());
        EXPECT_EQ(server.requestBytes.size(), 8191u + static_cast<std::size_t>(extra));
        EXPECT_EQ(server.requestBytes, expectedRequest(env, ""));
        std::vector<std::string> sendLines;
        for (const std::string& line : traceOf(dir))
            if (line.rfind("send()'ing", 0) == 0 || line.rfind("actually", 0) == 0)
                sendLines.push_back(line);
        EXPECT_EQ(sendLines, sends[static_cast<std::size_t>(extra)]) << extra;
    }
}

TEST(Relay, SeveralMegabyteBodyArrivesIdentical) {
    ScriptedServer server({.reply = {{"done"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    std::string body = binaryPattern(5 * 1024 * 1024 + 17);
    std::vector<std::string> env = {"CONTENT_LENGTH=" + std::to_string(body.size()),
                                    "REQUEST_METHOD=POST"};
    GatewayResult result = runGateway({dir.path, env, body});
    ASSERT_TRUE(server.waitServed());
    EXPECT_TRUE(receivedRequest(server) == expectedRequest(env, body));
    EXPECT_EQ(result.out, "done");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Relay, ResponseInOddChunksWithPausesArrivesWholeAndBinary) {
    std::string response = "Content-type: application/octet-stream\n\n" + binaryPattern(20000);
    ServerScript script;
    for (std::size_t at = 0, size = 1; at < response.size(); at += size, size = size * 3 + 1)
        script.reply.push_back({response.substr(at, size), 15});
    ScriptedServer server(script);
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_TRUE(result.out == response);
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Relay, FiftyMegabyteResponseArrivesIdentical) {
    std::string response = binaryPattern(50 * 1024 * 1024);
    ScriptedServer server({.reply = {{response}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_EQ(result.out.size(), response.size());
    EXPECT_TRUE(result.out == response);
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(Relay, ServerClosingWithoutReplyIsError19WithThePage) {
    ScriptedServer server({});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port, "debug on\n"));
    GatewayResult result = runGateway({dir.path, {"PATH_INFO=/x"}});
    std::string message = "Server at host '127.0.0.1' port " + std::to_string(server.port) +
                          " closed the connection without a response.";
    EXPECT_EQ(result.err, gatewayName() + ": error 19: " + message + "\n");
    EXPECT_EQ(result.out, expectedErrorPage(19, message, gatewayName(), {}, dir.path));
    EXPECT_EQ(result.exitStatus, 1);
    std::vector<std::string> trace = traceOf(dir);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(trace.end() - 2, trace.end()),
              (std::vector<std::string>{"receiving ...", "received 0 bytes"}));
}

// Without CONTENT_LENGTH a body that came in chunks is read to the end of standard input, in
// memory or through its temporary file; without either variable there is no body, and standard
// input is not read even while it stays open. A declared length still rules.
TEST(Relay, ChunkedBodyIsReadToTheEndAndNoDeclarationMeansNoBody) {
    struct Case {
        std::vector<std::string> env;
        std::string input;
        std::string expected;
    };
    std::string large = binaryPattern(5 * 1024 * 1024 + 3);
    const std::vector<Case> cases = {
        {{"HTTP_TRANSFER_ENCODING=chunked"}, "chunked\0body"s, "chunked\0body"s},
        {{"HTTP_TRANSFER_ENCODING=chunked", "TMPDIR=."}, large, large},
        {{"HTTP_TRANSFER_ENCODING=chunked"}, "", ""},
        {{"HTTP_TRANSFER_ENCODING=chunked", "CONTENT_LENGTH=3"}, "abcdef", "abc"},
        {{"REQUEST_METHOD=POST"}, "never read", ""}};
    for (const Case& each : cases) {
        ScriptedServer server({.reply = {{"ok"}}});
        WorkDirectory dir;
        dir.write("dostrel.cnf", configFor(server.port));
        bool given = false;
        PipeInput input(
            dir.path,
            [&](std::string* block) {
                *block = each.input;
                return !given && (given = true);
            },
            each.env.back() == "REQUEST_METHOD=POST");
        GatewayCall call(dir.path, each.env);
        call.inputFile = input.path;
        GatewayResult result = runGateway(call);
        ASSERT_TRUE(server.waitServed());
        EXPECT_FALSE(input.closed && each.env.back() == "REQUEST_METHOD=POST")
            << "the gateway waited for the end of an undeclared body";
        EXPECT_TRUE(server.request.body == each.expected)
            << each.env[0] << " " << each.input.size();
        EXPECT_EQ(result.out, "ok");
        EXPECT_EQ(result.exitStatus, 0) << result.err;
    }
}

TEST(Relay, FullTraceOfASmallRequest) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper's variables change the key count";
    ScriptedServer server({.reply = {{"hello", 50}, {"!"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port, "DEBUG ON\n"));
    GatewayResult result = runGateway({dir.path, {"A=1", "CONTENT_LENGTH=2"}, "xy"});
    EXPECT_EQ(result.out, "hello!");
    std::string port = std::to_string(server.port);
    std::string sent = std::to_string(server.requestBytes.size());
    EXPECT_EQ(traceOf(dir), (std::vector<std::string>{
                                "----------------------------------------------",
                                "resolving hostname for '127.0.0.1'",
                                "connecting to server 127.0.0.1 on port " + port,
                                "sending request ...",
                                "sending magic cookie",
                                "sending version info",
                                "sending number of keys: (3)",
                                "sending keys",
                                "sending content (length=2)",
                                "send()'ing " + sent + " bytes",
                                "actually sent: " + sent + " bytes",
                                "receiving response ...",
                                "receiving ...",
                                "received 5 bytes",
                                "starting write",
                                "write complete",
                                "receiving ...",
                                "received 1 bytes",
                                "starting write",
                                "write complete",
                                "receiving ...",
                                "received 0 bytes",
                                "closing socket",
                            }));
}

TEST(Relay, TraceSwitchedOffWritesNoFile) {
    ScriptedServer server({.reply = {{"x"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port, "debug on\ndebug off\n"));
    runGateway({dir.path, {}});
    EXPECT_FALSE(dir.exists("dostrel.dbg"));
}

TEST(Relay, RefusedConnectionIsError4With503AndAnUnsignedPort) {
    std::uint16_t port = unusedPort();
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(port));
    GatewayResult result = runGateway({dir.path, {"SERVER_NAME=s"}});
    std::string message =
        "Unable to connect to host '127.0.0.1' at port " + std::to_string(port) + ", errno 111.";
    EXPECT_EQ(result.err, gatewayName() + ": error 4: " + message + "\n");
    EXPECT_EQ(result.out,
              expectedErrorPage(4, message, gatewayName(), {{"SERVER_NAME", "s"}}, dir.path));
    EXPECT_EQ(result.exitStatus, 1);
}

TEST(Relay, PortAbove32767PrintsUnsigned) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "debug on\nlink * tcp 127.0.0.1 40000\n");
    GatewayResult result = runGateway({dir.path, {}});
    if (result.exitStatus == 0) GTEST_SKIP() << "something listens on port 40000";
    EXPECT_EQ(result.err,
              gatewayName() +
                  ": error 4: Unable to connect to host '127.0.0.1' at port 40000, errno 111.\n");
    EXPECT_EQ(traceOf(dir).back(), "connecting to server 127.0.0.1 on port 40000");
}

TEST(Relay, UnresolvableNameIsError6) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "debug on\nlink * tcp no-such-host.invalid 80\n");
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_EQ(result.err,
              gatewayName() + ": error 6: Error resolving host name 'no-such-host.invalid'.\n");
    EXPECT_EQ(result.out.substr(0, 18), "Status: 500 Error\n");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(traceOf(dir),
              (std::vector<std::string>{"----------------------------------------------",
                                        "resolving hostname for 'no-such-host.invalid'"}));
}

TEST(Relay, HostNamesResolve) {
    ScriptedServer server({.reply = {{"resolved"}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp localhost " + std::to_string(server.port) + "\n");
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_EQ(result.out, "resolved");
    EXPECT_EQ(result.err, "");
}

TEST(Relay, DashStandsForThisMachineByName) {
    std::uint16_t port = unusedPort();
    WorkDirectory dir;
    dir.write("dostrel.cnf", "debug on\nlink * tcp - " + std::to_string(port) + "\n");
    GatewayResult result = runGateway({dir.path, {}});
    std::string name = localHostName();
    EXPECT_EQ(traceOf(dir).at(1), "resolving hostname for '" + name + "'");
    EXPECT_NE(result.err.find("'" + name + "'"), std::string::npos) << result.err;
    EXPECT_EQ(result.exitStatus, 1);
}

TEST(Relay, ReceiveFailureAfterRelayedBytesAddsNoPage) {
    ScriptedServer server(
        {.reply = {{"Content-type: text/plain\n\npartial", 300}}, .resetAtEnd = true});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_EQ(result.out, "Content-type: text/plain\n\npartial");
    EXPECT_TRUE(std::regex_match(result.err,
                                 std::regex(gatewayName() + ": error 11: Error receivng data on "
                                                            "socket: [0-9]+, errno 104\\.\n")))
        << result.err;
    EXPECT_EQ(result.exitStatus, 1);
}

TEST(Relay, ReceiveFailureBeforeAnyByteAnswersWithThePage) {
    ScriptedServer server({.reply = {}, .resetAtEnd = true});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_NE(result.err.find("error 11: Error receivng data on socket:"), std::string::npos);
    EXPECT_EQ(result.out.substr(0, 18), "Status: 500 Error\n");
    EXPECT_EQ(result.exitStatus, 1);
}

TEST(Relay, ServerResettingWhileALargeBodyIsSentIsError10NotASignal) {
    ScriptedServer server(
        {.readRequest = false, .readOnly = 1000, .reply = {}, .resetAtEnd = true});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    std::string body = binaryPattern(32 * 1024 * 1024);
    GatewayResult result =
        runGateway({dir.path, {"CONTENT_LENGTH=" + std::to_string(body.size())}, body});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(std::regex_match(result.err,
                                 std::regex(gatewayName() + ": error 10: Error sending data on "
                                                            "socket: [0-9]+, errno (104|32)\\.\n")))
        << result.err;
    EXPECT_EQ(result.out.substr(0, 18), "Status: 500 Error\n");
}

TEST(Relay, ClientGoneMidResponseStillDrainsTheServerAndExits0) {
    std::string response = binaryPattern(4 * 1024 * 1024);
    ScriptedServer server({.reply = {{response}}});
    WorkDirectory dir;
    dir.write("dostrel.cnf", configFor(server.port));
    GatewayCall call(dir.path);
    call.closeOutputAfter = 100000;
    GatewayResult result = runGateway(call);
    ASSERT_TRUE(server.waitServed());
    EXPECT_TRUE(server.replyComplete);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
}

} // namespace
