// Login, the session table and the access checks of the request handlers.
#include "ConnectionHandler_hvps.h"

void MSConnectionHandler::doLogin() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doLogin");
}

void MSConnectionHandler::verifySpace() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::verifySpace");
}

void MSConnectionHandler::verifySession() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::verifySession");
}
