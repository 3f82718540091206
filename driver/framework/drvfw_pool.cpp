// Pool allocation shared by the framework's objects.
#include "drvfw_pool.h"

PVOID DrvFwAllocate(SIZE_T bytes, BOOLEAN zeroFill) {
    PVOID block = ExAllocatePoolWithTag(PagedPool, bytes, DRVFW_POOL_TAG);
    if (block != nullptr && zeroFill)
        RtlZeroMemory(block, bytes);
    return block;
}

VOID DrvFwFree(PVOID block) {
    if (block != nullptr)
        ExFreePool(block);
}
