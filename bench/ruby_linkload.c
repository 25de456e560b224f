/* ruby_linkload.c -- a load generator that plays the gateway: CONNECTIONS threads each open a
   connection, send one fixed link request (GET /hello), read the answer to the close and check
   that it holds EXPECT, for SECONDS; prints the requests per second and the failures. It gives
   an application server's own rate over the link protocol, without a web server or a gateway.
   Usage: ruby_linkload PORT CONNECTIONS SECONDS EXPECT */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static char request[512];
static size_t requestLength;
static struct sockaddr_in server;
static const char* expect;
static atomic_int stop;
static atomic_long done, failed;

static void putNumber(uint32_t number) {
    uint32_t big = htonl(number);
    memcpy(request + requestLength, &big, 4);
    requestLength += 4;
}

static void putText(const char* text) {
    putNumber((uint32_t)strlen(text));
    memcpy(request + requestLength, text, strlen(text));
    requestLength += strlen(text);
}

static void buildRequest(void) {
    static const char* variables[][2] = {
        {"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", ""},
        {"PATH_INFO", "/hello"},          {"QUERY_STRING", ""},      {"SERVER_NAME", "localhost"},
        {"SERVER_PORT", "80"},            {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"REMOTE_ADDR", "127.0.0.1"}};
    size_t count = sizeof variables / sizeof variables[0];
    memcpy(request, "\x09\x23\x19\x63", 4);
    requestLength = 4;
    putNumber(1);
    putNumber(0);
    putNumber((uint32_t)count + 1);
    for (size_t i = 0; i < count; i++) {
        putText(variables[i][0]);
        putText(variables[i][1]);
    }
    putText("XBRENNOX_CONTENT_DATA");
    putText("");
}

/* One exchange; returns whether the answer was complete and right. */
static int exchange(void) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char answer[8192];
    size_t used = 0;
    int ok = connect(fd, (struct sockaddr*)&server, sizeof server) == 0 &&
             send(fd, request, requestLength, 0) == (ssize_t)requestLength;
    while (ok) {
        ssize_t got = recv(fd, answer + used, sizeof answer - 1 - used, 0);
        if (got < 0) ok = 0;
        if (got <= 0) break;
        used += (size_t)got;
        if (used == sizeof answer - 1) ok = 0;
    }
    close(fd);
    answer[used] = '\0';
    return ok && strstr(answer, expect) != NULL;
}

static void* client(void* unused) {
    (void)unused;
    while (!atomic_load(&stop)) {
        if (exchange())
            atomic_fetch_add(&done, 1);
        else
            atomic_fetch_add(&failed, 1);
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: ruby_linkload PORT CONNECTIONS SECONDS EXPECT\n");
        return 2;
    }
    int connections = atoi(argv[2]);
    double seconds = atof(argv[3]);
    expect = argv[4];
    server.sin_family = AF_INET;
    server.sin_port = htons((uint16_t)atoi(argv[1]));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connections < 1 || connections > 256 || seconds <= 0) return 2;
    buildRequest();
    pthread_t threads[256];
    for (int i = 0; i < connections; i++) pthread_create(&threads[i], NULL, client, NULL);
    struct timespec pause = {(time_t)seconds, (long)((seconds - (time_t)seconds) * 1e9)};
    nanosleep(&pause, NULL);
    atomic_store(&stop, 1);
    for (int i = 0; i < connections; i++) pthread_join(threads[i], NULL);
    printf("%.0f requests/s, %ld failed\n", (double)atomic_load(&done) / seconds,
           atomic_load(&failed));
    return atomic_load(&failed) != 0;
}
