// PUT of a file in a space: replace, write at an offset or append, with optional MD5 check.
#include "ConnectionHandler_hvps.h"

void MSConnectionHandler::handlePut() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::handlePut");
}
