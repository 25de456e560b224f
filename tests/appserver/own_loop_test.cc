// own_loop_test.cc -- the library in one process over TCP: bodies streamed to the handler in
// pieces under the request's limits and time limit; an own loop of dostrel_accept on threads
// beside a second server in the same process, each stopped on its own; a loop of one's own on
// eight threads stopped from a SIGTERM handler; a pool of threads running handlers side by side;
// the worker hooks.
#include "link_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

/// The log lines a server wrote, and what its handlers saw.
struct Record {
    std::mutex mutex;
    std::string log;
    std::vector<int> readErrors;
    std::atomic<int> arrived{0}, starts{0}, exits{0};
    std::promise<void> bodyStarted;

    bool logHas(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return log.find(part) != std::string::npos;
    }
};

/// A server of its own on a thread, stopped and joined with the object.
struct ThreadServer {
    dostrel_listener* listener;
    std::future<int> result;

    ThreadServer(dostrel_server_options& options, dostrel_handler handler, Record& record) {
        options.log = [](void* data, const char* line) {
            auto* record = static_cast<Record*>(data);
            std::lock_guard<std::mutex> lock(record->mutex);
            record->log += std::string(line) + "\n";
        };
        options.log_data = &record;
        listener = dostrel_listen(&options);
        if (listener != nullptr)
            result = std::async(std::launch::async, [this, handler, &record] {
                return dostrel_serve_listener(listener, handler, &record);
            });
    }
    unsigned port() const { return dostrel_listener_port(listener); }
    int stop() {
        dostrel_listener_stop(listener);
        return result.wait_for(30s) == std::future_status::ready ? result.get() : -2;
    }
    ~ThreadServer() {
        if (listener == nullptr) return;
        if (result.valid()) stop();
        dostrel_listener_close(listener);
    }
};

dostrel_server_options threadOptions() {
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 0;
    options.threads = 4;
    return options;
}

// Reads the body in pieces of at most 1000 bytes; "ignore" answers without reading it.
void streamingHandler(dostrel_request* request, dostrel_response* response, void* data) {
    auto* record = static_cast<Record*>(data);
    std::string query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    auto length = static_cast<unsigned long long>(dostrel_request_content_length(request));
    if (query == "ignore") {
        dostrel_response_printf(response, "ignored %llu bytes", length);
        return;
    }
    if (query == "wait") record->bodyStarted.set_value();
    char piece[1000];
    std::size_t total = 0, pieces = 0;
    long long got;
    for (; (got = dostrel_request_read_body(request, piece, sizeof piece)) > 0; ++pieces) {
        if (std::count(piece, piece + got, 'b') != got) return dostrel_response_abort(response);
        total += static_cast<std::size_t>(got);
    }
    if (got < 0) {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->readErrors.push_back(errno);
    }
    dostrel_response_printf(response, "%zu bytes in %zu pieces", total, pieces);
}

/// The request's bytes up to its body, which announces |length| bytes.
std::string headUpToBody(const std::string& query, std::size_t length) {
    std::string full =
        encodeLinkRequest({1, 0, {{"QUERY_STRING", query}}, std::string(length, 'b')});
    return full.substr(0, full.size() - length);
}

void sendText(int fd, const std::string& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

TEST(StreamedBody, PiecesArriveWhileSentUnderTheLimitsAndTheTimeLimit) {
    Record record;
    dostrel_server_options options = threadOptions();
    options.stream_body = dostrel_stream_every_body;
    options.limits.max_body_bytes = 1 << 20;
    options.limits.read_timeout_ms = 1000;
    ThreadServer server(options, streamingHandler, record);
    ASSERT_NE(server.listener, nullptr);

    // The handler runs once the variables are in, and reads the body as it is sent.
    int waiting = connectTo(server.port());
    sendText(waiting, headUpToBody("wait", 100000) + std::string(40000, 'b'));
    ASSERT_EQ(record.bodyStarted.get_future().wait_for(10s), std::future_status::ready)
        << "the handler waited for the whole body";
    sendText(waiting, std::string(60000, 'b'));
    std::string answer = answerOn(waiting);
    EXPECT_TRUE(bodyOf(answer).starts_with("100000 bytes in ")) << answer;
    EXPECT_EQ(answer.find("<reset>"), std::string::npos);

    // Over the body limit: refused before any byte of it, and no handler runs.
    EXPECT_EQ(exchangeRaw(server.port(), headUpToBody("large", (1 << 20) + 1)), "");
    EXPECT_TRUE(record.logHas(": body-too-large"));

    // A body that stops coming fails the read at the time limit, one cut by its peer at once;
    // either way the answer is reset.
    for (bool cut : {false, true}) {
        int fd = connectTo(server.port());
        sendText(fd, headUpToBody("partial", 1000) + "bbb");
        if (cut) shutdown(fd, SHUT_WR);
        EXPECT_EQ(bodyOf(answerOn(fd)), "<reset>") << cut;
    }
    std::vector<int> readErrors;
    {
        std::lock_guard<std::mutex> lock(record.mutex); // the handlers' threads write them
        readErrors = record.readErrors;
    }
    std::sort(readErrors.begin(), readErrors.end());
    EXPECT_EQ(readErrors, (std::vector<int>{ECONNRESET, ETIMEDOUT}));
    EXPECT_TRUE(record.logHas(": timeout (in the streamed body)")) << record.log;
    EXPECT_TRUE(record.logHas(": truncated (in the streamed body)")) << record.log;

    // A handler that answers without reading: the rest is read and dropped, the answer whole.
    EXPECT_EQ(exchange(server.port(), "ignore", std::string(300000, 'b')),
              "Content-Length: 20\n\nignored 300000 bytes");
    EXPECT_EQ(server.stop(), 0);
}

// Waits until 4 handlers have come (at most 10 s): they can only when they run side by side.
void togetherHandler(dostrel_request*, dostrel_response* response, void* data) {
    std::atomic<int>& arrived = static_cast<Record*>(data)->arrived;
    ++arrived;
    for (auto end = std::chrono::steady_clock::now() + 10s;
         arrived < 4 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(1ms);
    dostrel_response_printf(response, arrived >= 4 ? "together" : "alone");
}

TEST(Threads, HandlersRunSideBySideAndTheHooksFrameTheWorker) {
    Record record;
    dostrel_server_options options = threadOptions();
    options.on_worker_start = [](void* data) { ++static_cast<Record*>(data)->starts; };
    options.on_worker_exit = [](void* data) { ++static_cast<Record*>(data)->exits; };
    ThreadServer server(options, togetherHandler, record);
    ASSERT_NE(server.listener, nullptr);
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < 4; ++i)
        answers.push_back(
            std::async(std::launch::async, [&] { return exchange(server.port(), "4"); }));
    for (auto& answer : answers)
        EXPECT_EQ(bodyOf(answer.get()), "together");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(record.starts, 1);
    EXPECT_EQ(record.exits, 1);

    options.threads = 5000;
    Record refused;
    ThreadServer tooMany(options, togetherHandler, refused);
    EXPECT_EQ(tooMany.result.get(), -1);
    EXPECT_TRUE(refused.logHas("5000 threads per worker: at most 4096"));
}

TEST(OwnLoop, AcceptOnThreadsBesideASecondServerEachStoppedOnItsOwn) {
    dostrel_server_options options = threadOptions();
    dostrel_listener* a = dostrel_listen(&options);
    ASSERT_NE(a, nullptr);
    std::atomic<int> served{0}, shutdowns{0};
    std::vector<std::thread> loop;
    for (int i = 0; i < 3; ++i)
        loop.emplace_back([&] {
            dostrel_request* request;
            dostrel_response* response;
            while (dostrel_accept(a, &request, &response) == 0) {
                dostrel_response_printf(response, "A answers %s",
                                        dostrel_request_get(request, "QUERY_STRING", nullptr));
                dostrel_response_free(response);
                dostrel_request_free(request);
                ++served;
            }
            if (errno == ESHUTDOWN) ++shutdowns;
        });
    Record recordB;
    auto answerB = [](dostrel_request* request, dostrel_response* response, void*) {
        dostrel_response_printf(response, "B answers %s",
                                dostrel_request_get(request, "QUERY_STRING", nullptr));
    };
    ThreadServer b(options, answerB, recordB);
    ASSERT_NE(b.listener, nullptr);

    for (const std::string query : {"0", "1", "2", "3", "4", "5"}) {
        EXPECT_EQ(bodyOf(exchange(dostrel_listener_port(a), query)), "A answers " + query);
        EXPECT_EQ(bodyOf(exchange(b.port(), query)), "B answers " + query);
    }
    dostrel_listener_stop(a);
    for (std::thread& thread : loop)
        thread.join();
    EXPECT_EQ(served, 6);
    EXPECT_EQ(shutdowns, 3) << "every accepting thread is told the listener stopped";
    dostrel_request* request;
    dostrel_response* response;
    EXPECT_EQ(dostrel_accept(a, &request, &response), -1);
    EXPECT_EQ(errno, ESHUTDOWN);
    dostrel_listener_close(a);
    EXPECT_EQ(bodyOf(exchange(b.port(), "still")), "B answers still") << "B goes on after A";
    EXPECT_EQ(b.stop(), 0);

    options.port = 70000;
    errno = 0;
    EXPECT_EQ(dostrel_listen(&options), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(recordB.logHas("cannot listen on 127.0.0.1:70000: port out of range"));
}

// In a child process: eight threads on dostrel_accept with no request coming, and a SIGTERM
// handler that calls dostrel_serve_stop. Exits 0 once every thread was told ESHUTDOWN.
[[noreturn]] void acceptUntilTerm(int ready) {
    dostrel_server_options options = threadOptions();
    options.log = [](void*, const char*) {};
    dostrel_listener* listener = dostrel_listen(&options);
    if (listener == nullptr) _exit(2);
    signal(SIGTERM, [](int) { dostrel_serve_stop(); });
    std::atomic<int> shutdowns{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            dostrel_request* request;
            dostrel_response* response;
            if (dostrel_accept(listener, &request, &response) == -1 && errno == ESHUTDOWN)
                ++shutdowns;
        });
    std::this_thread::sleep_for(100ms); // every thread polling or waiting for its turn
    if (write(ready, "r", 1) != 1) _exit(3);
    for (std::thread& thread : threads)
        thread.join();
    dostrel_listener_close(listener);
    _exit(shutdowns == 8 ? 0 : 4);
}

TEST(OwnLoop, EightAcceptingThreadsStopOnASignalHandlersServeStop) {
    for (int run = 0; run < 3; ++run) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) acceptUntilTerm(ready[1]);
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        auto asked = std::chrono::steady_clock::now();
        kill(child, SIGTERM);
        int status = 0;
        bool ended = false;
        // Well within a second in practice; ten only catches a hang on a loaded machine.
        while (!(ended = waitpid(child, &status, WNOHANG) == child) &&
               std::chrono::steady_clock::now() - asked < 10s)
            std::this_thread::sleep_for(5ms);
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "run " << run << ": the threads were still accepting 10 s after SIGTERM";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ": status " << status;
    }
}

} // namespace
