/* appserver.h -- the dostrel application-server library: read link requests, write CGI
 * responses, serve with a pool of worker processes. A plain C interface for C, C++ and FFI. */
#ifndef DOSTREL_APPSERVER_H
#define DOSTREL_APPSERVER_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------------------------- */

/* The version of this header. The library's major version is its soname's (libdostrel_appserver
 * .so.1): within one major version a program built against an older header keeps working with a
 * newer library (functions and option fields are only ever added). */
#define DOSTREL_APPSERVER_VERSION_MAJOR 1
#define DOSTREL_APPSERVER_VERSION_MINOR 0
#define DOSTREL_APPSERVER_VERSION_PATCH 0
#define DOSTREL_APPSERVER_VERSION "1.0.0"

/* The version of the library actually loaded, "MAJOR.MINOR.PATCH". */
const char* dostrel_appserver_version(void);

/* The name of the last key of every request; its value is the request body. */
#define DOSTREL_CONTENT_KEY "XBRENNOX_CONTENT_DATA"

/* ---- Limits -------------------------------------------------------------------------------- */

/* What one request may take. Every length is checked the moment it is read, before the bytes it
 * announces; memory grows only with bytes that really arrived. */
typedef struct dostrel_limits {
    uint32_t max_keys;           /* the key count, content key included (10000) */
    uint64_t max_variable_bytes; /* names and values of the variables together (1 MiB) */
    uint64_t max_body_bytes;     /* the content key's value (1 GiB) */
    uint32_t read_timeout_ms;    /* for the whole request to arrive (30000); 0: no limit */
} dostrel_limits;

/* The defaults above. This structure keeps its 1.0 layout for the whole major version (it is
 * embedded in dostrel_server_options): later limits are added as server options. */
dostrel_limits dostrel_limits_default(void);

/* Why a request was refused; DOSTREL_OK when it was not. */
typedef enum dostrel_reason {
    DOSTREL_OK = 0,
    DOSTREL_BAD_COOKIE,          /* "bad-cookie" */
    DOSTREL_UNSUPPORTED_VERSION, /* "unsupported-version" */
    DOSTREL_TOO_MANY_KEYS,       /* "too-many-keys" */
    DOSTREL_MISSING_CONTENT_KEY, /* "missing-content-key" */
    DOSTREL_VARIABLES_TOO_LARGE, /* "variables-too-large" */
    DOSTREL_BODY_TOO_LARGE,      /* "body-too-large" */
    DOSTREL_TRUNCATED,           /* "truncated" */
    DOSTREL_TIMEOUT,             /* "timeout" */
    DOSTREL_NOT_ALLOWED,         /* "not-allowed" */
    DOSTREL_OUT_OF_MEMORY        /* "out-of-memory": this process, not the request, failed */
} dostrel_reason;

/* The reason's word as the logs and the shared test vectors spell it ("ok" for DOSTREL_OK). */
const char* dostrel_reason_word(dostrel_reason reason);

/* ---- Requests ------------------------------------------------------------------------------ */

/* A decoded request: its version, the variables in the order they came, and the body. */
typedef struct dostrel_request dostrel_request;

void dostrel_request_free(dostrel_request* request);
uint32_t dostrel_request_major(const dostrel_request* request);
uint32_t dostrel_request_minor(const dostrel_request* request);
/* The number of variables (the keys before the content key). */
size_t dostrel_request_count(const dostrel_request* request);
/* Name and value of variable |index| (< count). Values are bytes: |*length| (when |length| is
 * not NULL) is the size; a zero byte follows each for the convenience of C string functions. */
const char* dostrel_request_name(const dostrel_request* request, size_t index, size_t* length);
const char* dostrel_request_value(const dostrel_request* request, size_t index, size_t* length);
/* The value of the first variable named exactly |name|, or NULL. */
const char* dostrel_request_get(const dostrel_request* request, const char* name, size_t* length);
/* The body (never NULL; zero-terminated too). Empty for a request whose body is streamed (see
 * dostrel_request_read_body). */
const char* dostrel_request_body(const dostrel_request* request, size_t* length);
/* The body's length as the request announced it, streamed or not. */
uint64_t dostrel_request_content_length(const dostrel_request* request);
/* Reads the next piece of the body: up to |size| bytes into |buffer|, from the socket for a
 * streamed body (a server whose stream_body chose this request), from memory for a buffered one,
 * so that one loop serves both. Returns how many, 0 at the end of the body, or -1 with errno:
 * ETIMEDOUT when the request's read time limit ran out, ECONNRESET when the connection ended
 * before the body did (both logged as refusals, and the connection is reset after the
 * response), EBADF once the response has ended the connection. Each call moves the request's
 * read position; dostrel_request_body is not affected. */
long long dostrel_request_read_body(dostrel_request* request, void* buffer, size_t size);
/* The request as the gateway sent it: writes the bytes when |capacity| suffices and returns
 * how many there are (so a first call with capacity 0 gives the size). A streamed request is
 * encoded with the body it holds, an empty one. */
size_t dostrel_request_encode(const dostrel_request* request, void* out, size_t capacity);

/* ---- Decoding ------------------------------------------------------------------------------ */

typedef enum dostrel_decode_status {
    DOSTREL_NEED_MORE = 0, /* every byte taken; the request is not complete yet */
    DOSTREL_DONE = 1,      /* complete: take it with dostrel_decoder_take */
    DOSTREL_REFUSED = 2    /* refused: dostrel_decoder_reason says why */
} dostrel_decode_status;

/* A push decoder: bytes in as they come, in pieces of any size. */
typedef struct dostrel_decoder dostrel_decoder;

/* NULL |limits|: the defaults (read_timeout_ms plays no part here). NULL when out of memory. */
dostrel_decoder* dostrel_decoder_new(const dostrel_limits* limits);
void dostrel_decoder_free(dostrel_decoder* decoder);
/* Takes bytes up to the end of the request or the refusal, never beyond: |*consumed| (when not
 * NULL) tells how many were taken. After DONE or REFUSED it takes nothing more. */
dostrel_decode_status dostrel_decoder_feed(dostrel_decoder* decoder, const void* bytes, size_t size,
                                           size_t* consumed);
/* How many bytes the request certainly still has: reading this many never reads past its end.
 * At least 1 while more is needed, 0 after DONE or REFUSED. */
size_t dostrel_decoder_needed(const dostrel_decoder* decoder);
dostrel_reason dostrel_decoder_reason(const dostrel_decoder* decoder);
/* After DONE: the request, now the caller's (free it with dostrel_request_free); the decoder
 * starts over for a next request. NULL before DONE. */
dostrel_request* dostrel_decoder_take(dostrel_decoder* decoder);
/* The end of the stream (EOF or a failed read): a request not yet complete is truncated. */
void dostrel_decoder_end(dostrel_decoder* decoder);

/* One request from memory. On DOSTREL_OK |*request| is set (the caller frees it) and
 * |*consumed| (when not NULL) is the request's size; bytes after it are left alone. */
dostrel_reason dostrel_decode(const void* bytes, size_t size, const dostrel_limits* limits,
                              dostrel_request** request, size_t* consumed);

/* Reads one request from a connected descriptor (blocking or not) by its framing, never past
 * its last byte, within limits->read_timeout_ms from this call. On DOSTREL_OK |*request| is
 * set. On a refusal nothing has been written; close the connection. */
dostrel_reason dostrel_request_read(int fd, const dostrel_limits* limits,
                                    dostrel_request** request);

/* ---- Responses ----------------------------------------------------------------------------- */

/* A CGI response written to a connection: optional status, header lines (repeat a name to send
 * it twice), then the body in as many pieces as wanted. Small pieces are gathered in a fixed
 * buffer; large ones go straight through, so memory stays constant whatever the size. Every
 * function returns 0, or -1 with errno set: a call it cannot take (EINVAL, EALREADY) is refused
 * and the response goes on; a failed send ends it, and every later call fails the same way
 * (dostrel_response_error). */
typedef struct dostrel_response dostrel_response;

/* A response on |fd|; a send that makes no progress for |write_timeout_ms| (0: no limit)
 * fails with ETIMEDOUT. The descriptor stays the caller's. NULL when out of memory. */
dostrel_response* dostrel_response_new(int fd, unsigned write_timeout_ms);
/* Finishes the response (dostrel_response_finish) and frees it; returns what finishing did. */
int dostrel_response_free(dostrel_response* response);
/* "Status: CODE PHRASE" (NULL phrase: the usual one). Before the body only (EALREADY). */
int dostrel_response_status(dostrel_response* response, int code, const char* phrase);
/* "Name: value"; a name of token characters, a value without CR, LF or zero (EINVAL). */
int dostrel_response_header(dostrel_response* response, const char* name, const char* value);
/* Body bytes; the first call ends the header lines. */
int dostrel_response_write(dostrel_response* response, const void* data, size_t size);
/* Makes the program write its own CGI head as text, as CGI programs do: what dostrel_response_write
 * and _printf give is parsed as header lines ("Name: value", "Status: 404 Not Found"; LF or CRLF
 * line ends) up to the empty line, each under the checks of dostrel_response_status and
 * dostrel_response_header; the bytes after the empty line are the body. A line that fails them is
 * dropped and the write that carried it fails with EINVAL. Nonzero |enabled| turns the mode on,
 * 0 off; before the body only (EALREADY). A server's cgi_head option sets it for every response. */
int dostrel_response_cgi_head(dostrel_response* response, int enabled);
/* Body text, printf-style. */
int dostrel_response_printf(dostrel_response* response, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
/* The same with the arguments in a va_list (for wrappers that forward theirs). */
int dostrel_response_vprintf(dostrel_response* response, const char* format, va_list arguments)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 0)))
#endif
    ;
/* Sends what is gathered now (ending the header lines if the body has not begun); writing goes
 * on. For progress output and Server-Sent Events. */
int dostrel_response_flush(dostrel_response* response);
/* Sends what is gathered and ends the response. A response given nothing at all becomes a 500
 * answer. On a connection the server owns (a handler's, or one from dostrel_accept), the
 * connection ends here, in order: the gateway has the whole answer even if the handler goes on.
 * A response that was sent whole from the gathering buffer, with no Content-Length of the
 * application's, is declared with its length there (not for HEAD, 1xx, 204 or 304). */
int dostrel_response_finish(dostrel_response* response);
/* Ends a response that cannot be completed: on a connection the server owns, the connection is
 * reset, so the gateway reports the answer as cut instead of passing it for complete. Later
 * calls fail with ECONNABORTED. */
void dostrel_response_abort(dostrel_response* response);
/* 0, or the errno of the failed send: EPIPE or ECONNRESET when the peer went away, ETIMEDOUT
 * when it stopped reading. */
int dostrel_response_error(const dostrel_response* response);

/* ---- Serving ------------------------------------------------------------------------------- */

/* Called once per complete request, in a worker. The response is finished and the connection
 * closed when it returns. A C++ exception it throws is logged with its what(); the client gets a
 * 500 answer if nothing was sent yet, and a reset connection otherwise. */
typedef void (*dostrel_handler)(dostrel_request* request, dostrel_response* response,
                                void* user_data);
/* Receives each log line, without a line end. */
typedef void (*dostrel_log_function)(void* log_data, const char* line);

/* The options carry their size, which dostrel_server_options_default sets: a program built
 * against an older header passes its smaller structure, and the fields it does not know keep
 * their defaults. Always start from dostrel_server_options_default; new fields are only ever
 * added at the end. */
typedef struct dostrel_server_options {
    size_t size;               /* sizeof(dostrel_server_options), set by the _default function */
    const char* host;          /* numeric address to bind ("127.0.0.1") */
    unsigned port;             /* 0: any free port */
    unsigned workers;          /* worker processes (processors online); 0: serve in the caller */
    dostrel_limits limits;     /* per request */
    const char* allow;         /* peers allowed: "ADDR[/BITS],..."; NULL or "": every peer */
    unsigned grace_ms;         /* after SIGTERM, time to finish what came in (30000) */
    unsigned write_timeout_ms; /* a response send making no progress this long fails (30000) */
    unsigned max_connections;  /* connections a process reads requests on at once (1024) */
    unsigned backlog;          /* the listen backlog (1024) */
    const char* name;          /* the log lines' prefix ("dostrel-appserver") */
    FILE* log_file;            /* where log lines go (NULL: standard error) */
    dostrel_log_function log;  /* when set: every log line goes here instead */
    void* log_data;
    /* The hooks below get |hook_data| when it is not NULL, else dostrel_serve's user_data. */
    void* hook_data;
    /* Called once the server accepts connections, with the bound address and port. */
    void (*on_listening)(const char* address, unsigned port, void* user_data);
    /* Called in each worker process after its start, before its first request (in the calling
     * process before serving when workers is 0), and as it ends. */
    void (*on_worker_start)(void* user_data);
    void (*on_worker_exit)(void* user_data);
    /* Called once a request's variables have arrived: nonzero streams this request's body (the
     * handler runs now and reads the body with dostrel_request_read_body), 0 buffers it whole
     * first. NULL: every body is buffered (the default, which keeps slow clients away from
     * handlers). dostrel_stream_every_body streams them all. Called outside the listener's
     * lock, so a slow choice holds up no other thread. |user_data|: see hook_data (NULL under
     * dostrel_accept without hook_data). */
    int (*stream_body)(const dostrel_request* request, void* user_data);
    /* A handler running longer than this (0: no limit) has its worker killed and replaced, and
     * its connection reset; needs worker processes (workers > 0). */
    unsigned handler_timeout_ms;
    /* Threads per worker (0 or 1: one request at a time); for handlers that wait on I/O. */
    unsigned threads;
    /* Nonzero: every response starts in the mode of dostrel_response_cgi_head, for programs that
     * write "Content-Type: text/html\r\n\r\n" themselves (0). */
    int cgi_head;
} dostrel_server_options;

/* A stream_body choice that streams every body. */
int dostrel_stream_every_body(const dostrel_request* request, void* user_data);

/* Fills |options| with the defaults above, its size included. */
void dostrel_server_options_default(dostrel_server_options* options);

/* Listens and serves until SIGTERM or dostrel_serve_stop (graceful: no new connections, but
 * what is in flight and what waits in the listen backlog is served, within grace_ms) or
 * SIGINT/SIGQUIT (at once). Returns 0 after a stop, -1 with errno when it could not start
 * (logged). dostrel_listen and dostrel_serve_listener in two calls. */
int dostrel_serve(const dostrel_server_options* options, dostrel_handler handler, void* user_data);
/* Asks every listener of this process for a graceful stop (dostrel_listener_stop on each): those
 * of dostrel_serve and loops of one's own on any number of threads alike, which return within a
 * poll's wake-up. Safe in a handler, another thread and a signal handler. In a worker process it
 * asks the arbiter, which stops every worker. */
void dostrel_serve_stop(void);

/* ---- A loop of one's own -------------------------------------------------------------------- */

/* A listening server: the socket, the options, and the connections whose requests are being
 * read. Several may exist in one process. */
typedef struct dostrel_listener dostrel_listener;

/* Binds and listens as |options| say (the options are copied). NULL with errno set when it
 * cannot (EINVAL for a bad option or allow-list or options not filled by
 * dostrel_server_options_default, else the failed call's errno; logged). */
dostrel_listener* dostrel_listen(const dostrel_server_options* options);
/* The bound numeric address and port. */
const char* dostrel_listener_address(const dostrel_listener* listener);
unsigned dostrel_listener_port(const dostrel_listener* listener);
/* Waits for the next complete request (or, for a body stream_body chose, its variables), reading
 * every connection side by side under the limits, allow-list and refusal logging of the options.
 * Returns 0 with |*request| and |*response| set, both the caller's: answer, then free both
 * (dostrel_response_free finishes and closes the connection). Returns -1 with errno: ESHUTDOWN
 * once the listener has stopped (see dostrel_listener_stop) and what was queued is served, or
 * the failed call's errno (ENOMEM). Safe to call from several threads at once. The response's
 * connection lingers 0 s until the response ends in order: a process that dies while answering
 * resets it, so the gateway reports the answer as cut. */
int dostrel_accept(dostrel_listener* listener, dostrel_request** request,
                   dostrel_response** response);
/* Serves on |listener| as dostrel_serve does (workers, threads, signals), until a stop. */
int dostrel_serve_listener(dostrel_listener* listener, dostrel_handler handler, void* user_data);
/* A graceful stop of this listener only: no new connections; what is queued is still served.
 * Safe in a handler, another thread and a signal handler. */
void dostrel_listener_stop(dostrel_listener* listener);
/* Closes the socket and every connection still being read, and frees the listener. */
void dostrel_listener_close(dostrel_listener* listener);

#ifdef __cplusplus
}
#endif

#endif /* DOSTREL_APPSERVER_H */
