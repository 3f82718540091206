// Decoding of the board's BCD digits: one decimal digit per 4-bit group, most significant first.
#pragma once

#include "ntddk.h"

// The `groups` low 4-bit groups of `value` read as one decimal number. A group above 9 counts
// with its own value, as the board's digit latches would give it. IRQL: any.
inline ULONG vornBcdDigits(ULONG value, ULONG groups) {
    ULONG number = 0;
    for (ULONG i = groups; i > 0; --i)
        number = number * 10 + ((value >> (4 * (i - 1))) & 0x0F);
    return number;
}

// Two BCD digits of one byte (the low 8 bits of `value`). IRQL: any.
inline ULONG vornBcdByte(ULONG value) {
    return vornBcdDigits(value & 0xFF, 2);
}
