// gateway_process.cc -- starts the gateway with pipes on its three standard streams.
#include "gateway_process.h"

#include "diag/build_info.h"
#include "html_text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef DOSTREL_GATEWAY_PATH
#error "DOSTREL_GATEWAY_PATH must name the built gateway"
#endif
#ifndef DOSTREL_CHECK_PATH
#error "DOSTREL_CHECK_PATH must name the built dostrel-check"
#endif

const char* gatewayPath() {
    const char* chosen = std::getenv("DOSTREL_TEST_GATEWAY");
    return chosen != nullptr && chosen[0] != '\0' ? chosen : DOSTREL_GATEWAY_PATH;
}

const char* checkPath() {
    const char* chosen = std::getenv("DOSTREL_TEST_CHECK");
    return chosen != nullptr && chosen[0] != '\0' ? chosen : DOSTREL_CHECK_PATH;
}

namespace {

// DOSTREL_TEST_WRAPPER, split at blanks: a program (valgrind, say) that runs the gateway.
std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("DOSTREL_TEST_WRAPPER");
    std::istringstream split(wrapper == nullptr ? "" : wrapper);
    for (std::string word; split >> word;)
        words.push_back(word);
    return words;
}

} // namespace

bool underEmulator() {
    std::vector<std::string> words = wrapperWords();
    return !words.empty() &&
           std::filesystem::path(words[0]).filename().string().rfind("qemu-", 0) == 0;
}

bool underWrapper() {
    return !wrapperWords().empty() && !underEmulator();
}

std::string gatewayName() {
    return underWrapper() ? gatewayPath() : "dostrel";
}

WorkDirectory::WorkDirectory() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/dostrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    // The gateway reports the directory as the system names it, links resolved.
    path = std::filesystem::canonical(pattern).string();
}

WorkDirectory::~WorkDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

void WorkDirectory::write(const std::string& name, const std::string& content) const {
    std::ofstream(path + "/" + name, std::ios::binary) << content;
}

std::string WorkDirectory::read(const std::string& name) const {
    std::ifstream in(path + "/" + name, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WorkDirectory::exists(const std::string& name) const {
    return std::filesystem::exists(path + "/" + name);
}

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    return {ends[0], ends[1]};
}

// What execvpe needs, made before the fork: the child of a process with threads (the scripted
// servers) must not allocate.
struct Launch {
    std::string file;               // the program to start: the gateway, or its wrapper
    std::vector<std::string> words; // its arguments, the first included
    std::vector<char*> argv;
    std::vector<char*> envp;
};

void prepareLaunch(const GatewayCall& call, Launch* launch) {
    bool emulated = underEmulator();
    for (const std::string& entry : call.env)
        launch->envp.push_back(const_cast<char*>(entry.c_str()));
    // The emulator reverses the environment once more on its way to the program.
    if (emulated) std::reverse(launch->envp.begin(), launch->envp.end());
    launch->envp.push_back(nullptr);
    std::string program = call.program.empty() ? gatewayPath() : call.program;
    // A wrapper takes the program's path and gives it as the program's first argument; the
    // emulator is told the first argument to give instead.
    std::vector<std::string> wrapper = wrapperWords();
    std::vector<std::string>& words = launch->words;
    words = wrapper;
    if (emulated && !call.noArguments) {
        words.push_back("-0");
        words.push_back(call.argv0);
    }
    if (!wrapper.empty())
        words.push_back(program);
    else if (!call.noArguments)
        words.push_back(call.argv0);
    if (!call.noArguments) words.insert(words.end(), call.arguments.begin(), call.arguments.end());
    for (std::string& word : words)
        launch->argv.push_back(word.data());
    launch->argv.push_back(nullptr);
    launch->file = wrapper.empty() ? program : wrapper[0];
}

[[noreturn]] void execGateway(const GatewayCall& call, const Launch& launch, Pipe in, Pipe out,
                              Pipe err) {
    // Some web servers spool a large body to a file and pass the file itself.
    int file = call.inputFile.empty() ? -1 : open(call.inputFile.c_str(), O_RDONLY);
    dup2(file >= 0 ? file : in.read, 0);
    dup2(out.write, 1);
    dup2(err.write, 2);
    if (chdir(call.directory.c_str()) != 0) _exit(126);
    execvpe(launch.file.c_str(), launch.argv.data(), launch.envp.data());
    _exit(127);
}

void closeIfOpen(int* descriptor) {
    if (*descriptor >= 0) close(*descriptor);
    *descriptor = -1;
}

} // namespace

PipeInput::PipeInput(const std::string& directory, std::function<bool(std::string*)> next,
                     bool holdOpen)
    : path(directory + "/input.fifo") {
    mkfifo(path.c_str(), 0600);
    writer = std::thread([this, next, holdOpen] {
        int end = open(path.c_str(), O_WRONLY); // waits for the gateway to open its end
        std::string block;
        bool writing = end >= 0;
        while (writing && next(&block)) {
            for (std::size_t done = 0; writing && done < block.size();) {
                ssize_t n = ::write(end, block.data() + done, block.size() - done);
                if (n < 0 && errno == EINTR) continue;
                writing = n > 0;
                if (writing) done += static_cast<std::size_t>(n);
            }
        }
        for (int waited = 0; holdOpen && !releasing && waited < 6000; ++waited)
            usleep(10000);
        if (end >= 0) close(end);
        closed = true;
    });
}

PipeInput::~PipeInput() {
    releasing = true;
    // A writer still waiting for a reader is let through by one.
    if (!closed) close(open(path.c_str(), O_RDONLY | O_NONBLOCK));
    writer.join();
    unlink(path.c_str());
}

int waitForExit(pid_t* pid, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;) {
        int status;
        if (waitpid(*pid, &status, WNOHANG) == *pid) {
            *pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    }
    return -1;
}

GatewayResult runGateway(const GatewayCall& call) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe in = makePipe(), out = makePipe(), err = makePipe();
    Launch launch;
    prepareLaunch(call, &launch);
    pid_t child = fork();
    if (child == 0) execGateway(call, launch, in, out, err);
    close(in.read);
    close(out.write);
    close(err.write);
    fcntl(in.write, F_SETFL, O_NONBLOCK);

    GatewayResult result;
    std::size_t written = 0;
    if (call.input.empty()) closeIfOpen(&in.write);
    while (in.write >= 0 || out.read >= 0 || err.read >= 0) {
        pollfd watched[3] = {{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
        int timeout = call.interruptEveryMs > 0 ? call.interruptEveryMs : -1;
        if (poll(watched, 3, timeout) < 0 && errno != EINTR) break;
        if (call.interruptEveryMs > 0) {
            // A stop and a continue interrupt whatever blocking call the process is in.
            kill(child, SIGSTOP);
            kill(child, SIGCONT);
        }
        if (in.write >= 0 && watched[0].revents != 0) {
            ssize_t n = ::write(in.write, call.input.data() + written, call.input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) closeIfOpen(&in.write);
            if (written == call.input.size()) closeIfOpen(&in.write);
        }
        char block[65536];
        for (int i = 1; i <= 2; ++i) {
            int* descriptor = i == 1 ? &out.read : &err.read;
            if (*descriptor < 0 || watched[i].revents == 0) continue;
            ssize_t n = ::read(*descriptor, block, sizeof block);
            if (n <= 0) {
                closeIfOpen(descriptor);
                continue;
            }
            (i == 1 ? result.out : result.err).append(block, static_cast<std::size_t>(n));
            if (i == 1 && call.closeOutputAfter != 0 && result.out.size() >= call.closeOutputAfter)
                closeIfOpen(descriptor);
        }
    }
    int status = 0;
    rusage usage = {};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.peakKib = usage.ru_maxrss;
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

// The build date and time the error page shows. The emulated gateway is a build of its own: its
// stamp is taken from a page it writes, after checking the stamp's shape.
static std::string expectedBuildStamp() {
    if (!underEmulator()) return std::string(buildDate) + " " + buildTime;
    static std::string stamp;
    if (!stamp.empty()) return stamp;
    WorkDirectory empty;
    std::string page = runGateway({empty.path, {}}).out;
    static const std::regex shape("<br>compiled on: ([A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                                  "[0-2][0-9]:[0-5][0-9]:[0-6][0-9])\n");
    std::smatch found;
    stamp = std::regex_search(page, found, shape) ? found.str(1) : "<no build stamp>";
    return stamp;
}

std::string expectedErrorPage(int number, const std::string& message, const std::string& program,
                              const std::vector<std::pair<std::string, std::string>>& facts,
                              const std::string& directory, bool terse) {
    auto fact = [&](const std::string& name) {
        for (const auto& [key, value] : facts)
            if (key == name) return htmlEscaped(value);
        return std::string("?");
    };
    std::string page = number == 4 ? "Status: 503 Unavailable\n" : "Status: 500 Error\n";
    page += "Content-type: text/html\n\n<html>\n<head>\n<title>Brennox Error</title>\n</head>\n"
            "<body>\n<h1>Brennox Error</h1>\n\n<p>Error processing a Brennox transaction.\n"
            "<p>\n<b>" +
            htmlEscaped(program) + ": error " + std::to_string(number) + "</b>\n";
    if (!terse)
        page += "<b><pre>\n" + htmlEscaped(message) +
                "\n</pre></b>\n<p>\n<br>Brennox version: 1.0\n" +
                "<br>compiled on: " + expectedBuildStamp() + "\n" +
                "<br>server software: " + fact("SERVER_SOFTWARE") + "\n" +
                "<br>server name: " + fact("SERVER_NAME") + " \n" +
                "<br>gateway interface: " + fact("GATEWAY_INTERFACE") + "\n" +
                "<br>script name: " + fact("SCRIPT_NAME") + "\n" +
                "<br>current directory: " + htmlEscaped(directory) + "\n\n";
    return page + "</body>\n</html>\n";
}
