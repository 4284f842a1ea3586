// Allocation helpers of the foundation library: like their C library namesakes, but a failure
// raises OS error ENOMEM (12) instead of returning null. Blocks are freed with cs_free.
#pragma once

#include "CSDefs.h"

void* cs_malloc(size_t size);
// Zero-filled block.
void* cs_calloc(size_t size);
// Resizes *ptr (which may be null) and stores the new address in *ptr; on failure *ptr is unchanged.
void cs_realloc(void** ptr, size_t size);
void cs_free(void* ptr);

// Kept for start-up and shutdown symmetry; there is nothing to set up.
inline void cs_init_memory() {}
inline void cs_exit_memory() {}
