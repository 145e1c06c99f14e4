// The checks of the C test hosts: CHECK counts a condition as passed or
// failed (naming the line of a failure on stderr), OK checks a status of 0,
// and FINISH prints "N passed, N failed" and gives main's exit code. One
// host per program: the counters are the program's own.
#ifndef POWERQUALITY_TESTS_CCHECK_H
#define POWERQUALITY_TESTS_CCHECK_H

#include <stdio.h>

static int passed = 0, failed = 0;

static void check(int ok, const char* file, int line, const char* condition) {
    *(ok ? &passed : &failed) += 1;
    if (!ok) fprintf(stderr, "%s:%d: failed: %s\n", file, line, condition);
}
#define CHECK(condition) check((condition) != 0, __FILE__, __LINE__, #condition)
#define OK(call) CHECK((call) == 0)
#define FINISH() (printf("%d passed, %d failed\n", passed, failed), failed == 0 ? 0 : 1)

#endif
