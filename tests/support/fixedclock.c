/* A clock that shows a chosen moment: preloaded into a program under test
 * (LD_PRELOAD), it answers time() with the seconds since the epoch given in
 * $FIXED_CLOCK, or passes the call on when the variable is not set. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

time_t time(time_t *out)
{
    const char *fixed = getenv("FIXED_CLOCK");
    time_t now;
    if (fixed != NULL && *fixed != '\0') {
        now = (time_t)strtoll(fixed, NULL, 10);
    } else {
        time_t (*real)(time_t *) = (time_t(*)(time_t *))dlsym(RTLD_NEXT, "time");
        now = real != NULL ? real(NULL) : (time_t)-1;
    }
    if (out != NULL)
        *out = now;
    return now;
}
