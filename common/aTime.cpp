#include "aTime.h"

#include <errno.h>
#include <time.h>

uint32_t aTime_GetMSTicks(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

aErr aTime_MSSleep(uint32_t milliseconds) {
  if (milliseconds == 0) return aErrNone;
  struct timespec rest;
  rest.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  rest.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  // A signal cuts the sleep short; sleep on for what is left.
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
  return aErrNone;
}
