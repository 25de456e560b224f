// appserver.cc -- dostrel-appserver: the sample link-protocol application server, built on the
// library. It answers every request with a complete CGI response (see answers.h).
#include "answers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

struct SampleOptions {
    dostrel_server_options server;
    std::string host = "127.0.0.1";
    std::string allow;
    std::string name = "dostrel-appserver";
    std::string record; // when set: each request's bytes go to RECORD-1.bin, RECORD-2.bin, ...
};

[[noreturn]] void usage(const char* problem = nullptr) {
    if (problem != nullptr) std::fprintf(stderr, "dostrel-appserver: %s\n", problem);
    std::fprintf(
        stderr,
        "usage: dostrel-appserver [--host ADDRESS] [--port N] [--name NAME] [--serial]\n"
        "                         [--workers N] [--allow ADDRESS[,ADDRESS...]]\n"
        "                         [--read-timeout SECONDS] [--grace SECONDS]\n"
        "                         [--max-keys N] [--max-variable-bytes N] [--max-body-bytes N]\n"
        "                         [--max-connections N] [--record PREFIX]\n"
        "                         [--threads N] [--timeout SECONDS]\n"
        "       dostrel-appserver --print-pattern N\n"
        "Listens on ADDRESS (127.0.0.1) at port N (0: any free port) and prints\n"
        "'listening on ADDRESS:PORT' once it accepts connections. --workers N serves with N\n"
        "worker processes (default: one per processor); --serial serves in one process, one\n"
        "request at a time; --threads N gives each worker N threads. --timeout kills and\n"
        "replaces a worker whose handler runs longer, resetting its connection. --allow\n"
        "takes connections only from these addresses (ADDRESS/BITS for a range).\n"
        "--print-pattern writes the N bytes that a request with bytes=N in its query string\n"
        "gets. Answers: ?bytes=N, ?echo, ?keys, ?delay=MS, ?stream=N (N lines, each flushed,\n"
        "100 ms apart), POST ?sum (LENGTH SHA256HEX of the body, streamed), else a page.\n"
        "SIGTERM stops after serving what has arrived.\n");
    std::exit(2);
}

unsigned long long number(const char* option, const std::string& text, unsigned long long max) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max)
        usage((std::string(option) + " wants a number up to " + std::to_string(max) + ", not '" +
               text + "'")
                  .c_str());
    return value;
}

unsigned seconds(const char* option, const std::string& text) {
    return static_cast<unsigned>(number(option, text, 86400) * 1000);
}

SampleOptions parseOptions(int argc, char** argv) {
    SampleOptions options;
    dostrel_server_options& server = options.server;
    dostrel_server_options_default(&server);
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--serial") {
            server.workers = 0;
            continue;
        }
        if (i + 1 >= argc) usage((option + " wants a value").c_str());
        std::string value = argv[++i];
        const char* name = option.c_str();
        if (option == "--host")
            options.host = value;
        else if (option == "--port")
            server.port = static_cast<unsigned>(number(name, value, 65535));
        else if (option == "--name")
            options.name = value;
        else if (option == "--record")
            options.record = value;
        else if (option == "--workers")
            server.workers = static_cast<unsigned>(number(name, value, 1024));
        else if (option == "--allow")
            options.allow = value;
        else if (option == "--read-timeout")
            server.limits.read_timeout_ms = seconds(name, value);
        else if (option == "--grace")
            server.grace_ms = seconds(name, value);
        else if (option == "--max-keys")
            server.limits.max_keys = static_cast<std::uint32_t>(number(name, value, 4294967295u));
        else if (option == "--max-variable-bytes")
            server.limits.max_variable_bytes = number(name, value, ~0ull);
        else if (option == "--max-body-bytes")
            server.limits.max_body_bytes = number(name, value, ~0ull);
        else if (option == "--threads")
            server.threads = static_cast<unsigned>(number(name, value, 4096));
        else if (option == "--timeout")
            server.handler_timeout_ms = seconds(name, value);
        else if (option == "--max-connections")
            server.max_connections = static_cast<unsigned>(number(name, value, 1000000));
        else
            usage(("unknown option " + option).c_str());
    }
    server.host = options.host.c_str();
    server.allow = options.allow.c_str();
    return options;
}

// Keeps the request's bytes as the gateway sent them, for tests that compare the wire. Worker
// processes share the numbering through the file system: each takes the first free name.
void recordRequest(const std::string& prefix, const dostrel_request* request) {
    std::string bytes(dostrel_request_encode(request, nullptr, 0), '\0');
    dostrel_request_encode(request, bytes.data(), bytes.size());
    for (unsigned count = 1; count < 1000000; ++count) {
        std::string name = prefix + "-" + std::to_string(count) + ".bin";
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return;
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::fprintf(stderr, "dostrel-appserver: cannot record %s\n", name.c_str());
        close(fd);
        return;
    }
}

void handle(const dostrel_request* request, dostrel_response* response, void* data) {
    const SampleOptions& options = *static_cast<const SampleOptions*>(data);
    if (!options.record.empty() && !wantsStreamedBody(request))
        recordRequest(options.record, request);
    answerRequest(request, response, options.name);
}

int streamChoice(const dostrel_request* request, void*) {
    return wantsStreamedBody(request) ? 1 : 0;
}

void logWorker(const char* what) {
    // One write per line, so that the lines of several workers never interleave.
    std::string line = "dostrel-appserver[" + std::to_string(getpid()) + "]: worker " + what + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
}

void onWorkerStart(void*) {
    logWorker("started");
}

void onWorkerExit(void*) {
    logWorker("exiting");
}

void printListening(const char* address, unsigned port, void*) {
    std::printf("listening on %s:%u\n", address, port);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--print-pattern") == 0)
        return writePattern(stdout, number("--print-pattern", argv[2], ~0ull)) ? 0 : 1;
    SampleOptions options = parseOptions(argc, argv);
    options.server.on_listening = printListening;
    options.server.on_worker_start = onWorkerStart;
    options.server.on_worker_exit = onWorkerExit;
    options.server.stream_body = streamChoice;
    return dostrel_serve(&options.server, handle, &options) == 0 ? 0 : 1;
}
