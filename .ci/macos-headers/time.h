// Stand-in: glibc's <time.h> and Darwin's clock that stops while the system
// sleeps.
#pragma once
#include_next <time.h>
#define CLOCK_UPTIME_RAW 8
