#include "ConnectionHandler_hvps.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "CSLog.h"
#include "CSSocket.h"
#include "CSStream.h"
#include "CSSys.h"
#include "Network_hvps.h"
#include "Restore_hvps.h"
#include "config_hvps.h"
#include "hvps_version.h"

namespace {

constexpr const char* kVersion = HVPS_VERSION_TEXT;
constexpr size_t kMaxServerHeader = 149;
constexpr size_t kMaxPrefix = 42;

// Request arguments that stand in for a header of the same meaning; they win over the header.
struct HeaderArgument {
    const char* argument;
    const char* header;
};
constexpr HeaderArgument kHeaderArguments[] = {
    {"SeekPos", "Seek-Pos"},
    {"MaximumLength", "Maximum-Length"},
    {"P1RID", "P1RID"},
};

std::string platformName() {
#ifdef __APPLE__
    return "Apple Darwin";
#else
    struct utsname info;
    if (uname(&info) == 0 && info.sysname[0]) return info.sysname;
    return "Unknown";
#endif
}

// "/" + repository name + "/", cut to the buffer the name may fill; built anew in each call in
// memory the thread keeps.
const std::string& spacePathPrefix() {
    thread_local std::string prefix;
    prefix.assign("/").append(hvps_system_parameters.iRepositoryName).append("/");
    if (prefix.size() > kMaxPrefix - 1) prefix.resize(kMaxPrefix - 1);
    return prefix;
}

bool equalsIgnoreCase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

struct ReplyForm {
    int status;
    bool html;
};

ReplyForm replyFormFor(int code) {
    if (code == ENOENT || code == ENOTDIR) return {404, true};
    if (code >= HVPS_ERR_AES_BASE - 6 && code <= HVPS_ERR_AES_BASE - 1) return {200, false};
    if (code >= HVPS_ERR_XML_BASE - 2 && code <= HVPS_ERR_XML_BASE - 1) return {200, false};
    switch (code) {
        case 0:
            return {200, false};
        case HVPS_ERR_MD5_MISMATCH:
        case HVPS_ERR_BAD_UPLOAD:
            return {417, false};
        case HVPS_ERR_MD5_TIMEOUT:
            return {100, false};
        case CS_ERR_UNKNOWN_METHOD:
            return {405, false};
        case CS_ERR_BAD_HTTP_HEADER:
        case CS_ERR_POST_DATA_INCOMPLETE:
        case HVPS_ERR_BAD_REQUEST:
            return {400, false};
        case HVPS_ERR_SPACE_NOT_FOUND:
            return {404, false};
        case HVPS_ERR_NO_SPACE:
        case HVPS_ERR_ACCESS_DENIED:
            return {403, false};
        case HVPS_ERR_LENGTH_REQUIRED:
            return {411, false};
        case HVPS_ERR_SPACE_DISABLED:
        case HVPS_ERR_REPOSITORY_FULL:
        case HVPS_ERR_RECOVERY_REQUIRED:
            return {503, false};
        case HVPS_ERR_FILE_NOT_FOUND:
            return {404, true};
        default:
            return {500, false};
    }
}

}  // namespace

// --- Construction and the daemon cycle.

// A cycle that fails before it has a connection (accept fails, for example when the process is out of
// file descriptors) is retried after this pause, rather than never or at once in a tight loop.
MSConnectionHandler::MSConnectionHandler(CSThreadList* list) : CSDaemon(nullptr, kRetryWaitMs, list) {
    iLastUse = time(nullptr);
}

CSRef<MSConnectionHandler> MSConnectionHandler::newHandler(CSThreadList* list) {
    auto* handler = new (std::nothrow) MSConnectionHandler(list);
    if (!handler) CSException::throwOSError(CS_CONTEXT, ENOMEM);
    return CSRef<MSConnectionHandler>(handler);
}

MSConnectionHandler::~MSConnectionHandler() {
    iReplyPending = false;  // nobody is left to answer
    iOutputStream.reset();
    iInputStream.reset();
    if (iConnection) iConnection->close();
    iConnection.reset();
    dropPath();
    MSNetwork::decrementHandlerCount(this);
}

bool MSConnectionHandler::doWork() {
    if (!openStream()) {
        setMustQuit(true);
        return false;
    }
    bool keep = false;
    try {
        keep = serviceConnection();
    } catch (const CSException& e) {
        iException = e;
        if (hvps_system_parameters.iVerbose) e.log(this);
    } catch (const std::exception& e) {
        iException = CSException(CS_CONTEXT, CS_ERR_GENERIC_ERROR, e.what());
        if (hvps_system_parameters.iVerbose) iException.log(this);
    }
    if (keep && !mustQuit()) {
        parkConnection();
    } else {
        close();
    }
    return false;
}

bool MSConnectionHandler::handleException(const CSException& e) {
    if (!mustQuit() && e.getErrorCode() != HVPS_ERR_FILE_NOT_FOUND) e.log(this);
    iException = e;
    close();
    return !MSNetwork::isShuttingDown();
}

void* MSConnectionHandler::completeWork() {
    iReplyPending = false;
    close();
    MSNetwork::connectionHandlerDied(this);
    return nullptr;
}

bool MSConnectionHandler::openStream() {
    CSRef<MSConnection> connection = MSNetwork::openConnection(this);
    if (!connection) return false;
    borrow(std::move(connection));
    return true;
}

void MSConnectionHandler::parkConnection() {
    iInputStream.reset();
    iOutputStream.reset();
    dropPath();
    MSNetwork::parkConnection(std::move(iConnection));
}

void MSConnectionHandler::borrow(CSRef<MSConnection> connection) {
    iConnection = std::move(connection);
    iInputStream = CSRef<CSHTTPInputStream>::retained(iConnection->input());
    iOutputStream = CSRef<CSHTTPOutputStream>::retained(iConnection->output());
}

void MSConnectionHandler::sendTimeoutReply(MSConnection* connection) {
    CSSocket* socket = connection->socket();
    auto reply = CSMemoryOutputStream::newStream(512, 512);
    CSRef<CSHTTPOutputStream> saved = std::exchange(iOutputStream, CSHTTPOutputStream::newStream(reply));
    dropPath();
    iException = socket->receiveTimeout();
    if (hvps_system_parameters.iVerbose) iException.log(this);
    try {
        writeException();
    } catch (const CSException& e) {
        e.log(this);
    }
    iOutputStream = std::move(saved);
    socket->writeNow(reply->getMemory(), reply->getSize());
}

// --- The request loop.

bool MSConnectionHandler::serviceConnection() {
    const bool trace = hvps_system_parameters.iTraceOn;
    if (trace) CSL.log(this, CSLog::Protocol, "serviceConnection() start\n");
    bool keep = false;
    int lingered = 0;
    try {
        for (;;) {
            iReplyPending = true;
            iCloseAfterReply = false;
            iInputStream->readHead(trace);
            const char* method = iInputStream->getMethod();
            if (!method) break;
            if (trace) CSL.logf(this, CSLog::Protocol, "Method: %s\n", method);
            checkFraming();
            iCloseAfterReply = wantsClose();

            if (strcmp(method, "GET") == 0)
                handleGet();
            else if (strcmp(method, "PUT") == 0)
                handlePut();
            else if (strcmp(method, "POST") == 0)
                handlePost();
            else
                CSException::throwCoreError(CS_CONTEXT, CS_ERR_UNKNOWN_METHOD, method);

            if (iReplyPending) {
                iReplyPending = false;
                iOutputStream->writeHead(trace);
                iOutputStream->writeBody();
                iOutputStream->flush();
            }
            if (iCloseAfterReply || !iConnection) break;
            // A next request that is already there (pipelined, or sent right behind the reply) is
            // served at once; one that has not arrived is waited for without this thread.
            // While lingering with an empty buffer, the wait comes first: it returns at once when the
            // next request is already in the socket, so no read is spent on finding nothing.
            const bool linger = iConnection->socket() && ++lingered <= kLingerRequests;
            MSConnection::Head next = MSConnection::Head::Partial;
            if (!linger || iConnection->hasBufferedInput()) next = iConnection->gatherHead();
            if (linger && next == MSConnection::Head::Partial) {
                // A parked client whose request is already there goes first: serving it costs no
                // sleep, and this connection is parked meanwhile, to be woken when its request comes.
                if (CSRef<MSConnection> ready = mustQuit() ? nullptr : MSNetwork::takeReadyParked()) {
                    parkConnection();
                    borrow(std::move(ready));
                    setLastUse(time(nullptr));
                    lingered = 0;
                    continue;
                }
                iConnection->socket()->waitReadable(kLingerMs);
                next = iConnection->gatherHead();
            }
            if (next == MSConnection::Head::Ready) continue;
            keep = next == MSConnection::Head::Partial;
            break;
        }
    } catch (...) {
        if (trace) CSL.log(this, CSLog::Protocol, "serviceConnection() exception\n");
        throw;
    }
    iReplyPending = false;
    if (trace) CSL.log(this, CSLog::Protocol, "serviceConnection() end\n");
    return keep;
}

void MSConnectionHandler::checkFraming() {
    const CSHTTPInputStream& in = *iInputStream;
    const char* length = nullptr;
    const char* coding = nullptr;
    for (uint32 i = 0; i < in.numHeaders(); i++) {
        const CSHeader* header = in.getHeader(i);
        const char* value = header->getValueCString();
        if (header->hasName("Transfer-Encoding")) {
            coding = value ? value : "";
        } else if (header->hasName("Content-Length")) {
            const char* text = value ? value : "";
            if (!*text || strspn(text, "0123456789") != strlen(text))
                CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad Content-Length value: %s",
                                             text);
            if (length && strcmp(length, text) != 0)
                CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST,
                                             "Conflicting Content-Length values: %s and %s", length, text);
            length = text;
        }
    }
    if (coding && length)
        CSException::throwException(CS_CONTEXT, HVPS_ERR_BAD_REQUEST,
                                    "Content-Length with Transfer-Encoding");
    if (coding)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_LENGTH_REQUIRED,
                                     "Transfer-Encoding not supported: %s", coding);
}

bool MSConnectionHandler::wantsClose() const {
    const CSHTTPInputStream& in = *iInputStream;
    if (in.connectionHas("close")) return true;
    const char* version = in.getHTTPVersion();
    return version && strcasecmp(version, "HTTP/1.0") == 0 && !in.connectionHas("keep-alive");
}

const char* MSConnectionHandler::serverHeader() {
    static const std::string value = [] {
        std::string text = std::string("HVPS/") + kVersion + " (" + platformName() + ")";
        if (text.size() > kMaxServerHeader) text.resize(kMaxServerHeader);
        return text;
    }();
    return value.c_str();
}

void MSConnectionHandler::resetOutput(bool keepAlive) {
    iOutputStream->resetMessage();
    iOutputStream->addHeader("Server", serverHeader());
    iOutputStream->addHeader("Content-Type", "text/html");
    iOutputStream->addHeader("Connection", keepAlive && !iCloseAfterReply ? "Keep-Alive" : "close");
}

// --- Request paths.

void MSConnectionHandler::dropPath() {
    iResourcePath.clear();
    iHasResourcePath = false;
    iSpaceID = 0;
    iSpace.reset();
    iInSpaceURL = false;
    iBadSpaceID = false;
}

bool MSConnectionHandler::parseRequestURI(bool linksRefusedAtOpen) {
    dropPath();
    parseURL(iInputStream->getRequestURI());
    const char* path = iResourcePath.c_str();
    size_t length = strlen(path);
    if (length > kMaxResourcePath) {
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                     "Requested file path too long (%d characters > %d)",
                                     static_cast<int>(length), static_cast<int>(kMaxResourcePath));
    }
    // A space id that is not exactly the decimal id would reach another directory than the
    // space's own (for example "5-TO_DELETE" while a session holds space 5).
    if (iBadSpaceID || strstr(path, ".."))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Illegal path: %s", path);
    // A link that someone placed inside a space folder would let downloads and uploads reach
    // files outside the repository: paths through links are refused.
    if (iInSpaceURL && !linksRefusedAtOpen &&
        CSSys::sys_hasLinkBelow(hvps_system_parameters.iRepositoryPath.c_str(), path))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Illegal path: %s", path);
    return iInSpaceURL;
}

void MSConnectionHandler::setPath(char* path) {
    const std::string& prefix = spacePathPrefix();
    std::string_view rest(path ? path : "");
    if (rest.starts_with(prefix)) {
        iInSpaceURL = true;
        rest.remove_prefix(prefix.size());
        std::string_view segment = rest.substr(0, rest.find('/'));
        uint32 id = 0;  // no id at all is reported by the access checks
        if (!segment.empty() && !parseSpaceID(segment, &id)) {
            iBadSpaceID = true;
        } else if (id != 0) {
            iSpaceID = id;
            iSpace = findSpace(id);
        }
    } else {
        iInSpaceURL = false;
    }
    if (rest.starts_with('/')) rest.remove_prefix(1);
    iResourcePath.assign(rest);
    iHasResourcePath = true;
}

void MSConnectionHandler::setArg(char* name, char* value) {
    if (!name || !value) return;
    for (const HeaderArgument& arg : kHeaderArguments) {
        if (equalsIgnoreCase(name, arg.argument)) {
            iInputStream->removeHeader(arg.header);
            iInputStream->addHeader(arg.header, value);
            return;
        }
    }
}

// --- GET outside the spaces.

void MSConnectionHandler::handleGet() {
    clearLastError();
    resetOutput(true);
    // A download's open refuses links itself.
    if (parseRequestURI(true)) {
        handleSpaceGet();
        return;
    }
    const char* path = iResourcePath.c_str();
    if (equalsIgnoreCase(path, "ping.xml")) {
        prepareResponse(false, 200, 0, "Ping OK");
        return;
    }
    CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Invalid URL: %s", path);
}

// --- Replies.

std::string MSConnectionHandler::escapeMarkup(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; p++) {
        switch (*p) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += *p;
        }
    }
    return out;
}

uint32 MSConnectionHandler::replyStatusWord() const {
    return (iSpaceID != 0 && iSpace) ? iSpace->getStatus() : 0;
}

void MSConnectionHandler::appendHTMLPage(int status, const char* message) {
    const char* reason = CSHTTPOutputStream::getReasonPhrase(status);
    CSHTTPOutputStream& out = *iOutputStream;
    out.appendBody("<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">");
    out.appendBody("<html><head>");
    out.appendBody("<title>");
    out.appendBody(status);
    out.appendBody(" ");
    out.appendBody(reason);
    out.appendBody("</title>");
    out.appendBody("</head><body>");
    out.appendBody("<h1>");
    out.appendBody(reason);
    out.appendBody("</h1>");
    out.appendBody("<p>");
    out.appendBody(escapeMarkup(message).c_str());
    out.appendBody("</p>");
    out.appendBody("</body></html>");
}

void MSConnectionHandler::appendXMLStart(int status) {
    CSHTTPOutputStream& out = *iOutputStream;
    out.appendBody("<?xml version='1.0' encoding='UTF-8' ?>");
    out.appendBody("<halvora>");
    out.appendBody("<httpstatus>");
    out.appendBody(status);
    out.appendBody(" ");
    out.appendBody(CSHTTPOutputStream::getReasonPhrase(status));
    out.appendBody("</httpstatus>");
}

void MSConnectionHandler::prepareResponse(bool html, int status, int intResult, const char* message) {
    CSHTTPOutputStream& out = *iOutputStream;
    out.clearBody();
    out.setStatus(status);
    if (html) {
        appendHTMLPage(status, message);
        return;
    }
    appendXMLStart(status);
    if (iSpaceID != 0 && iSpace) {
        out.appendBody("<status>");
        out.appendBody(static_cast<int>(iSpace->getStatus()));
        out.appendBody("</status>");
    }
    out.appendBody("<intresult>");
    out.appendBody(intResult);
    out.appendBody("</intresult>");
    out.appendBody("<message>");
    out.appendBody(escapeMarkup(message).c_str());
    out.appendBody("</message>");
    out.appendBody("</halvora>");
}

void MSConnectionHandler::writeException() {
    const int code = iException.getErrorCode();
    const ReplyForm form = replyFormFor(code);
    uint32 statusWord = replyStatusWord();
    if (code == ENOENT || code == ENOTDIR)
        statusWord = 0;
    else if (code == HVPS_ERR_SPACE_NOT_FOUND)
        statusWord = 4;
    else if (code == HVPS_ERR_REPOSITORY_FULL)
        statusWord |= 0x10;
    else if (code == HVPS_ERR_RECOVERY_REQUIRED)
        statusWord |= 0x200;

    CSHTTPOutputStream& out = *iOutputStream;
    if (form.status != 200 && form.status != 100) {
        // After an error the connection ends, whatever the request had set.
        out.clearHeaders();
        out.addHeader("Connection", "close");
    }
    out.clearBody();
    out.setStatus(form.status);

    if (form.html) {
        appendHTMLPage(form.status, iException.getMessage());
    } else {
        appendXMLStart(form.status);
        out.appendBody("<status>");
        out.appendBody(statusWord);
        out.appendBody("</status>");
        out.appendBody("<exception>");
        out.appendBody("<errorcode>");
        out.appendBody(code);
        out.appendBody("</errorcode>");
        out.appendBody("<message>");
        out.appendBody(escapeMarkup(iException.getMessage()).c_str());
        out.appendBody("</message>");
        out.appendBody("</exception>");
        if (code == HVPS_ERR_RECOVERY_REQUIRED) {
            if (iSpace) {
                try {
                    readSpaceRestoreState(iSpace.get());
                } catch (const CSException& e) {
                    // The reply still goes out, with what the space knows now.
                    e.log(this);
                }
            }
            out.appendBody("<restoreid>");
            out.appendBody(iSpace ? iSpace->getRestoreID() : uint64{0});
            out.appendBody("</restoreid>");
            out.appendBody("<lastlog>");
            out.appendBody(iSpace ? iSpace->getLastLog() : 0u);
            out.appendBody("</lastlog>");
            out.appendBody("<logoffset>");
            out.appendBody(iSpace ? iSpace->getLogOffset() : uint64{0});
            out.appendBody("</logoffset>");
        } else if (code == HVPS_ERR_MD5_TIMEOUT) {
            out.appendBody("<md5offset>");
            out.appendBody(iMD5Offset);
            out.appendBody("</md5offset>");
            out.appendBody("<filelength>");
            out.appendBody(iFileLength);
            out.appendBody("</filelength>");
        }
        out.appendBody("</halvora>");
    }

    const bool trace = hvps_system_parameters.iTraceOn;
    iReplyPending = false;
    out.writeHead(trace);
    out.writeBody();
    out.flush();
}

void MSConnectionHandler::closeStream() {
    if (iOutputStream) {
        if (iReplyPending) {
            try {
                writeException();
            } catch (const CSException& e) {
                e.log(this);
            }
            iReplyPending = false;
        }
        iOutputStream.reset();
    }
    iInputStream.reset();
    if (iConnection) iConnection->close();
    iConnection.reset();
}

void MSConnectionHandler::close() {
    closeStream();
    dropPath();
}
