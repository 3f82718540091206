// The library's stamped-time call as the adapter uses it, for a libvorn whose header does not
// declare it yet: weak, so that vornsync still links and says plainly that the call is missing.
#pragma once

#include "vorn.h"

#include <stdint.h>
#include <time.h>

extern "C" {

typedef struct StampedTimeObj {
    uint16_t year;
    uint16_t dayOfYear;
    uint32_t reserved;
    uint64_t microsOfDay;
    struct timespec before;
    struct timespec after;
} StampedTimeObj;

uint8_t VORN_getStampedTime(BoardHandle handle, StampedTimeObj* stamped) __attribute__((weak));
}
