/* floor.c -- the floor of the benchmark: a static CGI program that writes the same tiny
   response the other contenders relay, in one write, and exits. */
#include <unistd.h>

static const char response[] = "Content-type: application/octet-stream\nX-Appserver: bench\n\n"
                               "\x00\x07";

int main(void) { return write(1, response, sizeof response - 1) < 0; }
