// own_loop_test.cc -- the library in one process over TCP: bodies streamed to the handler in
// pieces under the request's limits and time limit; an own loop of dostrel_accept on threads
// beside a second server in the same process, each stopped on its own; a pool of threads
// running handlers side by side; the worker hooks.
#include "link_encoding.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

/// The log lines a server wrote, and what its handlers saw.
struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> log;
    std::vector<int> readErrors;
    int handled = 0;
    int inside = 0; // handlers running now
    int peak = 0;   // the most that ran at once
    int starts = 0, exits = 0;
    std::promise<void> bodyStarted;

    bool logHas(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : log)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
};

void onLog(void* data, const char* line) {
    auto* record = static_cast<Record*>(data);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->log.push_back(line);
}

int connectTo(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
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

/// What the server sends until its end; "<reset>" is appended when it ended in a reset.
std::string answerOn(int fd) {
    std::string answer;
    char block[4096];
    pollfd readable = {fd, POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == ECONNRESET) answer += "<reset>";
        if (got <= 0) break;
        answer.append(block, static_cast<std::size_t>(got));
    }
    close(fd);
    return answer;
}

std::string bodyOf(const std::string& answer) {
    std::size_t end = answer.find("\n\n");
    return end == std::string::npos ? answer : answer.substr(end + 2);
}

/// The request's bytes up to its body, which announces |length| bytes.
std::string headUpToBody(const std::string& query, std::size_t length) {
    std::string full =
        encodeLinkRequest({1, 0, {{"QUERY_STRING", query}}, std::string(length, 'b')});
    return full.substr(0, full.size() - length);
}

// Reads the body in pieces of at most 1000 bytes; "ignore" answers without reading it.
void streamingHandler(const dostrel_request* request, dostrel_response* response, void* data) {
    auto* record = static_cast<Record*>(data);
    std::string query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    if (query == "ignore") {
        dostrel_response_printf(
            response, "ignored %llu bytes",
            static_cast<unsigned long long>(dostrel_request_content_length(request)));
        return;
    }
    if (query == "wait") record->bodyStarted.set_value();
    char piece[1000];
    std::size_t total = 0, pieces = 0;
    long long got;
    while ((got = dostrel_request_read_body(request, piece, sizeof piece)) > 0) {
        for (long long i = 0; i < got; ++i)
            if (piece[i] != 'b') return dostrel_response_abort(response);
        total += static_cast<std::size_t>(got);
        ++pieces;
    }
    if (got < 0) {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->readErrors.push_back(errno);
    }
    dostrel_response_printf(response, "%zu bytes in %zu pieces", total, pieces);
}

/// A server of its own on a thread, stopped and joined with the object.
struct ThreadServer {
    dostrel_listener* listener;
    std::future<int> result;

    ThreadServer(dostrel_server_options& options, dostrel_handler handler, Record& record) {
        options.log = onLog;
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
        if (result.wait_for(30s) != std::future_status::ready) return -2;
        return result.get();
    }
    ~ThreadServer() {
        if (listener == nullptr) return;
        if (result.valid()) stop();
        dostrel_listener_close(listener);
    }
};

TEST(StreamedBody, PiecesArriveWhileSentUnderTheLimitsAndTheTimeLimit) {
    Record record;
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 0;
    options.threads = 4;
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
    int large = connectTo(server.port());
    sendText(large, headUpToBody("large", (1 << 20) + 1));
    EXPECT_EQ(answerOn(large), "");
    EXPECT_TRUE(record.logHas(": body-too-large"));

    // A body that stops coming: the read fails at the time limit, and the answer is reset.
    int stalled = connectTo(server.port());
    sendText(stalled, headUpToBody("stall", 1000) + "bbb");
    EXPECT_EQ(bodyOf(answerOn(stalled)), "<reset>");
    // A body cut by its peer: the read fails at once.
    int cut = connectTo(server.port());
    sendText(cut, headUpToBody("cut", 1000) + "bbb");
    shutdown(cut, SHUT_WR);
    EXPECT_EQ(bodyOf(answerOn(cut)), "<reset>");
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        std::sort(record.readErrors.begin(), record.readErrors.end());
        EXPECT_EQ(record.readErrors, (std::vector<int>{ECONNRESET, ETIMEDOUT}));
    }
    EXPECT_TRUE(record.logHas(": timeout (in the streamed body)"));
    EXPECT_TRUE(record.logHas(": truncated (in the streamed body)"));

    // A handler that answers without reading: the rest is read and dropped, the answer whole.
    int ignoring = connectTo(server.port());
    sendText(ignoring,
             encodeLinkRequest({1, 0, {{"QUERY_STRING", "ignore"}}, std::string(300000, 'b')}));
    EXPECT_EQ(answerOn(ignoring), "Content-Length: 20\n\nignored 300000 bytes");
    EXPECT_EQ(server.stop(), 0);
}

// Waits until |count| handlers are inside at once (at most 10 s), then tells how many were.
void togetherHandler(const dostrel_request* request, dostrel_response* response, void* data) {
    auto* record = static_cast<Record*>(data);
    int count = std::stoi(dostrel_request_get(request, "QUERY_STRING", nullptr));
    std::unique_lock<std::mutex> lock(record->mutex);
    record->peak = std::max(record->peak, ++record->inside);
    record->changed.notify_all();
    bool together = record->changed.wait_for(lock, 10s, [&] { return record->peak >= count; });
    --record->inside;
    ++record->handled;
    lock.unlock();
    dostrel_response_printf(response, together ? "together" : "alone");
}

void countStart(void* data) {
    auto* record = static_cast<Record*>(data);
    std::lock_guard<std::mutex> lock(record->mutex);
    ++record->starts;
}

void countExit(void* data) {
    auto* record = static_cast<Record*>(data);
    std::lock_guard<std::mutex> lock(record->mutex);
    ++record->exits;
}

TEST(Threads, HandlersRunSideBySideAndTheHooksFrameTheWorker) {
    Record record;
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 0;
    options.threads = 4;
    options.on_worker_start = countStart;
    options.on_worker_exit = countExit;
    ThreadServer server(options, togetherHandler, record);
    ASSERT_NE(server.listener, nullptr);
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectTo(server.port()));
        sendText(clients.back(), encodeLinkRequest({1, 0, {{"QUERY_STRING", "4"}}, ""}));
    }
    for (int fd : clients)
        EXPECT_EQ(bodyOf(answerOn(fd)), "together");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(record.starts, 1);
    EXPECT_EQ(record.exits, 1);

    options.threads = 5000;
    Record refused;
    ThreadServer tooMany(options, togetherHandler, refused);
    EXPECT_EQ(tooMany.result.get(), -1);
    EXPECT_TRUE(refused.logHas("5000 threads per worker: at most 4096"));
}

void answerOwn(dostrel_request* request, dostrel_response* response, const char* server) {
    dostrel_response_printf(response, "%s answers %s", server,
                            dostrel_request_get(request, "QUERY_STRING", nullptr));
    dostrel_response_free(response);
    dostrel_request_free(request);
}

void answerB(const dostrel_request* request, dostrel_response* response, void*) {
    dostrel_response_printf(response, "B answers %s",
                            dostrel_request_get(request, "QUERY_STRING", nullptr));
}

std::string ask(unsigned port, const std::string& query) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    sendText(fd, encodeLinkRequest({1, 0, {{"QUERY_STRING", query}}, ""}));
    return bodyOf(answerOn(fd));
}

TEST(OwnLoop, AcceptOnThreadsBesideASecondServerEachStoppedOnItsOwn) {
    Record recordA, recordB;
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 0;
    options.log = onLog;
    options.log_data = &recordA;
    options.allow = "127.0.0.1";
    dostrel_listener* a = dostrel_listen(&options);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(dostrel_listener_address(a), "127.0.0.1");
    std::atomic<int> served{0}, shutdowns{0};
    std::vector<std::thread> loop;
    for (int i = 0; i < 3; ++i)
        loop.emplace_back([&] {
            dostrel_request* request;
            dostrel_response* response;
            while (dostrel_accept(a, &request, &response) == 0) {
                answerOwn(request, response, "A");
                ++served;
            }
            if (errno == ESHUTDOWN) ++shutdowns;
        });
    options.allow = nullptr;
    ThreadServer b(options, answerB, recordB);
    ASSERT_NE(b.listener, nullptr);

    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ask(dostrel_listener_port(a), std::to_string(i)),
                  "A answers " + std::to_string(i));
        EXPECT_EQ(ask(b.port(), std::to_string(i)), "B answers " + std::to_string(i));
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
    EXPECT_EQ(ask(b.port(), "still"), "B answers still") << "B goes on after A stopped";
    EXPECT_EQ(b.stop(), 0);

    options.port = 70000;
    errno = 0;
    EXPECT_EQ(dostrel_listen(&options), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(recordB.logHas("cannot listen on 127.0.0.1:70000: port out of range"));
}

} // namespace
