// sample_server_test.cc -- the built dostrel-appserver as an operator runs it, with requests
// through the real gateway: idle and stalled peers dropped at the time limit while good
// requests are answered, a forged length costing no memory, a graceful stop that serves what
// arrived, the allow-list, and a killed worker replaced.
#include "gateway_process.h"
#include "link_encoding.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// dostrel-appserver started with |arguments|, its log in the work directory.
struct SampleServer {
    pid_t pid = -1;
    unsigned port = 0;
    std::string logPath;

    /// With |ownGroup| it leads a process group of its own, as a service manager starts it.
    SampleServer(const WorkDirectory& dir, std::vector<std::string> arguments,
                 bool ownGroup = false) {
        logPath = dir.path + "/server.log";
        int out[2];
        if (pipe(out) != 0) return;
        arguments.insert(arguments.begin(), {DOSTREL_APPSERVER_PATH, "--port", "0"});
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            if (ownGroup) setpgid(0, 0);
            dup2(out[1], 1);
            int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd readable = {out[0], POLLIN, 0};
        char c;
        while (poll(&readable, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        close(out[0]);
        std::size_t colon = line.rfind(':');
        if (line.starts_with("listening on 127.0.0.1:"))
            port = static_cast<unsigned>(std::stoul(line.substr(colon + 1)));
    }

    ~SampleServer() {
        if (pid <= 0) return;
        // The workers first: the list of them goes with the server.
        for (pid_t worker : workers())
            kill(worker, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    std::string log() const { return fileText(logPath); }

    /// The exit status after |signal|, or -1 when it did not end in |limit|.
    int stop(int signal, std::chrono::seconds limit) {
        kill(pid, signal);
        return wait(limit);
    }

    /// The exit status, or -1 when the server did not end in |limit|. A second stop signal
    /// would race the exit: the server gives back the signals' default actions as it returns.
    int wait(std::chrono::seconds limit) { return waitForExit(&pid, limit); }

    std::vector<pid_t> workers() const {
        std::string path =
            "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
        std::istringstream list(fileText(path));
        std::vector<pid_t> children;
        for (pid_t child; list >> child;)
            children.push_back(child);
        return children;
    }

    /// Resident memory of the server and its workers together.
    long residentKib() const {
        std::vector<pid_t> all = workers();
        all.push_back(pid);
        long total = 0;
        for (pid_t process : all) {
            std::istringstream status(fileText("/proc/" + std::to_string(process) + "/status"));
            for (std::string line; std::getline(status, line);)
                if (line.starts_with("VmRSS:")) total += std::stol(line.substr(6));
        }
        return total;
    }
};

/// A connection to the server, from |from| when given.
int connectTo(unsigned port, const char* from = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    if (from != nullptr) {
        inet_pton(AF_INET, from, &address.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendText(int fd, const std::string& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

/// Everything the server sends until it closes (at most 10 s).
std::string answerOn(int fd) {
    std::string answer;
    char block[4096];
    pollfd readable = {fd, POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        ssize_t got = read(fd, block, sizeof block);
        if (got <= 0) break;
        answer.append(block, static_cast<std::size_t>(got));
    }
    close(fd);
    return answer;
}

/// Whether the server has closed |fd| (end of stream or reset), without waiting.
bool closedByServer(int fd) {
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string keysRequest(const std::string& query) {
    return encodeLinkRequest({1, 0, {{"QUERY_STRING", query}, {"PATH_INFO", "/x"}}, ""});
}

std::size_t countOf(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

/// The lines of the worker hooks in |log|.
std::size_t hookLines(const std::string& log) {
    return countOf(log, "]: worker started\n") + countOf(log, "]: worker exiting\n");
}

TEST(SampleServer, IdleAndStalledPeersAreDroppedAtTheTimeLimitWhileGoodRequestsAreAnswered) {
    WorkDirectory dir;
    SampleServer server(dir, {"--workers", "2", "--read-timeout", "2", "--name", "busy"});
    ASSERT_NE(server.port, 0u) << server.log();
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(server.port) + "\n");
    Clock::time_point start = Clock::now();
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        int fd = connectTo(server.port);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    std::string half = keysRequest("keys");
    sendText(idle[0], half.substr(0, half.size() / 2));
    // A body announced at the limit, 1 GiB, of which ten bytes come.
    sendText(idle[1],
             encodeLinkRequest({1, 0, {}, ""}).substr(0, 41) + linkNumber(1u << 30) + "0123456789");

    int answered = 0;
    bool checkedMemory = false, stillOpenEarly = true;
    while (Clock::now() - start < 3500ms) {
        Clock::time_point sent = Clock::now();
        GatewayResult result = runGateway({dir.path, {"QUERY_STRING=keys", "PATH_INFO=/good"}});
        EXPECT_LT(Clock::now() - sent, 1500ms) << "a good request waited";
        ASSERT_NE(result.out.find("X-Appserver: busy\nContent-Length: 34\n\nQUERY_STRING=keys\n"
                                  "PATH_INFO=/good\n"),
                  std::string::npos)
            << result.out << result.err;
        ++answered;
        if (!checkedMemory && Clock::now() - start > 500ms) {
            checkedMemory = true;
            EXPECT_LT(server.residentKib(), 64 * 1024) << "the forged length took memory";
            for (int fd : idle)
                stillOpenEarly = stillOpenEarly && !closedByServer(fd);
        }
    }
    EXPECT_TRUE(stillOpenEarly) << "connections were dropped before their time limit";
    EXPECT_GE(answered, 10);
    int dropped = 0;
    for (int fd : idle) {
        dropped += closedByServer(fd) ? 1 : 0;
        close(fd);
    }
    EXPECT_EQ(dropped, 300);
    EXPECT_EQ(countOf(server.log(), ": timeout\n"), 300u) << server.log();
}

TEST(SampleServer, SigtermServesTheRequestInFlightAndTheQueuedOnesThenExits0) {
    WorkDirectory dir;
    SampleServer server(dir, {"--workers", "1", "--name", "draining"});
    ASSERT_NE(server.port, 0u) << server.log();
    std::string partial = keysRequest("keys");
    int inFlight = connectTo(server.port);
    sendText(inFlight, partial.substr(0, 20));
    std::this_thread::sleep_for(100ms);
    int slow = connectTo(server.port); // keeps the only worker in its handler for a second
    sendText(slow, keysRequest("delay=1000&keys"));
    std::this_thread::sleep_for(200ms);
    std::vector<int> queued;
    for (int i = 0; i < 5; ++i) {
        queued.push_back(connectTo(server.port));
        sendText(queued.back(), keysRequest("keys&queued=" + std::to_string(i)));
    }
    kill(server.pid, SIGTERM);
    std::this_thread::sleep_for(200ms);
    sendText(inFlight, partial.substr(20));

    EXPECT_NE(answerOn(slow).find("QUERY_STRING=delay=1000&keys\n"), std::string::npos);
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(answerOn(queued[static_cast<std::size_t>(i)])
                      .find("QUERY_STRING=keys&queued=" + std::to_string(i) + "\n"),
                  std::string::npos)
            << i;
    EXPECT_NE(answerOn(inFlight).find("X-Appserver: draining\n"), std::string::npos);
    EXPECT_EQ(server.wait(10s), 0) << server.log();
    std::string log = server.log();
    EXPECT_EQ(countOf(log, "\n"), hookLines(log)) << log;
}

TEST(SampleServer, AllowListRefusesOtherPeersAtTheAccept) {
    WorkDirectory dir;
    SampleServer server(dir, {"--workers", "1", "--allow", "127.0.0.2"});
    ASSERT_NE(server.port, 0u) << server.log();
    int refused = connectTo(server.port, "127.0.0.1");
    ASSERT_GE(refused, 0);
    sendText(refused, keysRequest("keys"));
    EXPECT_EQ(answerOn(refused), "");
    int allowed = connectTo(server.port, "127.0.0.2");
    ASSERT_GE(allowed, 0);
    sendText(allowed, keysRequest("keys"));
    EXPECT_NE(answerOn(allowed).find("PATH_INFO=/x\n"), std::string::npos);
    EXPECT_EQ(server.stop(SIGTERM, 10s), 0);
    std::string log = server.log();
    EXPECT_EQ(countOf(log, "refused 127.0.0.1:"), 1u) << log;
    EXPECT_EQ(countOf(log, ": not-allowed\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "\n") - hookLines(log), 1u) << log;

    SampleServer wrong(dir, {"--allow", "localhost"});
    EXPECT_EQ(wrong.port, 0u);
    EXPECT_EQ(wrong.wait(10s), 1);
    EXPECT_NE(wrong.log().find("allow-list: 'localhost'"), std::string::npos) << wrong.log();
}

TEST(SampleServer, KilledWorkerIsReplacedAndWorkersEndWithTheirServer) {
    WorkDirectory dir;
    SampleServer server(dir, {"--workers", "2", "--name", "phoenix"});
    ASSERT_NE(server.port, 0u) << server.log();
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(server.port) + "\n");
    std::vector<pid_t> before;
    for (auto end = Clock::now() + 5s; before.size() < 2 && Clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
        before = server.workers();
    }
    ASSERT_EQ(before.size(), 2u);
    kill(before[0], SIGKILL);
    std::vector<pid_t> after;
    for (auto end = Clock::now() + 5s; Clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
        after = server.workers();
        if (after.size() == 2 && after != before) break;
    }
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(std::count(after.begin(), after.end(), before[0]), 0);
    EXPECT_EQ(std::count(after.begin(), after.end(), before[1]), 1);
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(runGateway({dir.path, {"QUERY_STRING=keys"}}).out.find("X-Appserver: phoenix"),
                  std::string::npos);
    EXPECT_NE(server.log().find("worker " + std::to_string(before[0]) +
                                " was killed by signal 9; starting another"),
              std::string::npos)
        << server.log();
    // Workers whose server was killed outright stop by themselves: none is left behind.
    EXPECT_EQ(server.stop(SIGKILL, 10s), 128 + SIGKILL);
    for (pid_t worker : after) {
        bool gone = false;
        for (auto end = Clock::now() + 5s; !gone && Clock::now() < end;) {
            std::this_thread::sleep_for(20ms);
            gone = kill(worker, 0) != 0 ||
                   fileText("/proc/" + std::to_string(worker) + "/stat").find(") Z ") !=
                       std::string::npos;
        }
        EXPECT_TRUE(gone) << "worker " << worker << " outlived its server";
        kill(worker, SIGKILL);
    }
}

/// The lines |command| prints, each with the time it came (at most 60 s).
std::vector<std::pair<std::string, Clock::time_point>> timedLinesOf(const std::string& command) {
    std::vector<std::pair<std::string, Clock::time_point>> lines;
    std::FILE* out = popen(("exec timeout 60 sh -c '" + command + "'").c_str(), "r");
    char line[4096];
    while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr)
        lines.push_back({std::string(line, std::strcspn(line, "\n")), Clock::now()});
    if (out != nullptr) pclose(out);
    return lines;
}

TEST(SampleServer, HelpPrintsTheUsageAloneAndAMissingValueIsNamed) {
    auto lines = timedLinesOf(std::string(DOSTREL_APPSERVER_PATH) + " --help 2>/dev/null; echo $?");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(lines[0].first.starts_with("usage: dostrel-appserver")) << lines[0].first;
    EXPECT_EQ(lines.back().first, "0");
    auto missing = timedLinesOf(std::string(DOSTREL_APPSERVER_PATH) + " --port 2>&1 >/dev/null");
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(missing[0].first, "dostrel-appserver: --port wants a value");
}

TEST(SampleServer, StreamsLinesSumsABodyInPiecesAndAGroupSigtermForksNothing) {
    WorkDirectory dir;
    SampleServer server(dir, {"--workers", "3", "--threads", "2", "--timeout", "60"}, true);
    ASSERT_NE(server.port, 0u) << server.log();
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(server.port) + "\n");

    // Each line leaves when it is written: the first comes while the server still sleeps
    // between the others (400 ms in all), not with them.
    auto lines = timedLinesOf("cd " + dir.path + " && env -i QUERY_STRING=stream=5 " +
                              "PATH_INFO=/lines " + gatewayPath());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].first, "Content-type: text/plain");
    for (std::size_t i = 1; i <= 5; ++i)
        EXPECT_EQ(lines[i + 2].first, "line " + std::to_string(i));
    auto spread = lines[7].second - lines[3].second;
    std::printf("line 1 to line 5: %.3f s\n", std::chrono::duration<double>(spread).count());
    EXPECT_GE(spread, 300ms) << "the lines came together, not one by one";

    // POST ?sum streams the body through a hash: the worker never holds it.
    const std::size_t size = 100 << 20;
    std::string bodyPath = dir.path + "/body";
    auto made = timedLinesOf("head -c " + std::to_string(size) + " /dev/urandom | tee " + bodyPath +
                             " | sha256sum");
    ASSERT_EQ(made.size(), 1u) << "sha256sum did not answer";
    std::string sum = made[0].first.substr(0, 64);
    GatewayCall call(dir.path, {"REQUEST_METHOD=POST", "QUERY_STRING=sum", "PATH_INFO=/sum",
                                "CONTENT_LENGTH=" + std::to_string(size)});
    call.inputFile = bodyPath;
    GatewayResult summed = runGateway(call);
    EXPECT_EQ(summed.exitStatus, 0) << summed.err;
    EXPECT_NE(summed.out.find("\n\n" + std::to_string(size) + " " + sum + "\n"), std::string::npos)
        << summed.out;
    std::vector<pid_t> workers = server.workers();
    EXPECT_EQ(workers.size(), 3u);
    for (pid_t worker : workers) {
        std::istringstream status(fileText("/proc/" + std::to_string(worker) + "/status"));
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmHWM:")) {
                std::printf("worker's %s\n", line.c_str());
                EXPECT_LT(std::stol(line.substr(6)), static_cast<long>(size / 1024 / 2))
                    << "a worker held the body";
            }
    }

    // A service manager's stop: every process of the group gets SIGTERM at once. The
    // workers' ends are not taken for crashes: nothing is forked after the signal.
    kill(-server.pid, SIGTERM);
    EXPECT_EQ(server.wait(30s), 0) << server.log();
    std::string log = server.log();
    EXPECT_EQ(countOf(log, "]: worker started\n"), 3u) << log;
    EXPECT_EQ(countOf(log, "]: worker exiting\n"), 3u) << log;
    EXPECT_EQ(countOf(log, "starting another"), 0u) << log;
}

} // namespace
