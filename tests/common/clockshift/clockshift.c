/* A wall clock moved to a chosen moment, for one process and its children:
 * preloaded (LD_PRELOAD) into a program under test, it makes the program see
 * the real clock shifted so that it started at TESSAL_CLOCK_START (seconds
 * since 1970, UTC), and running on from there. Only the wall clock moves;
 * monotonic clocks are left alone.
 *
 * It exists for the tests of dates past January 2038 on 32-bit ARM:
 * libfaketime, which does the same in general, computes with a 32-bit time_t
 * itself on Debian's armhf and wraps at 2^31 seconds there.
 *
 * The 64-bit time calls (__clock_gettime64 and friends on a 32-bit target,
 * the plain names on a 64-bit one) get the shifted time. The old 32-bit calls
 * of a 32-bit target fail with EOVERFLOW once the shifted time no longer fits,
 * as the C library's do on a real clock past 2038: a program still on them
 * shows it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

/* No <time.h>: on a 64-bit-time build it renames these functions. Both ABIs'
 * structures start with the seconds, 64 bits wide in the new one. */
struct secs64_s {
    int64_t sec;
};
struct secs32_s {
    int32_t sec;
};

enum { CLOCK_REALTIME_ID = 0, CLOCK_REALTIME_COARSE_ID = 5, CLOCK_TAI_ID = 11 };

typedef int (*gettime_fn)(int, void*);
typedef int (*gettimeofday_fn)(void*, void*);

#if UINTPTR_MAX == 0xffffffffu
#define TIME32_ABI 1
#define NAME64(plain, wide) wide
#else
#define TIME32_ABI 0
#define NAME64(plain, wide) plain
#endif

static gettime_fn real_gettime64(void)
{
    static gettime_fn fn;
    if (!fn)
        fn = (gettime_fn)dlsym(RTLD_NEXT, NAME64("clock_gettime", "__clock_gettime64"));
    return fn;
}

static int64_t shift(void)
{
    static int known;
    static int64_t seconds;
    if (!known) {
        const char* start = getenv("TESSAL_CLOCK_START");
        struct {
            int64_t sec;
            int64_t nsec;
        } now = {0, 0};
        gettime_fn fn = real_gettime64();
        if (start && fn && fn(CLOCK_REALTIME_ID, &now) == 0)
            seconds = strtoll(start, NULL, 10) - now.sec;
        known = 1;
    }
    return seconds;
}

static int is_wall(int clock)
{
    return clock == CLOCK_REALTIME_ID || clock == CLOCK_REALTIME_COARSE_ID || clock == CLOCK_TAI_ID;
}

int NAME64(clock_gettime, __clock_gettime64)(int clock, struct secs64_s* ts)
{
    gettime_fn fn = real_gettime64();
    if (!fn) {
        errno = ENOSYS;
        return -1;
    }
    int rc = fn(clock, ts);
    if (rc == 0 && ts && is_wall(clock))
        ts->sec += shift();
    return rc;
}

int NAME64(gettimeofday, __gettimeofday64)(struct secs64_s* tv, void* tz)
{
    static gettimeofday_fn fn;
    if (!fn)
        fn = (gettimeofday_fn)dlsym(RTLD_NEXT, NAME64("gettimeofday", "__gettimeofday64"));
    if (!fn) {
        errno = ENOSYS;
        return -1;
    }
    int rc = fn(tv, tz);
    if (rc == 0 && tv)
        tv->sec += shift();
    return rc;
}

int64_t NAME64(time, __time64)(int64_t* out)
{
    struct {
        int64_t sec;
        int64_t nsec;
    } now;
    if (NAME64(clock_gettime, __clock_gettime64)(CLOCK_REALTIME_ID, (struct secs64_s*)&now) != 0)
        return -1;
    if (out)
        *out = now.sec;
    return now.sec;
}

#if TIME32_ABI
/* The old 32-bit calls: right while the shifted time fits, EOVERFLOW after. */
static int narrow(int64_t sec, struct secs32_s* out)
{
    if (sec > INT32_MAX || sec < INT32_MIN) {
        errno = EOVERFLOW;
        return -1;
    }
    out->sec = (int32_t)sec;
    return 0;
}

int clock_gettime(int clock, void* ts)
{
    struct {
        int64_t sec;
        int32_t nsec;
        int32_t pad;
    } wide;
    if (__clock_gettime64(clock, (struct secs64_s*)&wide) != 0)
        return -1;
    if (narrow(wide.sec, (struct secs32_s*)ts) != 0)
        return -1;
    ((int32_t*)ts)[1] = wide.nsec;
    return 0;
}

int gettimeofday(void* tv, void* tz)
{
    struct {
        int64_t sec;
        int32_t usec;
        int32_t pad;
    } wide;
    if (__gettimeofday64((struct secs64_s*)&wide, tz) != 0)
        return -1;
    if (!tv)
        return 0;
    if (narrow(wide.sec, (struct secs32_s*)tv) != 0)
        return -1;
    ((int32_t*)tv)[1] = wide.usec;
    return 0;
}

int32_t time(int32_t* out)
{
    int64_t wide = __time64(NULL);
    if (wide > INT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    if (out)
        *out = (int32_t)wide;
    return (int32_t)wide;
}
#endif
