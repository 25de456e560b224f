/* answer_pattern.h -- the bytes that the sample server answers bytes=N with, for the
   benchmarks' own application servers, which must answer with the same bytes: byte i is
   (7i + i/251) mod 256, repeating after PERIOD bytes, so one period is filled once and sent
   piece by piece. */
#ifndef DOSTREL_BENCH_ANSWER_PATTERN_H
#define DOSTREL_BENCH_ANSWER_PATTERN_H

#include <stddef.h>

#define PERIOD (251 * 256)
static char pattern[PERIOD];

static void fill_pattern(void) {
    for (size_t i = 0; i < PERIOD; ++i)
        pattern[i] = (char)((i * 7 + i / 251) & 0xFF);
}

#endif
