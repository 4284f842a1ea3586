// POST: the plain space commands, the XML commands and their encrypted form.
#include "ConnectionHandler_hvps.h"

void MSConnectionHandler::handlePost() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::handlePost");
}

void MSConnectionHandler::doRemove() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doRemove");
}

void MSConnectionHandler::doRename() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doRename");
}

void MSConnectionHandler::doDeleteSpace() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doDeleteSpace");
}

void MSConnectionHandler::doXMLCommand(bool) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doXMLCommand");
}

void MSConnectionHandler::doCreateSpace(HVPSRequestData&) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doCreateSpace");
}

void MSConnectionHandler::doGetSpaceStatistics(HVPSRequestData&) {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED,
                                "MSConnectionHandler::doGetSpaceStatistics");
}

void MSConnectionHandler::doPing() {
    CSException::throwCoreError(CS_CONTEXT, CS_ERR_NOT_IMPLEMENTED, "MSConnectionHandler::doPing");
}
