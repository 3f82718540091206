/* A program built against the installed library alone: opens VORNpci0 and prints its time. */
#include <stdio.h>
#include <vorn.h>
#include <vorn_sim.h>

int main(void) {
    BoardHandle board = NULL;
    uint8_t status = VORN_open(&board, "VORNpci0");
    if (status != VORN_OK) {
        fprintf(stderr, "VORN_open: %u\n", status);
        return 1;
    }
    TimeObj time = {0};
    status = VORN_getTime(board, &time);
    if (status != VORN_OK) {
        fprintf(stderr, "VORN_getTime: %u\n", status);
        VORN_close(board);
        return 1;
    }
    printf("model 0x%04x day %u %02u:%02u:%02u\n", board->modelCode, time.dayOfYear, time.hours,
           time.minutes, time.wholeSeconds);
    return VORN_close(board) == VORN_OK ? 0 : 1;
}
