// appserver.hpp -- the C++ face of the dostrel application-server library: RAII requests and
// responses, string_view access, << and std::format-style writing, lambdas as handlers, and
// exceptions instead of error codes. Header-only over dostrel/appserver.h; C++17 and later.
// Every call is a thin inline wrapper: nothing is copied that the C calls do not copy.
#ifndef DOSTREL_APPSERVER_HPP
#define DOSTREL_APPSERVER_HPP

#include "dostrel/appserver.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <istream>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#if __has_include(<format>)
#include <format>
#endif
#if defined(__cpp_lib_format) && __cpp_lib_format >= 201907L
#define DOSTREL_HAS_FORMAT 1
#endif

namespace dostrel {

/// A failed library call: the errno it set, and what was being done.
class error : public std::system_error {
  public:
    error(int code, const char* what) : std::system_error(code, std::generic_category(), what) {}
};

namespace detail {
inline void check(int result, const char* what) {
    if (result != 0) throw error(errno, what);
}
} // namespace detail

class request;

/// The server options, filled with the library's defaults. The hooks may be any callables,
/// capturing lambdas included: the server calls them through hook_data, which listener sets.
struct options : dostrel_server_options {
    options() { dostrel_server_options_default(this); }
    /// Every request's body is streamed to the handler (read it with request::read or
    /// request::body_stream) instead of being buffered whole first.
    options& stream_every_body() {
        stream_body = dostrel_stream_every_body;
        return *this;
    }
    /// Called with the bound address and port once the server accepts connections.
    options& when_listening(std::function<void(std::string_view address, unsigned port)> hook) {
        listening_ = std::move(hook);
        return *this;
    }
    /// Called in each worker after its start, and as it ends.
    options& when_worker_starts(std::function<void()> hook) {
        worker_start_ = std::move(hook);
        return *this;
    }
    options& when_worker_exits(std::function<void()> hook) {
        worker_exit_ = std::move(hook);
        return *this;
    }
    /// Chooses per request, from its variables, whether its body is streamed.
    options& stream_body_when(std::function<bool(const request&)> choice) {
        stream_choice_ = std::move(choice);
        return *this;
    }

  private:
    friend class listener;
    std::function<void(std::string_view, unsigned)> listening_;
    std::function<void()> worker_start_, worker_exit_;
    std::function<bool(const request&)> stream_choice_;

    // The C hooks for the callables above, with |self| as their data.
    void bind(options* self) {
        if (!listening_ && !worker_start_ && !worker_exit_ && !stream_choice_) return;
        hook_data = self;
        if (listening_)
            on_listening = [](const char* address, unsigned port, void* data) {
                static_cast<options*>(data)->listening_(address, port);
            };
        if (worker_start_)
            on_worker_start = [](void* data) { static_cast<options*>(data)->worker_start_(); };
        if (worker_exit_)
            on_worker_exit = [](void* data) { static_cast<options*>(data)->worker_exit_(); };
        if (stream_choice_) stream_body = choose;
    }
    static int choose(const dostrel_request* handle, void* data);
};

/// A streamed body read in pieces, as a std::streambuf; a buffered body read from memory.
class body_buffer : public std::streambuf {
  public:
    explicit body_buffer(dostrel_request* request) : request_(request) {
        std::size_t length = 0;
        const char* body = dostrel_request_body(request, &length);
        char* start = const_cast<char*>(body); // read only: the get area is never written
        if (length > 0) setg(start, start, start + length);
    }

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        long long got = dostrel_request_read_body(request_, piece_, sizeof piece_);
        if (got < 0) throw error(errno, "reading the request body");
        if (got == 0) return traits_type::eof();
        setg(piece_, piece_, piece_ + got);
        return traits_type::to_int_type(*gptr());
    }

  private:
    dostrel_request* request_;
    char piece_[16384];
};

/// A std::istream over the body (see body_buffer). Neither copied nor moved: the stream
/// points at its own buffer.
class body_stream : public std::istream {
  public:
    explicit body_stream(dostrel_request* request) : std::istream(nullptr), buffer_(request) {
        rdbuf(&buffer_);
        exceptions(std::ios::badbit); // a failed read rethrows dostrel::error
    }
    body_stream(const body_stream&) = delete;
    body_stream& operator=(const body_stream&) = delete;

  private:
    body_buffer buffer_;
};

/// A request: borrowed in a handler, owned (and freed) when it came from listener::accept.
class request {
  public:
    explicit request(dostrel_request* handle, bool owned = false)
        : handle_(handle), owned_(owned) {}
    request(request&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), owned_(other.owned_) {}
    request& operator=(request&&) = delete;
    request(const request&) = delete;
    ~request() {
        if (owned_ && handle_ != nullptr) dostrel_request_free(handle_);
    }

    /// The first variable of this name, or nullopt.
    std::optional<std::string_view> get(std::string_view name) const {
        for (std::size_t i = 0, count = size(); i < count; ++i)
            if (this->name(i) == name) return value(i);
        return std::nullopt;
    }
    /// The first variable of this name, or "" when there is none.
    std::string_view operator[](std::string_view name) const { return get(name).value_or(""); }
    std::size_t size() const { return dostrel_request_count(handle_); }
    std::string_view name(std::size_t index) const {
        std::size_t length = 0;
        const char* text = dostrel_request_name(handle_, index, &length);
        return text == nullptr ? std::string_view() : std::string_view(text, length);
    }
    std::string_view value(std::size_t index) const {
        std::size_t length = 0;
        const char* text = dostrel_request_value(handle_, index, &length);
        return text == nullptr ? std::string_view() : std::string_view(text, length);
    }
    /// A buffered body whole (empty for a streamed one).
    std::string_view body() const {
        std::size_t length = 0;
        const char* text = dostrel_request_body(handle_, &length);
        return std::string_view(text, length);
    }
    std::uint64_t content_length() const { return dostrel_request_content_length(handle_); }
    /// The next piece of the body, streamed or buffered; 0 at its end. Throws dostrel::error.
    std::size_t read(void* buffer, std::size_t size) const {
        long long got = dostrel_request_read_body(handle_, buffer, size);
        if (got < 0) throw error(errno, "reading the request body");
        return static_cast<std::size_t>(got);
    }
    /// The body as a std::istream, streamed or buffered alike.
    body_stream stream() const { return body_stream(handle_); }
    dostrel_request* handle() const { return handle_; }

  private:
    dostrel_request* handle_;
    bool owned_;
};

/// A response: borrowed in a handler, owned when it came from listener::accept. An owned one
/// is finished when it goes, or aborted (a reset) when an exception is unwinding past it.
class response {
  public:
    explicit response(dostrel_response* handle, bool owned = false)
        : handle_(handle), owned_(owned), exceptions_(std::uncaught_exceptions()) {}
    response(response&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), owned_(other.owned_),
          exceptions_(other.exceptions_) {}
    response& operator=(response&&) = delete;
    response(const response&) = delete;
    ~response() {
        if (!owned_ || handle_ == nullptr) return;
        if (std::uncaught_exceptions() > exceptions_) dostrel_response_abort(handle_);
        dostrel_response_free(handle_);
    }

    response& status(int code, const char* phrase = nullptr) {
        detail::check(dostrel_response_status(handle_, code, phrase), "setting the status");
        return *this;
    }
    response& header(const char* name, const char* value) {
        detail::check(dostrel_response_header(handle_, name, value), "adding a header line");
        return *this;
    }
    response& header(std::string_view name, std::string_view value) {
        return header(std::string(name).c_str(), std::string(value).c_str());
    }
    response& write(const void* data, std::size_t size) {
        detail::check(dostrel_response_write(handle_, data, size), "writing the body");
        return *this;
    }
    response& write(std::string_view text) { return write(text.data(), text.size()); }
    response& printf(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        va_list arguments;
        va_start(arguments, format);
        int result = dostrel_response_vprintf(handle_, format, arguments);
        va_end(arguments);
        detail::check(result, "writing the body");
        return *this;
    }
#ifdef DOSTREL_HAS_FORMAT
    /// std::format into the body, through a small buffer: no string is built.
    template <class... Arguments>
    response& format(std::format_string<Arguments...> format, Arguments&&... arguments) {
        char piece[512];
        auto result =
            std::format_to_n(piece, sizeof piece, format, std::forward<Arguments>(arguments)...);
        if (static_cast<std::size_t>(result.size) <= sizeof piece)
            return write(piece, static_cast<std::size_t>(result.size));
        return write(std::format(format, std::forward<Arguments>(arguments)...));
    }
#endif
    /// Sends what is gathered now; writing goes on.
    response& flush() {
        detail::check(dostrel_response_flush(handle_), "flushing the response");
        return *this;
    }
    void finish() {
        detail::check(dostrel_response_finish(handle_), "finishing the response");
    }
    /// Ends the response with a reset: the gateway reports it as cut.
    void abort() {
        dostrel_response_abort(handle_);
    }
    dostrel_response* handle() const {
        return handle_;
    }

  private:
    dostrel_response* handle_;
    bool owned_;
    int exceptions_;
};

inline response& operator<<(response& out, std::string_view text) {
    return out.write(text);
}
inline response& operator<<(response& out, const char* text) {
    return out.write(std::string_view(text));
}
inline response& operator<<(response& out, char c) {
    return out.write(&c, 1);
}
template <class Number,
          std::enable_if_t<std::is_integral_v<Number> && !std::is_same_v<Number, char> &&
                               !std::is_same_v<Number, bool>,
                           int> = 0>
response& operator<<(response& out, Number number) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, number);
    return out.write(text, static_cast<std::size_t>(result.ptr - text));
}
/// The shortest text that reads back as the same number, in any locale.
inline response& operator<<(response& out, double number) {
#if defined(__cpp_lib_to_chars) || (defined(__GLIBCXX__) && _GLIBCXX_RELEASE >= 11)
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, number);
    return out.write(text, static_cast<std::size_t>(result.ptr - text));
#else
    return out.printf("%.17g", number);
#endif
}

namespace detail {
template <class Handler> void call(dostrel_request* handle, dostrel_response* answer, void* data) {
    request in(handle);
    response out(answer);
    (*static_cast<Handler*>(data))(in, out);
}
} // namespace detail

/// A listening server of one's own: accept requests in a loop (on as many threads as wanted),
/// or serve with a handler as dostrel::serve does. Throws dostrel::error when it cannot listen.
class listener {
  public:
    explicit listener(const options& settings) : settings_(settings) {
        settings_.bind(&settings_);
        handle_ = dostrel_listen(&settings_);
        if (handle_ == nullptr) throw error(errno, "listening");
    }
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;
    ~listener() { dostrel_listener_close(handle_); }

    unsigned port() const { return dostrel_listener_port(handle_); }
    const char* address() const { return dostrel_listener_address(handle_); }
    /// The next request with its response, both owned; nullopt once the listener has stopped.
    std::optional<std::pair<request, response>> accept() {
        dostrel_request* in = nullptr;
        dostrel_response* out = nullptr;
        if (dostrel_accept(handle_, &in, &out) != 0) {
            if (errno == ESHUTDOWN) return std::nullopt;
            throw error(errno, "accepting a request");
        }
        return std::optional<std::pair<request, response>>(std::in_place, std::piecewise_construct,
                                                           std::forward_as_tuple(in, true),
                                                           std::forward_as_tuple(out, true));
    }
    /// Serves with |handler|(const request&, response&) until a stop. Throws dostrel::error.
    template <class Handler> void serve(Handler&& handler) {
        using Stored = std::remove_reference_t<Handler>;
        if (dostrel_serve_listener(handle_, detail::call<Stored>,
                                   const_cast<void*>(static_cast<const void*>(&handler))) != 0)
            throw error(errno, "serving");
    }
    /// A graceful stop of this listener; safe in a handler, another thread, a signal handler.
    void stop() { dostrel_listener_stop(handle_); }
    dostrel_listener* handle() const { return handle_; }

  private:
    options settings_; // the hooks' data: it lives as long as the listener
    dostrel_listener* handle_;
};

inline int options::choose(const dostrel_request* handle, void* data) {
    // The request is only looked at here, never read or freed.
    return static_cast<options*>(data)->stream_choice_(
               request(const_cast<dostrel_request*>(handle)))
               ? 1
               : 0;
}

/// Listens and serves with |handler| until SIGTERM or dostrel::stop(): dostrel_serve for a
/// lambda. Throws dostrel::error when it cannot start.
template <class Handler> void serve(const options& settings, Handler&& handler) {
    listener server(settings);
    server.serve(std::forward<Handler>(handler));
}

/// A graceful stop of every server in this process.
inline void stop() {
    dostrel_serve_stop();
}

} // namespace dostrel

#endif // DOSTREL_APPSERVER_HPP
