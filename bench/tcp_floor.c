/* tcp_floor.c -- the floor for any gateway that forwards over TCP: a static C program that
   sends its environment as a link request in one send and copies the reply to standard output,
   with nothing else (no configuration, no lookups, no trace). Usage: tcp_floor PORT */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

extern char** environ;
static char request[65536];
static size_t used;

static void number(uint32_t value) {
    uint32_t big = htonl(value);
    memcpy(request + used, &big, 4);
    used += 4;
}

static void text(const char* bytes, size_t length) {
    number((uint32_t)length);
    memcpy(request + used, bytes, length);
    used += length;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    uint32_t count = 0;
    for (char** entry = environ; *entry != NULL; ++entry) ++count;
    number(0x09231963u);
    number(1);
    number(0);
    number(count + 1);
    for (char** entry = environ; *entry != NULL; ++entry) {
        char* equals = strchr(*entry, '=');
        text(*entry, (size_t)(equals - *entry));
        text(equals + 1, strlen(equals + 1));
    }
    text("XBRENNOX_CONTENT_DATA", 21);
    number(0);
    int connection = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in peer = {0};
    peer.sin_family = AF_INET;
    peer.sin_port = htons((uint16_t)atoi(argv[1]));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection, (struct sockaddr*)&peer, sizeof peer) != 0) return 1;
    int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (send(connection, request, used, 0) != (ssize_t)used) return 1;
    char block[8192];
    for (ssize_t got; (got = recv(connection, block, sizeof block, 0)) > 0;)
        if (write(1, block, (size_t)got) != got) return 1;
    return 0;
}
