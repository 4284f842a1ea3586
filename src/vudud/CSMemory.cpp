#include "CSMemory.h"

#include <cerrno>
#include <cstdlib>

#include "CSException.h"

// A zero-byte request is served as one byte so that a valid block is never mistaken for a failure.
void* cs_malloc(size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) CSException::throwOSError(CS_CONTEXT, ENOMEM);
    return block;
}

void* cs_calloc(size_t size) {
    void* block = std::calloc(1, size ? size : 1);
    if (!block) CSException::throwOSError(CS_CONTEXT, ENOMEM);
    return block;
}

void cs_realloc(void** ptr, size_t size) {
    void* block = std::realloc(*ptr, size ? size : 1);
    if (!block) CSException::throwOSError(CS_CONTEXT, ENOMEM);
    *ptr = block;
}

void cs_free(void* ptr) { std::free(ptr); }
