#include "HVPSClient.h"

#include <strings.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CSAES.h"
#include "CSException.h"
#include "LogRecord_hvps.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;
constexpr size_t kProgressSlice = 256 * 1024;
constexpr const char* kXMLDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

[[noreturn]] void clientError(const char* func, const char* file, int line, const char* message) {
    CSException::throwException(func, file, line, HVPS_CLIENT_ERROR, message);
}

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Exactly 2 * len hexadecimal digits into `len` bytes.
bool parseHex(std::string_view text, unsigned char* out, size_t len) {
    if (text.size() != 2 * len) return false;
    for (size_t i = 0; i < len; i++) {
        int hi = hexValue(text[2 * i]);
        int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

void appendHex(std::string& out, const unsigned char* data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < len; i++) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
}

// The whole text as an unsigned decimal number; false for anything else (empty, signs, overflow).
template <class T>
bool parseUnsigned(std::string_view text, T* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

template <class T>
bool parseSigned(std::string_view text, T* value) {
    if (text.empty()) return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// The text between the first "<tag>" and the next "</tag>".
bool elementText(std::string_view xml, std::string_view tag, std::string_view* out) {
    char open[40];
    char close[41];
    snprintf(open, sizeof(open), "<%.*s>", static_cast<int>(tag.size()), tag.data());
    snprintf(close, sizeof(close), "</%.*s>", static_cast<int>(tag.size()), tag.data());
    size_t start = xml.find(open);
    if (start == std::string_view::npos) return false;
    start += strlen(open);
    size_t end = xml.find(close, start);
    if (end == std::string_view::npos) return false;
    *out = xml.substr(start, end - start);
    return true;
}

// Request paths travel unencoded (the server decodes nothing), so characters that would end or
// split the request URI are refused here rather than sent.
void checkPath(std::string_view path, const char* what) {
    for (char ch : path) {
        auto byte = static_cast<unsigned char>(ch);
        if (byte <= 0x20 || byte == 0x7F || ch == '?' || ch == '#') {
            char message[200];
            snprintf(message, sizeof(message), "%s contains a blank, a control character, '?' or '#': %.*s",
                     what, static_cast<int>(std::min<size_t>(path.size(), 120)), path.data());
            clientError(CS_CONTEXT, message);
        }
    }
}

// Texts put into an XML command unescaped (the server's parser knows no entities).
void checkXMLText(std::string_view text, const char* what) {
    if (text.find_first_of("<>&") != std::string_view::npos) {
        char message[120];
        snprintf(message, sizeof(message), "%s must not contain '<', '>' or '&'", what);
        clientError(CS_CONTEXT, message);
    }
}

void appendNumber(std::string& out, uint64 value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof(text), value);
    out.append(text, result.ptr);
}

}  // namespace

// ---- HVPSSpaceURL ----

HVPSSpaceURL HVPSSpaceURL::parse(std::string_view text) {
    auto fail = [&](const char* problem) {
        char message[300];
        snprintf(message, sizeof(message), "Invalid space URL (%s): %.*s", problem,
                 static_cast<int>(std::min<size_t>(text.size(), 200)), text.data());
        clientError(CS_CONTEXT, message);
    };
    HVPSSpaceURL url;
    std::string_view rest = text;
    if (rest.size() < 6 || strncasecmp(rest.data(), "hvp://", 6) != 0) fail("it must start with hvp://");
    rest.remove_prefix(6);

    size_t colon = rest.find(':');
    if (colon == std::string_view::npos || !parseUnsigned(rest.substr(0, colon), &url.spaceID) ||
        url.spaceID == 0)
        fail("the space ID must be a decimal number from 1 to 4294967295");
    rest.remove_prefix(colon + 1);

    size_t at = rest.find('@');
    if (at == std::string_view::npos || !parseHex(rest.substr(0, at), url.key, HVPS_SPACE_KEY_LEN))
        fail("the key must be 16 hexadecimal digits followed by '@'");
    rest.remove_prefix(at + 1);

    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) fail("no '/' after host and port");
    std::string_view hostPort = rest.substr(0, slash);
    size_t portColon = hostPort.rfind(':');
    if (portColon == std::string_view::npos || portColon == 0) fail("host and port must read host:port");
    uint32 port = 0;
    if (!parseUnsigned(hostPort.substr(portColon + 1), &port) || port == 0 || port > 65535)
        fail("the port must be a number from 1 to 65535");
    url.host = std::string(hostPort.substr(0, portColon));
    url.port = static_cast<int>(port);
    rest.remove_prefix(slash + 1);

    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.empty()) fail("no repository name");
    for (char ch : rest) {
        if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-')
            fail("the repository name may hold only a-z, A-Z, 0-9, '_' and '-'");
    }
    url.repository = std::string(rest);
    return url;
}

std::string HVPSSpaceURL::format() const {
    std::string out = "hvp://";
    appendNumber(out, spaceID);
    out += ':';
    appendHex(out, key, HVPS_SPACE_KEY_LEN);
    out += '@';
    out += host;
    out += ':';
    appendNumber(out, static_cast<uint64>(port));
    out += '/';
    out += repository;
    out += '/';
    return out;
}

// ---- HVPSReply ----

uint64 HVPSReply::headerNumber(const char* name, uint64 fallback) const {
    const char* value = header(name);
    uint64 number = 0;
    return value && parseUnsigned(std::string_view(value), &number) ? number : fallback;
}

void HVPSReply::clearParsed() {
    isException = false;
    errorCode = 0;
    message.clear();
    hasSpaceStatus = false;
    spaceStatus = 0;
    md5Offset = fileLength = restoreID = logOffset = 0;
    lastLog = 0;
}

void HVPSReply::parseBody() {
    clearParsed();
    std::string_view text(body);
    if (text.starts_with("<!DOCTYPE") || text.starts_with("<html")) {
        // The HTML reply page: the message is the paragraph.
        size_t start = text.find("<p>");
        size_t end = text.rfind("</p>");
        if (start != std::string_view::npos && end != std::string_view::npos && end >= start + 3)
            message.assign(text.substr(start + 3, end - start - 3));
        return;
    }
    if (!text.starts_with("<?xml")) return;

    std::string_view value;
    isException = text.find("<exception>") != std::string_view::npos;
    if (elementText(text, "errorcode", &value)) parseSigned(value, &errorCode);
    size_t start = text.find("<message>");
    size_t end = text.rfind("</message>");
    if (start != std::string_view::npos && end != std::string_view::npos && end >= start + 9)
        message.assign(text.substr(start + 9, end - start - 9));
    if (elementText(text, "status", &value)) {
        // Status replies write the word signed, exception replies unsigned.
        int64 word = 0;
        if (parseSigned(value, &word)) {
            hasSpaceStatus = true;
            spaceStatus = static_cast<uint32>(word);
        }
    }
    if (elementText(text, "md5offset", &value)) parseUnsigned(value, &md5Offset);
    if (elementText(text, "filelength", &value)) parseUnsigned(value, &fileLength);
    if (elementText(text, "restoreid", &value)) parseUnsigned(value, &restoreID);
    if (elementText(text, "lastlog", &value)) parseUnsigned(value, &lastLog);
    if (elementText(text, "logoffset", &value)) parseUnsigned(value, &logOffset);
}

void HVPSReply::clear() {
    status = 0;
    headers.clearHeaders();
    body.clear();
    clearParsed();
}

// ---- HVPSClient: construction and connection ----

HVPSClient::HVPSClient(std::string host, int port) : iHost(std::move(host)), iPort(port) {}

HVPSClient::~HVPSClient() { disconnect(); }

void HVPSClient::connect() {
    if (isConnected()) return;
    disconnect();
    auto socket = CSSocket::newSocket();
    socket->setTimeout(iTimeout);
    socket->open(iHost.c_str(), iPort);
    socket->setNoDelay();
    iIn = CSHTTPInputStream::newStream(CSBufferedInputStream::newStream(socket->getInputStream()));
    iSocket = std::move(socket);
    iConnectionCount++;
    iRequestsOnConnection = 0;
}

void HVPSClient::disconnect() {
    iIn.reset();
    if (iSocket) iSocket->close();
    iSocket.reset();
    iRequestsOnConnection = 0;
}

bool HVPSClient::isConnected() const { return iSocket && iSocket->isOpen(); }

void HVPSClient::setTimeout(uint32 milliSeconds) {
    iTimeout = milliSeconds;
    if (iSocket) iSocket->setTimeout(milliSeconds);
}

// ---- Space and session ----

void HVPSClient::setSpace(const HVPSSpaceURL& url) {
    iSpace = url;
    iHasSpace = true;
    iSessionID = 0;
    iHasChallenge = false;
}

void HVPSClient::setSpace(uint32 spaceID, const unsigned char key[HVPS_SPACE_KEY_LEN],
                          std::string repository) {
    HVPSSpaceURL url;
    url.spaceID = spaceID;
    memcpy(url.key, key, HVPS_SPACE_KEY_LEN);
    url.host = iHost;
    url.port = iPort;
    url.repository = std::move(repository);
    setSpace(url);
}

std::string HVPSClient::challengeHex() const {
    std::string out;
    if (iHasChallenge) appendHex(out, iChallenge, HVPS_SPACE_KEY_LEN);
    return out;
}

std::string HVPSClient::currentKeyCode() const {
    char code[CSMd5::kHexLen + 1];
    keyCode(iSpace.key, iChallenge, code);
    return code;
}

void HVPSClient::requireSpace() const {
    if (!iHasSpace) clientError(CS_CONTEXT, "No space selected (a space URL is needed)");
}

void HVPSClient::ensureSession() {
    requireSpace();
    if (iHasChallenge) return;
    if (!iAutoLogin) clientError(CS_CONTEXT, "Not logged in: the session's challenge is not known");
    login();
}

void HVPSClient::takeChallenge(bool sentKeyCode) {
    const char* next = iReply.header("P1NextCode");
    if (next && parseHex(next, iChallenge, HVPS_SPACE_KEY_LEN)) {
        iHasChallenge = true;
    } else if (sentKeyCode) {
        // The server may have replaced the challenge without telling it (error replies other than
        // 200 and 100 drop the header): only a new login helps.
        iHasChallenge = false;
    }
}

void HVPSClient::buildTarget(std::string_view path, bool trailingSlash) {
    requireSpace();
    if (!path.empty() && path[0] == '/') path.remove_prefix(1);
    checkPath(path, "File path");
    iTarget.clear();
    iTarget += '/';
    iTarget += iSpace.repository;
    iTarget += '/';
    appendNumber(iTarget, iSpace.spaceID);
    if (trailingSlash || !path.empty()) iTarget += '/';
    iTarget += path;
}

void HVPSClient::buildSessionHeaders() {
    iHeaders.clear();
    iHeaders += "P1Session: ";
    appendNumber(iHeaders, iSessionID);
    iHeaders += "\r\nP1KeyCode: ";
    char code[CSMd5::kHexLen + 1];
    keyCode(iSpace.key, iChallenge, code);
    iHeaders += code;
    iHeaders += "\r\n";
    if (iRestoreID) {
        iHeaders += "P1RID: ";
        appendNumber(iHeaders, *iRestoreID);
        iHeaders += "\r\n";
    }
}

// ---- Request and reply ----

void HVPSClient::sendRequest(std::string_view method, std::string_view target, std::string_view headers,
                             const void* body, size_t len) {
    iRequest.clear();
    iRequest.append(method);
    iRequest += ' ';
    iRequest.append(target);
    iRequest += " HTTP/1.1\r\nHost: ";
    iRequest += iHost;
    iRequest += ':';
    appendNumber(iRequest, static_cast<uint64>(iPort));
    iRequest += "\r\nConnection: Keep-Alive\r\n";
    iRequest.append(headers);
    if (len > 0 || method != "GET") {
        iRequest += "Content-Length: ";
        appendNumber(iRequest, len);
        iRequest += "\r\n";
    }
    iRequest += "\r\n";
    // Small bodies go out with the head in one send.
    if (len > 0 && len <= kCopyBufferSize) {
        iRequest.append(static_cast<const char*>(body), len);
        len = 0;
    }
    iSocket->write(iRequest.data(), iRequest.size());
    if (len > 0 && !iProgress) iSocket->write(static_cast<const char*>(body), len);
    // With a progress report the body goes out in slices, each followed by a report.
    for (size_t sent = 0; len > 0 && iProgress && sent < len;) {
        size_t slice = std::min(len - sent, kProgressSlice);
        iSocket->write(static_cast<const char*>(body) + sent, slice);
        sent += slice;
        iProgress(sent, len);
    }
}

bool HVPSClient::readReply(const BodySink* sink) {
    iReply.clear();
    iIn->readHead(false);
    if (iIn->getMethod()) clientError(CS_CONTEXT, "The server sent a request line instead of a reply");
    if (iIn->getStatus() == 0) return false;
    iReply.status = iIn->getStatus();
    // A 1xx, 204 or 304 reply without Content-Length has no body (this server's 1xx replies with a
    // length carry one); every other reply must give its length.
    const bool mayOmitLength = iReply.status < 200 || iReply.status == 204 || iReply.status == 304;
    uint64 length = 0;
    if (!iIn->getContentLength(&length) && !mayOmitLength)
        clientError(CS_CONTEXT, "Reply without Content-Length");
    iReply.headers.setHeaders(iIn->takeHeaders());

    if (sink && *sink && iReply.status >= 200 && iReply.status < 300) {
        if (iScratch.size() < kCopyBufferSize) iScratch.resize(kCopyBufferSize);
        const uint64 total = length;
        while (length > 0) {
            size_t n =
                iIn->read(iScratch.data(), static_cast<size_t>(std::min<uint64>(length, kCopyBufferSize)));
            if (n == 0) CSException::throwEOFError(CS_CONTEXT, iSocket->identify());
            (*sink)(iScratch.data(), n);
            length -= n;
            if (iProgress) iProgress(total - length, total);
        }
        return true;
    }
    if (length > iMaxBodyLength) {
        char message[120];
        snprintf(message, sizeof(message), "Reply body too large: %" PRIu64 " bytes, at most %" PRIu64,
                 length, iMaxBodyLength);
        clientError(CS_CONTEXT, message);
    }
    iReply.body.resize(static_cast<size_t>(length));
    size_t done = 0;
    while (done < length) {
        size_t n = iIn->read(iReply.body.data() + done, static_cast<size_t>(length) - done);
        if (n == 0) CSException::throwEOFError(CS_CONTEXT, iSocket->identify());
        done += n;
    }
    return true;
}

const HVPSReply& HVPSClient::exchange(std::string_view method, std::string_view target,
                                      std::string_view headers, const void* body, size_t len,
                                      const BodySink* sink, bool retry) {
    for (int attempt = 0;; attempt++) {
        connect();
        // A kept-alive connection may have been closed by the server meanwhile (its receive
        // timeout): then the request was never read, and it is sent once more on a new connection.
        bool mayRetry = retry && attempt == 0 && iRequestsOnConnection > 0;
        bool gotHead = false;
        iReply.clear();
        try {
            sendRequest(method, target, headers, body, len);
            gotHead = readReply(sink);
        } catch (CSException&) {
            disconnect();
            if (mayRetry && iReply.status == 0) continue;
            throw;
        }
        if (!gotHead) {
            disconnect();
            if (mayRetry) continue;
            CSException::throwException(CS_CONTEXT, CS_ERR_EOF,
                                        "The server closed the connection without a reply");
        }
        iRequestsOnConnection++;
        bool streamed = sink && *sink && iReply.status >= 200 && iReply.status < 300;
        bool isDownload = method == "GET" && iReply.status == 200 && target.find("/ping.xml") != 0;
        if (!streamed && !isDownload) iReply.parseBody();
        if (mayRetry && iReply.errorCode == CS_ERR_RECEIVE_TIMEOUT) {
            // The error reply the server wrote when it gave up waiting on the idle connection.
            disconnect();
            continue;
        }
        // The server closes the connection after every error reply.
        if (iReply.isException || iReply.status < 200 || iReply.status >= 300) disconnect();
        return iReply;
    }
}

const HVPSReply& HVPSClient::rawRequest(std::string_view method, std::string_view target,
                                        std::string_view headers, const void* body, size_t len) {
    exchange(method, target, headers, body, len, nullptr, false);
    takeChallenge(false);
    return iReply;
}

// ---- Commands without a session ----

const HVPSReply& HVPSClient::ping() { return exchange("GET", "/ping.xml", {}, nullptr, 0, nullptr, true); }

const HVPSReply& HVPSClient::encryptedPost(std::string_view plain, const HVPSServerKey* key) {
    if (!key) return exchange("POST", "/", {}, plain.data(), plain.size(), nullptr, true);

    CSAESBuffer aes;
    iRecord.resize(static_cast<size_t>(CSAES::aes_encrypt_dest_len(static_cast<int>(plain.size()))));
    if (!aes.aes_encrypt_data(
            key->val, CSMd5::kDigestLen, reinterpret_cast<const unsigned char*>(plain.data()),
            static_cast<int>(plain.size()), reinterpret_cast<unsigned char*>(iRecord.data()),
            static_cast<int>(iRecord.size())))
        clientError(CS_CONTEXT, aes.getErrorText());
    iRecord.resize(static_cast<size_t>(aes.getOutputLength()));
    exchange("POST", "/", {}, iRecord.data(), iRecord.size(), nullptr, true);

    // A successful reply is encrypted; error replies come as plain XML.
    if (iReply.status == 200 && !iReply.body.empty() && !iReply.body.starts_with("<?xml")) {
        int capacity = CSAES::aes_decrypt_dest_len(static_cast<int>(iReply.body.size()));
        iRecord.resize(static_cast<size_t>(capacity));
        if (!aes.aes_decrypt_data(key->val, CSMd5::kDigestLen,
                                  reinterpret_cast<const unsigned char*>(iReply.body.data()),
                                  static_cast<int>(iReply.body.size()),
                                  reinterpret_cast<unsigned char*>(iRecord.data()), capacity)) {
            char message[200];
            snprintf(message, sizeof(message), "Cannot decrypt the reply: %s", aes.getErrorText());
            clientError(CS_CONTEXT, message);
        }
        iReply.body.assign(iRecord.data(), static_cast<size_t>(aes.getOutputLength()));
        iReply.parseBody();
    }
    return iReply;
}

const HVPSReply& HVPSClient::xmlCommand(std::string_view xml, const HVPSServerKey* key) {
    return encryptedPost(xml, key);
}

const HVPSReply& HVPSClient::pingXML(const HVPSServerKey* key) {
    iScratch = kXMLDeclaration;
    iScratch += "<halvora><command>ping</command></halvora>";
    std::string xml = std::move(iScratch);
    const HVPSReply& reply = encryptedPost(xml, key);
    iScratch = std::move(xml);
    return reply;
}

const HVPSReply& HVPSClient::createSpace(const HVPSServerKey& key, std::string_view title,
                                         std::string_view version, HVPSSpaceURL* url) {
    checkXMLText(title, "The space title");
    checkXMLText(version, "The space version");
    std::string xml = kXMLDeclaration;
    xml += "<halvora><command>newspace</command><space><title>";
    xml += title;
    xml += "</title><version>";
    xml += version;
    xml += "</version></space></halvora>";
    encryptedPost(xml, &key);
    if (iReply.ok() && url) *url = parseSpaceURLReply(iReply.body);
    return iReply;
}

const HVPSReply& HVPSClient::stats(std::string_view idList, const HVPSServerKey* key,
                                   std::vector<HVPSSpaceStats>* stats) {
    checkXMLText(idList, "The space list");
    std::string xml = kXMLDeclaration;
    xml += "<halvora><command>GetSpaceStatistik</command><space><list>";
    xml += idList;
    xml += "</list></space></halvora>";
    encryptedPost(xml, key);
    if (stats) {
        stats->clear();
        if (iReply.ok()) *stats = parseStats(iReply.body);
    }
    return iReply;
}

// ---- Space requests ----

const HVPSReply& HVPSClient::login() {
    buildTarget({}, true);
    iHeaders.clear();
    if (iRestoreID) {
        iHeaders += "P1RID: ";
        appendNumber(iHeaders, *iRestoreID);
        iHeaders += "\r\n";
    }
    iSessionID = 0;
    iHasChallenge = false;
    exchange("POST", iTarget, iHeaders, "LOGIN", 5, nullptr, true);
    if (!iReply.ok()) return iReply;
    uint32 session = 0;
    const char* sessionText = iReply.header("P1Session");
    if (!sessionText || !parseUnsigned(std::string_view(sessionText), &session) || session == 0)
        clientError(CS_CONTEXT, "Login reply without a valid P1Session header");
    takeChallenge(true);
    if (!iHasChallenge) clientError(CS_CONTEXT, "Login reply without a valid P1NextCode header");
    iSessionID = session;
    return iReply;
}

const HVPSReply& HVPSClient::sessionPost(std::string_view path, std::string_view body) {
    checkPath(path, "File path");
    ensureSession();
    if (!iHasChallenge) return iReply;  // the login failed: its reply tells why
    buildTarget(path, path.empty());
    buildSessionHeaders();
    exchange("POST", iTarget, iHeaders, body.data(), body.size(), nullptr, true);
    takeChallenge(true);
    return iReply;
}

const HVPSReply& HVPSClient::put(std::string_view path, const void* data, size_t len,
                                 const HVPSPutOptions& options) {
    if (path.empty()) clientError(CS_CONTEXT, "No file path to upload to");
    checkPath(path, "File path");
    if (!options.md5Check.empty()) checkPath(options.md5Check, "P1MD5Check");
    ensureSession();
    if (!iHasChallenge) return iReply;
    buildTarget(path, false);
    buildSessionHeaders();
    if (options.placement != HVPSPlacement::Replace) {
        std::string_view seekHeader = options.seekPosAsArgument ? "?SeekPos=" : "Seek-Pos: ";
        std::string& dest = options.seekPosAsArgument ? iTarget : iHeaders;
        dest += seekHeader;
        if (options.placement == HVPSPlacement::Append)
            dest += "EOF";
        else
            appendNumber(dest, options.offset);
        if (!options.seekPosAsArgument) dest += "\r\n";
    }
    if (!options.md5Check.empty()) {
        iHeaders += "P1MD5Check: ";
        iHeaders += options.md5Check;
        iHeaders += "\r\n";
    }
    exchange("PUT", iTarget, iHeaders, data, len, nullptr, true);
    takeChallenge(true);
    return iReply;
}

const HVPSReply& HVPSClient::putVerified(std::string_view path, const void* data, size_t len,
                                         const HVPSPutOptions& options, int maxAttempts) {
    for (int attempt = 1;; attempt++) {
        put(path, data, len, options);
        if (iReply.errorCode != -6 || attempt >= maxAttempts) return iReply;
    }
}

const HVPSReply& HVPSClient::appendRecord(std::string_view path, const void* recordBody, size_t len,
                                          std::string_view md5Check) {
    buildLogRecord(recordBody, len, iRecord);
    HVPSPutOptions options;
    options.placement = HVPSPlacement::Append;
    options.md5Check = std::string(md5Check);
    return put(path, iRecord.data(), iRecord.size(), options);
}

const HVPSReply& HVPSClient::get(std::string_view path, const HVPSGetOptions& options, const BodySink& sink) {
    buildTarget(path, false);
    iHeaders.clear();
    if (iRestoreID) {
        iHeaders += "P1RID: ";
        appendNumber(iHeaders, *iRestoreID);
        iHeaders += "\r\n";
    }
    char separator = '?';
    auto addValue = [&](const char* header, const char* argument, uint64 value) {
        if (options.asArguments) {
            iTarget += separator;
            separator = '&';
            iTarget += argument;
            iTarget += '=';
            appendNumber(iTarget, value);
        } else {
            iHeaders += header;
            iHeaders += ": ";
            appendNumber(iHeaders, value);
            iHeaders += "\r\n";
        }
    };
    if (options.seekPos) addValue("Seek-Pos", "SeekPos", *options.seekPos);
    if (options.maxLength) addValue("Maximum-Length", "MaximumLength", *options.maxLength);
    return exchange("GET", iTarget, iHeaders, nullptr, 0, sink ? &sink : nullptr, true);
}

const HVPSReply& HVPSClient::rename(std::string_view path, std::string_view newName) {
    if (newName.empty() || newName.find_first_of("\r\n") != std::string_view::npos || newName.size() > 1023)
        clientError(CS_CONTEXT, "The new name must be 1 to 1023 characters without line breaks");
    std::string body = "RENAME\r\n";
    body += newName;
    return sessionPost(path, body);
}

const HVPSReply& HVPSClient::remove(std::string_view path) { return sessionPost(path, "REMOVE"); }

const HVPSReply& HVPSClient::deleteSpace() { return sessionPost({}, "DELETE"); }

// ---- Pure helpers ----

void HVPSClient::keyCode(const unsigned char key[HVPS_SPACE_KEY_LEN],
                         const unsigned char challenge[HVPS_SPACE_KEY_LEN], char out[CSMd5::kHexLen + 1]) {
    unsigned char mixed[HVPS_SPACE_KEY_LEN];
    for (int i = 0; i < HVPS_SPACE_KEY_LEN; i++) {
        mixed[i] = key[i] ^ challenge[i];
        if (mixed[i] == 0) mixed[i] = 1;
    }
    CSMd5 md5;
    md5.md5_append(mixed, HVPS_SPACE_KEY_LEN);
    memcpy(out, md5.getDigestHex(), CSMd5::kHexLen + 1);
}

HVPSServerKey HVPSClient::serverKeyFromPassword(std::string_view password) {
    CSMd5 md5;
    md5.md5_append(reinterpret_cast<const unsigned char*>(password.data()),
                   static_cast<int>(password.size()));
    HVPSServerKey key;
    md5.getDigest(&key);
    return key;
}

bool HVPSClient::serverKeyFromHex(std::string_view hex, HVPSServerKey* key) {
    return parseHex(hex, key->val, CSMd5::kDigestLen);
}

std::string HVPSClient::md5Hex(const void* data, size_t len) {
    CSMd5 md5;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (len > 0) {
        int n = static_cast<int>(std::min<size_t>(len, 1u << 30));
        md5.md5_append(bytes, n);
        bytes += n;
        len -= static_cast<size_t>(n);
    }
    return md5.getDigestHex();
}

void HVPSClient::buildLogRecord(const void* body, size_t len, std::string& out) {
    if (len < 32 || len - 32 > 0xFFFFFFFFull)
        clientError(CS_CONTEXT, "A log record body holds 32 to 2^32 + 31 bytes");
    uint32 lengthField = static_cast<uint32>(len - 32);
    uint16 checksum = hvps_record_checksum(static_cast<const unsigned char*>(body), len);
    unsigned char head[10] = {0xFA,
                              0x01,
                              0xAB,
                              0x02,
                              static_cast<unsigned char>(checksum & 0xFF),
                              static_cast<unsigned char>(checksum >> 8),
                              static_cast<unsigned char>(lengthField & 0xFF),
                              static_cast<unsigned char>(lengthField >> 8 & 0xFF),
                              static_cast<unsigned char>(lengthField >> 16 & 0xFF),
                              static_cast<unsigned char>(lengthField >> 24)};
    out.assign(reinterpret_cast<const char*>(head), sizeof(head));
    out.append(static_cast<const char*>(body), len);
}

std::vector<HVPSSpaceStats> HVPSClient::parseStats(std::string_view xml) {
    std::vector<HVPSSpaceStats> result;
    size_t pos = 0;
    while ((pos = xml.find("<space>", pos)) != std::string_view::npos) {
        size_t end = xml.find("</space>", pos);
        if (end == std::string_view::npos) break;
        std::string_view entry = xml.substr(pos, end - pos);
        HVPSSpaceStats stats;
        std::string_view value;
        if (elementText(entry, "sid", &value)) parseUnsigned(value, &stats.spaceID);
        if (elementText(entry, "sstat", &value)) parseUnsigned(value, &stats.status);
        if (elementText(entry, "ddiscl", &value)) parseSigned(value, &stats.diskLimit);
        if (elementText(entry, "ddiscu", &value)) parseUnsigned(value, &stats.diskUsage);
        result.push_back(stats);
        pos = end;
    }
    return result;
}

HVPSSpaceURL HVPSClient::parseSpaceURLReply(std::string_view xml) {
    std::string_view value;
    if (!elementText(xml, "spaceurl", &value)) clientError(CS_CONTEXT, "The reply holds no <spaceurl>");
    return HVPSSpaceURL::parse(value);
}
