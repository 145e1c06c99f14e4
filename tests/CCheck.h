/* The checks of the C test hosts: CHECK counts a condition as passed or
 * failed (naming the line of a failure on stderr), OK checks a status of 0,
 * and FINISH prints "N passed, N failed" and gives main's exit code. One
 * host per program: the counters are the program's own. */
#ifndef POWERQUALITY_TESTS_CCHECK_H
#define POWERQUALITY_TESTS_CCHECK_H

#include <stdio.h>

static int passed = 0, failed = 0;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (condition) {                                                            \
            ++passed;                                                               \
        } else {                                                                    \
            ++failed;                                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                           \
    } while (0)
#define OK(call) CHECK((call) == 0)
#define FINISH() (printf("%d passed, %d failed\n", passed, failed), failed == 0 ? 0 : 1)

#endif
