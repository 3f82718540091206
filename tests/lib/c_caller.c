/* A caller written in C: the public header compiles as C with its layout checks, and the calls
 * link with C linkage. */
#include "vorn.h"

uint8_t cCallerOpenAndReadTime(const char* name, TimeObj* time) {
    BoardHandle handle = 0;
    uint8_t result = VORN_open(&handle, name);
    if (result != VORN_OK)
        return result;
    result = VORN_getTime(handle, time);
    VORN_close(handle);
    return result;
}
