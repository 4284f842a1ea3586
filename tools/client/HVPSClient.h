// HVPSClient: a client of the HVPS protocol over one keep-alive HTTP/1.1 connection to a server.
// It logs in to one space at a time, follows the rolling challenge of the session (each reply's
// "P1NextCode"), uploads, appends log records, downloads and sends the space commands. Every
// request returns its reply as an HVPSReply, with the XML error reply already taken apart.
// An object is used by one thread at a time; a benchmark opens one client per connection. The
// reply and the buffers are reused from request to request, so a request allocates little.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CSDefs.h"
#include "CSHTTPStream.h"
#include "CSMd5.h"
#include "CSObject.h"
#include "CSSocket.h"

// Client-side errors (bad arguments, a reply that cannot be understood) are raised as CSException
// with this code; the server's own error codes arrive in HVPSReply::errorCode instead.
constexpr int HVPS_CLIENT_ERROR = -14008;

constexpr int HVPS_SPACE_KEY_LEN = 8;
constexpr const char* HVPS_PROTOCOL_VERSION = "1.0.044";
constexpr int HVPS_DEFAULT_PORT = 37655;

// The 16-byte AES key of the encrypted commands: the raw MD5 digest of the server password.
using HVPSServerKey = Md5Digest;

// The space URL handed out when a space is created: "hvp://<id>:<16 hex key>@<host>:<port>/<repo>/".
struct HVPSSpaceURL {
    uint32 spaceID = 0;
    unsigned char key[HVPS_SPACE_KEY_LEN] = {};
    std::string host;
    int port = 0;
    std::string repository;

    // Raises HVPS_CLIENT_ERROR with a message that names the faulty part when `text` is not of the
    // form above (ID 1 to 4294967295, exactly 16 hexadecimal digits, port 1 to 65535, a non-empty
    // repository name; the final "/" may be missing).
    static HVPSSpaceURL parse(std::string_view text);
    std::string format() const;
};

// One reply. Headers and body as received (the body of an encrypted command decrypted); the fields
// below them are read from an XML reply body when there is one, and stay 0 / empty otherwise.
struct HVPSReply {
    int status = 0;  // HTTP status; 0 before a reply was read
    CSHTTPHeaders headers;
    std::string body;

    bool isException = false;  // the body is an exception reply (<exception>)
    int errorCode = 0;         // <errorcode>
    std::string message;       // <message> of an exception or a status reply
    bool hasSpaceStatus = false;
    uint32 spaceStatus = 0;  // <status>
    uint64 md5Offset = 0;    // <md5offset>, with an MD5 check timeout (-6)
    uint64 fileLength = 0;   // <filelength>
    uint64 restoreID = 0;    // <restoreid>, <lastlog>, <logoffset>: client side recovery (-25018)
    uint32 lastLog = 0;
    uint64 logOffset = 0;

    // 2xx and not an exception reply.
    bool ok() const { return status >= 200 && status < 300 && !isException; }
    // The first header of that name (any case), or null.
    const char* header(const char* name) const { return headers.getHeaderCStringValue(name); }
    // A header read as an unsigned decimal; `fallback` when absent or not a number.
    uint64 headerNumber(const char* name, uint64 fallback = 0) const;
    // Fills the XML fields from `body`. Tolerates any text: the server does not escape messages,
    // so a message runs from the first "<message>" to the last "</message>".
    void parseBody();
    void clear();

private:
    // Resets the fields that parseBody fills.
    void clearParsed();
};

// Where a PUT places its body.
enum class HVPSPlacement {
    Replace,   // no "Seek-Pos": the file becomes the body
    AtOffset,  // "Seek-Pos" <offset>
    Append,    // "Seek-Pos" "EOF": log mode, a leading record's checksum is verified
};

struct HVPSPutOptions {
    HVPSPlacement placement = HVPSPlacement::Replace;
    uint64 offset = 0;               // for AtOffset
    std::string md5Check;            // "P1MD5Check": the MD5 hex of the whole resulting file; empty: none
    bool seekPosAsArgument = false;  // send the offset as the URL argument "SeekPos" instead
};

struct HVPSGetOptions {
    std::optional<uint64> seekPos;    // "Seek-Pos"
    std::optional<uint64> maxLength;  // "Maximum-Length"
    bool asArguments = false;         // send them as the URL arguments "SeekPos", "MaximumLength"
};

// One statistics entry of a GetSpaceStatistik reply.
struct HVPSSpaceStats {
    uint32 spaceID = 0;
    uint32 status = 0;     // <sstat>; 4: no such space
    int64 diskLimit = -1;  // <ddiscl>; -1: no limit
    uint64 diskUsage = 0;  // <ddiscu>
};

class HVPSClient {
public:
    using BodySink = std::function<void(const char* data, size_t len)>;

    HVPSClient(std::string host, int port);
    ~HVPSClient();
    HVPSClient(const HVPSClient&) = delete;
    HVPSClient& operator=(const HVPSClient&) = delete;

    // ---- Connection ----
    // Connects unless connected. Requests connect by themselves; the server closes the connection
    // after every error reply and the client follows it, connecting again for the next request.
    void connect();
    void disconnect();
    bool isConnected() const;
    // Receive timeout in milliseconds for every reply (0: none). Default 30000.
    void setTimeout(uint32 milliSeconds);
    // Largest reply body read into memory (a GET into a sink is not limited). Default 256 MiB.
    void setMaxBodyLength(uint64 length) { iMaxBodyLength = length; }
    // Called with the bytes done and the whole length while a request body is sent and while a
    // reply body goes into a sink; none by default (a body is then sent in one piece).
    using Progress = std::function<void(uint64 done, uint64 total)>;
    void setProgress(Progress progress) { iProgress = std::move(progress); }
    // Connections opened so far (a test can tell whether keep-alive held).
    uint32 connectionCount() const { return iConnectionCount; }

    // ---- Space and session ----
    // The space that login and the file operations address; drops the session.
    void setSpace(const HVPSSpaceURL& url);
    void setSpace(uint32 spaceID, const unsigned char key[HVPS_SPACE_KEY_LEN], std::string repository);
    const HVPSSpaceURL& space() const { return iSpace; }
    // "P1RID" sent with every space request when set; none by default.
    void setRestoreID(std::optional<uint64> restoreID) { iRestoreID = restoreID; }
    // When on (the default), a request that needs a session logs in first if the client has no
    // session or no longer knows its challenge (after an error reply that dropped "P1NextCode").
    void setAutoLogin(bool on) { iAutoLogin = on; }

    uint32 sessionID() const { return iSessionID; }
    // True while the challenge of the session is known.
    bool hasChallenge() const { return iHasChallenge; }
    // The current challenge as 16 upper-case hexadecimal digits ("" when unknown).
    std::string challengeHex() const;
    // The key code for the current challenge (32 upper-case hex digits).
    std::string currentKeyCode() const;

    // ---- Requests ----
    // Each returns the reply, which stays valid until the next request of this client.

    // GET /ping.xml.
    const HVPSReply& ping();
    // POST of the XML "ping" command, plain or encrypted with `key`.
    const HVPSReply& pingXML(const HVPSServerKey* key = nullptr);
    // Creates a space (the encrypted "newspace" command). On success *url (if given) holds the
    // space URL of the reply. Title and version must not contain '<', '>' or '&'.
    const HVPSReply& createSpace(const HVPSServerKey& key, std::string_view title, std::string_view version,
                                 HVPSSpaceURL* url = nullptr);
    // GetSpaceStatistik for a comma-separated list of space IDs, plain or encrypted. The entries
    // of a successful reply go to *stats (if given).
    const HVPSReply& stats(std::string_view idList, const HVPSServerKey* key = nullptr,
                           std::vector<HVPSSpaceStats>* stats = nullptr);
    // POST of any XML document, plain or encrypted with `key`.
    const HVPSReply& xmlCommand(std::string_view xml, const HVPSServerKey* key = nullptr);

    // LOGIN to the current space: a new session and its first challenge.
    const HVPSReply& login();
    // Uploads `len` bytes to `path` (a file path inside the space).
    const HVPSReply& put(std::string_view path, const void* data, size_t len,
                         const HVPSPutOptions& options = {});
    // Builds a log record around `recordBody` (see buildLogRecord) and appends it in log mode.
    const HVPSReply& appendRecord(std::string_view path, const void* recordBody, size_t len,
                                  std::string_view md5Check = {});
    // Downloads `path`; the body goes to the reply, or to `sink` when given (then only a 2xx body;
    // an error reply still lands in the reply).
    const HVPSReply& get(std::string_view path, const HVPSGetOptions& options = {},
                         const BodySink& sink = {});
    // "RENAME": renames the file within its directory.
    const HVPSReply& rename(std::string_view path, std::string_view newName);
    // "REMOVE": removes the file.
    const HVPSReply& remove(std::string_view path);
    // "DELETE": marks the whole space for deletion.
    const HVPSReply& deleteSpace();
    // put() with an MD5 check that the server may spread over several requests: while the reply
    // is the MD5 check timeout (-6), the same upload is sent again (the server continues the digest
    // where it stopped), at most `maxAttempts` times in all.
    const HVPSReply& putVerified(std::string_view path, const void* data, size_t len,
                                 const HVPSPutOptions& options, int maxAttempts = 100);

    // A request as given: `target` is the request URI, `headers` extra header lines, each
    // "Name: value\r\n". No session handling, no retry; the reply is parsed as usual.
    const HVPSReply& rawRequest(std::string_view method, std::string_view target, std::string_view headers,
                                const void* body, size_t len);

    // ---- Pure helpers ----
    // MD5 of the 8 bytes key[i] XOR challenge[i], a 0 result byte sent as 1; 32 upper-case hex
    // digits and a NUL into `out`.
    static void keyCode(const unsigned char key[HVPS_SPACE_KEY_LEN],
                        const unsigned char challenge[HVPS_SPACE_KEY_LEN], char out[CSMd5::kHexLen + 1]);
    // The server key of a plain password (its MD5 digest).
    static HVPSServerKey serverKeyFromPassword(std::string_view password);
    // The server key of 32 hex digits (the "server-password" value); false for any other text.
    static bool serverKeyFromHex(std::string_view hex, HVPSServerKey* key);
    // The 32 upper-case hex digits of the MD5 of `len` bytes.
    static std::string md5Hex(const void* data, size_t len);
    // A log record: the signature FA 01 AB 02, the 16-bit checksum of `body` (little-endian), the
    // length field len - 32 (little-endian), then `body`. A body shorter than 32 bytes or longer
    // than 2^32 + 31 bytes raises HVPS_CLIENT_ERROR. `out` is replaced.
    static void buildLogRecord(const void* body, size_t len, std::string& out);
    // Parses the entries of a GetSpaceStatistik reply body.
    static std::vector<HVPSSpaceStats> parseStats(std::string_view xml);
    // The <spaceurl> of a newspace reply body; raises HVPS_CLIENT_ERROR when there is none.
    static HVPSSpaceURL parseSpaceURLReply(std::string_view xml);

private:
    const HVPSReply& exchange(std::string_view method, std::string_view target, std::string_view headers,
                              const void* body, size_t len, const BodySink* sink, bool retry);
    void sendRequest(std::string_view method, std::string_view target, std::string_view headers,
                     const void* body, size_t len);
    bool readReply(const BodySink* sink);
    const HVPSReply& sessionPost(std::string_view path, std::string_view body);
    const HVPSReply& encryptedPost(std::string_view plain, const HVPSServerKey* key);
    void buildTarget(std::string_view path, bool trailingSlash);
    void buildSessionHeaders();
    void ensureSession();
    void takeChallenge(bool sentKeyCode);
    void requireSpace() const;

    std::string iHost;
    int iPort;
    uint32 iTimeout = 30000;
    uint64 iMaxBodyLength = 256ull << 20;
    uint32 iConnectionCount = 0;
    Progress iProgress;
    uint32 iRequestsOnConnection = 0;
    CSRef<CSSocket> iSocket;
    CSRef<CSHTTPInputStream> iIn;

    HVPSSpaceURL iSpace;
    bool iHasSpace = false;
    std::optional<uint64> iRestoreID;
    bool iAutoLogin = true;
    uint32 iSessionID = 0;
    bool iHasChallenge = false;
    unsigned char iChallenge[HVPS_SPACE_KEY_LEN] = {};

    HVPSReply iReply;
    // Reused request buffers.
    std::string iTarget;
    std::string iHeaders;
    std::string iRequest;
    std::string iScratch;
    std::string iRecord;
};
