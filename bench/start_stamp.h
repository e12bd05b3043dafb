/* The start stamp of a benchmark host: when CUSTODEX_BENCH_STARTS names a
 * file, a host appends "<host> <pid> <ns>\n" to it as it starts, with the
 * machine's monotonic clock in nanoseconds, so the restart benchmark can time
 * a restart from the old process's end to the new one's start. */

#ifndef CUSTODEX_BENCH_START_STAMP_H
#define CUSTODEX_BENCH_START_STAMP_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

static inline uint64_t custodex_monotonic_ns(void) {
#if defined(_WIN32)
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (uint64_t)((double)count.QuadPart * 1e9 / (double)frequency.QuadPart);
#else
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
#endif
}

/* One line in one write, appended: lines of many hosts never mix. */
static inline void custodex_stamp_start(const char* host) {
  const uint64_t now = custodex_monotonic_ns();
  const char* file = getenv("CUSTODEX_BENCH_STARTS");
  if (!file || !*file || !host) return;
#if defined(_WIN32)
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = (unsigned long)getpid();
#endif
  char line[512];
  const int length = snprintf(line, sizeof line, "%s %lu %llu\n", host, pid, (unsigned long long)now);
  FILE* out = fopen(file, "ab");
  if (!out) return;
  if (length > 0 && length < (int)sizeof line) fwrite(line, 1, (size_t)length, out);
  fclose(out);
}

#endif
