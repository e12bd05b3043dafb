/* The cheapest host the launcher benchmarks can start: run as
 * "<image> -m <host>", it stamps its start (start_stamp.h) and sleeps until
 * it is ended from outside. A host left behind by a benchmark that did not
 * finish ends by itself after two minutes. The host CUSTODEX_BENCH_CRASH
 * names ends at once, every time, with exit code 3. */

#include <string.h>

#include "start_stamp.h"

int main(int argc, char** argv) {
  const char* host = argc > 2 ? argv[2] : NULL;
  const char* crash = getenv("CUSTODEX_BENCH_CRASH");
  custodex_stamp_start(host);
  if (host && crash && strcmp(host, crash) == 0) return 3; /* a host that ends at once, every time */
#if defined(_WIN32)
  Sleep(120000);
#else
  alarm(120);
  for (;;) pause();
#endif
  return 0;
}
