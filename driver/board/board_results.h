// Results of the board operations and the request status each one stands for.
#pragma once

#include "ntddk.h"

constexpr UCHAR VORN_SUCCESS = 0;
constexpr UCHAR VORN_BAD_ECHO = 1;  // a query's answer did not start with its echo
constexpr UCHAR VORN_NO_ANSWER = 2; // the board left the FIFO empty past the answer bound
constexpr UCHAR VORN_REFUSED = 3;   // a value lies outside the board's range; nothing was sent
constexpr UCHAR VORN_UNSETTLED = 4; // the board's time jumped while it was being read

// The status a request completes with for a board operation's result.
// IRQL: any.
inline NTSTATUS vornResultToStatus(UCHAR result) {
    switch (result) {
    case VORN_SUCCESS:
        return STATUS_SUCCESS;
    case VORN_NO_ANSWER:
        return STATUS_IO_TIMEOUT;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
