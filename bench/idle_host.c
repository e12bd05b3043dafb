/* The cheapest host the launcher benchmarks can start: run as
 * "<image> -m <host>", it sleeps until it is ended from outside. A host left
 * behind by a benchmark that did not finish ends by itself after two minutes. */

#include <unistd.h>

int main(void) {
  alarm(120);
  for (;;) pause();
}
