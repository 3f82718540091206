/* Operator control of a simulated board through the library: strobe external events, lose or
 * regain the reference, set what the GPS receiver reports. These calls reach only a board of
 * the simulated machine behind the driver host; a real board has no such controls, and on one
 * they fail with VORN_ERR_NO_DEVICE. */
#pragma once

#include "vorn.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the GPS receiver of a simulated board reports, in the board's own digits. */
typedef struct VornGpsScenario {
    uint32_t altitudeDecimetres; /* 0 to 9,999,999 */
    uint16_t latitudeDegrees;    /* 0 to 359; 180 and above mean south (value - 180) */
    uint16_t longitudeDegrees;   /* 0 to 359; 180 and above mean west (value - 180) */
    uint32_t latitudeMinutes;    /* minutes of arc x 10,000, 0 to 599,999 */
    uint32_t longitudeMinutes;
    uint8_t satellites; /* 0 to 15 */
    uint8_t reserved[3];
} VornGpsScenario;

/* The simulated board behind `handle` is found by its model among the host's boards; with two
 * boards of the same model the host cannot tell which one the handle reaches, and the calls
 * return VORN_ERR_NO_DEVICE. Results: VORN_OK, VORN_ERR_HANDLE, VORN_ERR_ARGUMENT,
 * VORN_ERR_RANGE (a value the simulated board refuses), VORN_ERR_NO_DEVICE, VORN_ERR_HOST. */

/* `count` external events (1 to 1,000), all tagged at the same instant. */
VORN_API uint8_t VORN_simStrobe(BoardHandle handle, uint32_t count);
/* `count` external events (1 to 1,000,000) `intervalMicros` apart (1 to 60,000,000 us) on the
 * board's clock, the first at once; the call returns at once and the board strobes the rest
 * on its own. VORN_ERR_RANGE for a count or interval out of range. */
VORN_API uint8_t VORN_simStrobeEvery(BoardHandle handle, uint32_t count, uint32_t intervalMicros);
/* The reference signal is present (nonzero) or lost (0). */
VORN_API uint8_t VORN_simReference(BoardHandle handle, uint8_t present);
VORN_API uint8_t VORN_simGps(BoardHandle handle, const VornGpsScenario* scenario);
/* The simulated reference against this machine's clock, which the board shows (plus its
 * propagation correction) while it is in sync. Offset: the reference's time minus the system
 * time, in microseconds, from now on (-86,400,000,000 to 86,400,000,000), still growing at the
 * reference's rate. Rate: the reference runs `ppm` parts per million fast against this
 * machine's clock (negative: slow), -1000 to 1000, to the nearest 0.001 ppm; the offset
 * reached so far is kept, so the reference's time does not jump. VORN_ERR_RANGE for values out
 * of range or not finite. */
VORN_API uint8_t VORN_simReferenceOffset(BoardHandle handle, int64_t microseconds);
VORN_API uint8_t VORN_simReferenceRate(BoardHandle handle, double ppm);

#ifdef __cplusplus
} /* extern "C" */
#endif
