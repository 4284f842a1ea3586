// MSConnectionHandler: one thread of the network pool. It borrows the next connection that has a
// request head to serve from MSNetwork, reads HTTP/1.1 requests from it as long as they are there,
// dispatches each by method and path, writes the reply, and then parks the connection (no request
// waits) or closes it (the client asked so, or an error ended it). Everything in a
// handler (streams, path, space reference, last exception) belongs to its own thread; the pool
// fields at the top are guarded by the locks MSNetwork names next to them.
// The method handlers are split over several files: this file's .cpp holds the connection loop,
// the path rules, the reply envelopes and GET for ping and invalid URLs; Session_hvps.cpp holds
// login and the access checks, Download_hvps.cpp GET of space files, Upload_hvps.cpp PUT and
// Commands_hvps.cpp POST.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

#include "CSDaemon.h"
#include "CSDefs.h"
#include "CSException.h"
#include "CSHTTPStream.h"
#include "CSObject.h"
#include "CSString.h"
#include "CSSys.h"
#include "CSURL.h"
#include "Connection_hvps.h"
#include "Space_hvps.h"

class CSThreadList;
struct HVPSRequestData;

// Error codes of the request protocol; writeException maps each to its HTTP status.
enum : int {
    HVPS_ERR_MD5_MISMATCH = -2,           // 417: digest of an upload differs
    HVPS_ERR_BAD_UPLOAD = -3,             // 417: bad or short upload body
    HVPS_ERR_MD5_TIMEOUT = -6,            // 100: MD5 check unfinished, with md5offset/filelength
    HVPS_ERR_SPACE_NOT_FOUND = -25010,    // 404: the space does not exist (status word 4)
    HVPS_ERR_NO_SPACE = -25011,           // 403: no space in the URL
    HVPS_ERR_ACCESS_DENIED = -25012,      // 403: access denied, bad or illegal path
    HVPS_ERR_SPACE_DISABLED = -25013,     // 503: space disabled or read-only
    HVPS_ERR_BAD_REQUEST = -25014,        // 400: bad request content
    HVPS_ERR_FILE_NOT_FOUND = -25015,     // 404 (HTML): file not found
    HVPS_ERR_REPOSITORY_FULL = -25016,    // 503: repository full (status bit 0x10)
    HVPS_ERR_LENGTH_REQUIRED = -25017,    // 411: a body framed otherwise than by one Content-Length
    HVPS_ERR_RECOVERY_REQUIRED = -25018,  // 503: client side recovery required (status bit 0x200)
    HVPS_ERR_AES_BASE = -25100,           // 200: -25100 minus the AES error number (-25101..-25106)
    HVPS_ERR_XML_BASE = -25200,           // 200: -25200 minus the parser error number (-25201, -25202)
};

// The longest resource path a request may name.
constexpr size_t kMaxResourcePath = 150;

class MSConnectionHandler : public CSDaemon, public CSURL {
public:
    // Pause before a handler tries again after an error outside a connection (a failed accept).
    static constexpr time_t kRetryWaitMs = 1000;
    // How long a handler waits on its connection for the next request before it parks it: a client
    // sending request after request is then served without the hand-over through the idle set.
    // After kLingerRequests requests served so, the connection is parked all the same, so that busy
    // clients take turns; a connection waiting meanwhile is delayed by at most kLingerMs per handler.
    static constexpr int kLingerMs = 2;
    static constexpr int kLingerRequests = 64;

    // A handler for the pool `list`, not started; its last-activity time is now.
    static CSRef<MSConnectionHandler> newHandler(CSThreadList* list);

    explicit MSConnectionHandler(CSThreadList* list);
    // Closes the connection and counts the handler off the pool.
    ~MSConnectionHandler() override;

    // --- Daemon cycle: serve the requests of one connection that are there, then park or close
    // it. Always false (ask for the next one at once); when no connection can be had, must-quit is
    // set first.
    bool doWork() override;
    // Logs the exception unless quitting or the code is -25015, closes the connection; false (end
    // the thread) only while the network is shutting down.
    bool handleException(const CSException& e) override;
    // Called after the last cycle: closes the connection and reports the handler's end to the pool.
    void* completeWork() override;

    // Borrows the next connection with a request to serve from MSNetwork. False when the pool
    // gives none (the handler is to end).
    bool openStream();
    // Serves `connection` from now on (its request reader and reply writer).
    void borrow(CSRef<MSConnection> connection);
    // Hands the borrowed connection back to the parked set, between requests.
    void parkConnection();
    // The request loop of one connection, as long as whole request heads are there. True when the
    // connection stays open for a later request; raises whatever ends it abnormally.
    bool serviceConnection();
    // Sends the receive time-out reply to a parked connection whose time has passed, without
    // waiting for a peer that does not read. Uses this handler's reply writer; call between requests.
    void sendTimeoutReply(MSConnection* connection);
    // Starts a new reply: no headers but Server, Content-Type and Connection, empty body, status 200.
    void resetOutput(bool keepAlive);
    // Parses the request URI into iResourcePath, iSpaceID, iSpace and the header overrides; raises
    // -25012 for a path too long or holding "..", or for a path through a link inside the
    // repository unless `linksRefusedAtOpen` (the caller's open refuses them). Returns iInSpaceURL.
    bool parseRequestURI(bool linksRefusedAtOpen = false);

    // CSURL callbacks.
    void setArg(char* name, char* value) override;
    void setProtocol(char*) override {}
    void setUser(char*) override {}
    void setPassword(char*) override {}
    void setHost(char*) override {}
    void setPort(char*) override {}
    void setPath(char* path) override;

    // Replaces the reply body by the HTML page or the status XML reply with `message` (escaped).
    void prepareResponse(bool html, int status, int intResult, const char* message);
    // Writes the error reply for iException (status, form and extras by its code) and flushes.
    void writeException();
    // Sends the error reply if one is pending, then releases the streams (and so the socket).
    void closeStream();
    // closeStream, then drops the path, the space id and the space.
    void close();

    // The exception the error reply reports. Request handlers clear it at their start.
    void clearLastError() { iException = CSException(); }
    void setLastException(const CSException& e) { iException = e; }
    const CSException& getLastException() const { return iException; }

    // --- Method handlers.
    // GET: ping.xml, a space file (handleSpaceGet) or the invalid-URL error.
    void handleGet();
    void handleSpaceGet();
    void handlePut();
    void handlePost();
    void doLogin();
    // Access checks: a space that may be read; a session that may write.
    void verifySpace();
    void verifySession();
    void doRemove();
    void doRename();
    void doDeleteSpace();
    void doXMLCommand(bool encrypted);
    void doCreateSpace(HVPSRequestData& request);
    void doGetSpaceStatistics(HVPSRequestData& request);
    void doPing();

    // The "Server" header value: "HVPS/1.0.044 (<platform>)".
    static const char* serverHeader();
    // `text` with "&", "<" and ">" replaced by their entities; other bytes unchanged.
    static std::string escapeMarkup(const char* text);

    // --- Pool fields (MSNetwork).
    bool isWaitingToListen() const { return iWaitingToListen; }
    time_t getLastUse() const { return iLastUse.load(); }
    void setLastUse(time_t t) { iLastUse = t; }

    bool iWaitingToListen = false;    // guarded by MSNetwork::gListenerLock
    std::atomic<time_t> iLastUse{0};  // last accepted connection (seconds since 1970)
    bool iCounted = false;            // guarded by the pool's CSThreadList::iLock

    // --- Per connection and request (this thread only).
    CSRef<MSConnection> iConnection;  // the connection borrowed, or none
    bool iCloseAfterReply = false;    // the request asked to end the connection after its reply
    bool iReplyPending = false;
    CSRef<CSHTTPInputStream> iInputStream;
    CSRef<CSHTTPOutputStream> iOutputStream;
    bool iInSpaceURL = false;
    // Relative to the repository data directory; empty when none, which resourcePath() tells
    // apart. Its memory is kept from one request to the next.
    std::string iResourcePath;
    bool iHasResourcePath = false;
    const char* resourcePath() const { return iHasResourcePath ? iResourcePath.c_str() : nullptr; }
    uint32 iSpaceID = 0;            // 0: no space id in the path
    CSRef<HVSpace> iSpace;          // the space for iSpaceID, retained, or none
    uint64 iMD5Offset = 0;          // MD5 progress reported with -6
    uint64 iFileLength = 0;         // expected file length reported with -6
    // The file a download sends and the text of its path, kept from one download to the next with
    // their memory; the file is open only while a download is sent.
    CSSysFile iDownloadFile;
    std::string iDownloadPath;

protected:
    CSException iException;

private:
    // The status word reported in replies: the space's, or 0.
    uint32 replyStatusWord() const;
    void appendHTMLPage(int status, const char* message);
    void appendXMLStart(int status);
    void dropPath();
    // Refuses message framing that could let a body be read as another request.
    void checkFraming();
    // The client asked to end the connection after this request.
    bool wantsClose() const;

    // The space-id segment of the last path was not exactly a decimal id.
    bool iBadSpaceID = false;
};
