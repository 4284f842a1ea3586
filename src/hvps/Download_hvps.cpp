// GET of a file in a space: the whole file or a window of it.
#include "ConnectionHandler_hvps.h"

void MSConnectionHandler::handleSpaceGet() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::handleSpaceGet");
}
