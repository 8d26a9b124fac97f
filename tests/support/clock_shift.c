/* Preloaded into the helper by the end-to-end tests: shifts the wall clock (CLOCK_REALTIME and
 * its coarse variant, gettimeofday, time) so that it starts at the instant given in
 * VARN_TEST_CLOCK_START (seconds since the epoch, UTC) and runs on at normal speed from there.
 * The monotonic and boot-time clocks are left alone: sd-event arms its timers on them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

static clock_gettime_fn real_clock_gettime;
static int64_t offset_ns;

__attribute__((constructor)) static void clock_shift_init(void) {
  void* symbol = dlsym(RTLD_NEXT, "clock_gettime");
  memcpy(&real_clock_gettime, &symbol, sizeof symbol);
  const char* start = getenv("VARN_TEST_CLOCK_START");
  if (start == NULL || real_clock_gettime == NULL) return;
  struct timespec now;
  real_clock_gettime(CLOCK_REALTIME, &now);
  offset_ns = (strtoll(start, NULL, 10) - (int64_t)now.tv_sec) * 1000000000LL - now.tv_nsec;
}

static void shift(struct timespec* ts) {
  int64_t ns = (int64_t)ts->tv_sec * 1000000000LL + ts->tv_nsec + offset_ns;
  ts->tv_sec = ns / 1000000000LL;
  ts->tv_nsec = ns % 1000000000LL;
  if (ts->tv_nsec < 0) {
    ts->tv_nsec += 1000000000LL;
    ts->tv_sec -= 1;
  }
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  if (real_clock_gettime == NULL) clock_shift_init();
  int r = real_clock_gettime(clock, ts);
  if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) shift(ts);
  return r;
}

int gettimeofday(struct timeval* tv, void* tz) {
  (void)tz;
  struct timespec ts;
  int r = clock_gettime(CLOCK_REALTIME, &ts);
  if (r == 0) {
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
  }
  return r;
}

time_t time(time_t* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != NULL) *out = ts.tv_sec;
  return ts.tv_sec;
}
