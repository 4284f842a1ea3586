#include "CSObject.h"

#include "CSException.h"

void CSObject::retain() {
    CSException::throwAssertion(CS_CONTEXT, "Non-referenced object cannot be referenced");
}

void CSObject::release() { delete this; }

CSObject* CSObject::getKey() { CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "getKey"); }

int CSObject::compareKey(CSObject*) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "compareKey");
}

uint32 CSObject::hashKey() { CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "hashKey"); }

CSObject* CSObject::getHashLink() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "getHashLink");
}

void CSObject::setHashLink(CSObject*) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "setHashLink");
}

CSObject* CSObject::getNextLink() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "getNextLink");
}

CSObject* CSObject::getPrevLink() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "getPrevLink");
}

void CSObject::setNextLink(CSObject*) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "setNextLink");
}

void CSObject::setPrevLink(CSObject*) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "setPrevLink");
}

void CSRefObject::retain() {
    if (iRefCount == 0) CSException::throwAssertion(CS_CONTEXT, "Freed object being retained.");
    iRefCount++;
}

void CSRefObject::release() {
    if (--iRefCount == 0) delete this;
}

void CSSharedRefObject::retain() { iRefCount.fetch_add(1, std::memory_order_relaxed); }

void CSSharedRefObject::release() {
    if (iRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}
