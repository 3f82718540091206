// Pool allocation shared by the framework's objects: paged pool under the framework's own tag.
#pragma once

#include "ntddk.h"

// "DrFw" as it reads in a pool dump; the same value as the literal 'wFrD'.
constexpr ULONG DRVFW_POOL_TAG =
    (ULONG('w') << 24) | (ULONG('F') << 16) | (ULONG('r') << 8) | ULONG('D');

// Paged pool under DRVFW_POOL_TAG, zero-filled when asked; null when the pool refuses.
// PASSIVE_LEVEL or APC_LEVEL.
PVOID DrvFwAllocate(SIZE_T bytes, BOOLEAN zeroFill);
// Gives a block back; a null pointer is ignored.
VOID DrvFwFree(PVOID block);
