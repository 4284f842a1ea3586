#include "CSHTTPStream.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CSException.h"
#include "CSLog.h"
#include "CSThread.h"

namespace {

constexpr const char* kBadHeader = "Bad HTTP header";
// Room taken at once for a reply head and for a line of a head, which usually fit.
constexpr size_t kHeadReserve = 512;
constexpr size_t kLineReserve = 256;

bool isDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Leading decimal digits of `text` (saturating); 0 when it does not start with a digit.
uint64 parseDecimal(std::string_view text, size_t* used = nullptr) {
    uint64 value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = UINT64_MAX;
        const char* p = text.data();
        while (p < text.data() + text.size() && isDigit(*p)) p++;
        result.ptr = p;
    } else if (result.ec != std::errc()) {
        value = 0;
        result.ptr = text.data();
    }
    if (used) *used = static_cast<size_t>(result.ptr - text.data());
    return value;
}

std::string_view trimTrailingSpaces(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

size_t skipSpaces(std::string_view text, size_t pos) {
    while (pos < text.size() && text[pos] == ' ') pos++;
    return pos;
}

// The decimal digits of `value`, written into `text`.
template <typename Number>
std::string_view decimal(char (&text)[24], Number value) {
    auto result = std::to_chars(text, text + sizeof(text), value);
    return {text, static_cast<size_t>(result.ptr - text)};
}

template <typename Number>
void appendNumber(std::string& out, Number value) {
    char text[24];
    out.append(decimal(text, value));
}

void releaseIfLarge(std::string& body) {
    if (body.capacity() > CSHTTPInputStream::kKeptBodyCapacity) std::string().swap(body);
}

void traceText(std::string_view text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace

// ---- CSHeader ----

void CSHeader::assign(std::string_view name, const char* value, size_t valueLen) {
    iName.assign(name);
    iHasValue = value != nullptr;
    iValue.assign(value ? value : "", value ? valueLen : 0);
}

void CSHeader::appendTo(std::string& out) const {
    out += iName.c_str();
    out += ": ";
    if (iHasValue) out += iValue;
    out += "\r\n";
}

// ---- CSHTTPHeaders ----

CSHeader& CSHTTPHeaders::nextHeader() {
    if (iCount == iHeaders.size()) {
        if (iHeaders.empty()) iHeaders.reserve(8);
        iHeaders.emplace_back();
    }
    return iHeaders[iCount++];
}

void CSHTTPHeaders::addHeader(const CSHeader& header) { nextHeader() = header; }

void CSHTTPHeaders::addHeader(const char* name, const char* value) {
    nextHeader().assign(name ? name : "", value, value ? strlen(value) : 0);
}

void CSHTTPHeaders::addHeader(const char* name, uint64 value) {
    char text[24];
    addHeader(std::string_view(name ? name : ""), decimal(text, value));
}

void CSHTTPHeaders::addHeader(std::string_view name, std::string_view value) {
    nextHeader().assign(name, value.data() ? value.data() : "", value.size());
}

void CSHTTPHeaders::addHeaders(const CSHTTPHeaders& other) {
    for (uint32 i = 0; i < other.iCount; i++) addHeader(other.iHeaders[i]);
}

const char* CSHTTPHeaders::getHeaderCStringValue(const char* name) const {
    for (uint32 i = 0; i < iCount; i++) {
        if (iHeaders[i].hasName(name)) return iHeaders[i].getValueCString();
    }
    return nullptr;
}

bool CSHTTPHeaders::hasHeader(const char* name, const char* value) const {
    for (uint32 i = 0; i < iCount; i++) {
        if (iHeaders[i].hasName(name) && iHeaders[i].hasValue(value)) return true;
    }
    return false;
}

bool CSHTTPHeaders::unknownEpectHeader() const {
    for (uint32 i = 0; i < iCount; i++) {
        if (iHeaders[i].hasName("Expect") && !iHeaders[i].hasValue("100-continue")) return true;
    }
    return false;
}

void CSHTTPHeaders::removeHeader(const char* name) {
    // The removed headers are swapped behind the kept ones, which keep their order.
    uint32 kept = 0;
    for (uint32 i = 0; i < iCount; i++) {
        if (iHeaders[i].hasName(name)) continue;
        if (kept != i) std::swap(iHeaders[kept], iHeaders[i]);
        kept++;
    }
    iCount = kept;
}

CSHTTPHeaders::HeaderList CSHTTPHeaders::takeHeaders() {
    iHeaders.resize(iCount);
    iCount = 0;
    return std::exchange(iHeaders, {});
}

void CSHTTPHeaders::setHeaders(HeaderList headers) {
    iHeaders = std::move(headers);
    iCount = static_cast<uint32>(iHeaders.size());
}

bool CSHTTPHeaders::connectionHas(const char* token) const {
    const size_t length = strlen(token);
    for (uint32 i = 0; i < iCount; i++) {
        const CSHeader& header = iHeaders[i];
        if (!header.hasName("Connection")) continue;
        const char* value = header.getValueCString();
        for (std::string_view rest(value ? value : ""); !rest.empty();) {
            size_t comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
            if (item.size() == length && strncasecmp(item.data(), token, length) == 0) return true;
        }
    }
    return false;
}

void CSHTTPHeaders::appendHeaders(std::string& out) const {
    for (uint32 i = 0; i < iCount; i++) iHeaders[i].appendTo(out);
}

// ---- CSHTTPInputStream ----

CSRef<CSHTTPInputStream> CSHTTPInputStream::newStream(CSRef<CSInputStream> stream) {
    return cs_new<CSHTTPInputStream>(std::move(stream));
}

bool CSHTTPInputStream::headComplete(std::string_view bytes) {
    size_t lineLength = 0;
    for (size_t i = 0; i < bytes.size(); i++) {
        char ch = bytes[i];
        if (ch != '\n' && ch != '\r') {
            lineLength++;
            continue;
        }
        if (ch == '\r') {
            if (i + 1 == bytes.size()) return false;
            if (bytes[i + 1] == '\n') i++;
        }
        if (lineLength == 0) return true;
        lineLength = 0;
    }
    return false;
}

void CSHTTPInputStream::sendContinue() {
    iContinuePending = false;
    static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    iContinueStream->write(kContinue, sizeof(kContinue) - 1);
    iContinueStream->flush();
}

void CSHTTPInputStream::freeHead() {
    iContinuePending = false;
    clearHeaders();
    iFirstLine = FirstLine::None;
    iStatus = 0;
}

void CSHTTPInputStream::resetMessage() {
    freeHead();
    iBody.clear();
    releaseIfLarge(iBody);
}

void CSHTTPInputStream::readHead(bool trace) {
    freeHead();
    size_t headSize = 0;
    size_t headerLines = 0;
    iLine.reserve(kLineReserve);
    for (bool first = true;; first = false) {
        if (!readLine(iLine, kMaxLineLength, CS_ERR_BAD_HTTP_HEADER, kBadHeader)) return;
        std::string_view text(iLine);
        if (trace) {
            if (first) CSL.logLine(CSThread::getSelf(), CSLog::Protocol, "=== HTTP Request (Header) ===");
            traceText(CSLog::escape(text));
            traceText("\n");
        }
        if (text.empty()) {
            iContinuePending = iContinueStream && iFirstLine == FirstLine::Request && expect100Continue();
            return;
        }
        headSize += text.size() + 2;
        if (headSize > kMaxHeadSize)
            CSException::throwException(CS_CONTEXT, CS_ERR_BAD_HTTP_HEADER, kBadHeader);
        if (first) {
            parseFirstLine(text);
        } else {
            if (++headerLines > kMaxHeaderLines)
                CSException::throwException(CS_CONTEXT, CS_ERR_BAD_HTTP_HEADER, kBadHeader);
            parseHeaderLine(text);
        }
    }
}

void CSHTTPInputStream::parseFirstLine(std::string_view line) {
    size_t pos = 0;
    auto nextWord = [&]() {
        pos = skipSpaces(line, pos);
        size_t start = pos;
        while (pos < line.size() && line[pos] != ' ') pos++;
        return line.substr(start, pos - start);
    };
    std::string_view first = nextWord();
    if (first.starts_with("HTTP")) {
        iFirstLine = FirstLine::Status;
        iHTTPVersion.assign(first);
        iStatus = static_cast<int>(std::min<uint64>(parseDecimal(nextWord()), INT32_MAX));
        iReasonPhrase.assign(line.substr(skipSpaces(line, pos)));
        return;
    }
    iFirstLine = FirstLine::Request;
    iMethod.assign(first);
    iRequestURI.assign(nextWord());
    iHTTPVersion.assign(nextWord());
}

void CSHTTPInputStream::parseHeaderLine(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        addHeader(line, std::string_view());
        return;
    }
    size_t nameStart = skipSpaces(line, 0);
    std::string_view name = trimTrailingSpaces(line.substr(nameStart, colon - std::min(nameStart, colon)));
    std::string_view rest = line.substr(colon + 1);
    std::string_view value;
    if (!rest.empty()) {
        size_t start = skipSpaces(rest, 0);
        if (start == rest.size()) CSException::throwException(CS_CONTEXT, CS_ERR_BAD_HTTP_HEADER, kBadHeader);
        value = trimTrailingSpaces(rest.substr(start));
    }
    addHeader(name, value);
}

bool CSHTTPInputStream::getContentLength(uint64* length) const {
    const char* value = getHeaderCStringValue("Content-Length");
    if (!value) return false;
    *length = parseDecimal(value);
    return true;
}

bool CSHTTPInputStream::getRange(uint64* length, uint64* start) const {
    const char* value = getHeaderCStringValue("Range");
    if (!value || strncasecmp(value, "bytes=", 6) != 0) return false;
    std::string_view bounds(value + 6);
    size_t used = 0;
    if (bounds.empty() || !isDigit(bounds[0])) return false;
    uint64 first = parseDecimal(bounds, &used);
    if (used >= bounds.size() || bounds[used] != '-') return false;
    bounds.remove_prefix(used + 1);
    if (bounds.empty() || !isDigit(bounds[0])) return false;
    uint64 last = parseDecimal(bounds);
    // A range of 2^64 bytes cannot be told by a 64-bit length.
    if (first > last || (first == 0 && last == UINT64_MAX)) return false;
    *start = first;
    *length = last - first + 1;
    return true;
}

void CSHTTPInputStream::refuseBody(int errorCode, uint64 length, uint64 maxLength) {
    CSException::throwExceptionf(CS_CONTEXT, errorCode,
                                 "Request body too large: %" PRIu64 " bytes, at most %" PRIu64, length,
                                 maxLength);
}

void CSHTTPInputStream::readBody(uint64 maxLength, int errorCode) {
    iBody.clear();
    uint64 limit = std::min(maxLength, kMaxBodyLength);
    uint64 length = 0;
    if (getContentLength(&length)) {
        // Refused before any byte is read or any memory is taken for it.
        if (length > limit) refuseBody(errorCode, length, limit);
        if (length == 0) return;
        iBody.resize(length);
        size_t done = 0;
        while (done < length) {
            size_t n = read(iBody.data() + done, length - done);
            if (n == 0) {
                iBody.clear();
                CSException::throwException(CS_CONTEXT, CS_ERR_POST_DATA_INCOMPLETE, "POST data incomplete");
            }
            done += n;
        }
        return;
    }
    char message[120];
    snprintf(message, sizeof(message), "Request body too large: more than %" PRIu64 " bytes", limit);
    for (;;) {
        // Each stored line takes one more byte for its "\n".
        uint64 room = limit - iBody.size();
        if (room == 0) CSException::throwException(CS_CONTEXT, errorCode, message);
        if (!readLine(iLine, room - 1, errorCode, message) || iLine.empty()) return;
        iBody += iLine;
        iBody += '\n';
    }
}

// ---- CSHTTPOutputStream ----

CSRef<CSHTTPOutputStream> CSHTTPOutputStream::newStream(CSRef<CSOutputStream> stream) {
    return cs_new<CSHTTPOutputStream>(std::move(stream));
}

void CSHTTPOutputStream::resetMessage() {
    clearHeaders();
    clearBody();
    releaseIfLarge(iBody);
    iStatus = 200;
}

void CSHTTPOutputStream::setRange(uint64 length, uint64 start, uint64 total) {
    iRangeLength = length;
    iRangeStart = start;
    iRangeTotal = total;
}

void CSHTTPOutputStream::appendBody(const char* text) { appendBody(text, text ? strlen(text) : 0); }

void CSHTTPOutputStream::appendBody(const char* data, size_t len) {
    if (len) iBody.append(data, len);
    iContentLength = iBody.size();
}

void CSHTTPOutputStream::appendBody(int value) {
    appendNumber(iBody, value);
    iContentLength = iBody.size();
}

void CSHTTPOutputStream::appendBody(unsigned int value) {
    appendNumber(iBody, value);
    iContentLength = iBody.size();
}

void CSHTTPOutputStream::appendBody(uint64 value) {
    appendNumber(iBody, value);
    iContentLength = iBody.size();
}

void CSHTTPOutputStream::setBody(CSStringBuffer& buffer) {
    iBody.assign(buffer.data() ? buffer.data() : "", buffer.length());
    buffer.clear();
    iContentLength = iBody.size();
}

void CSHTTPOutputStream::clearBody() {
    iBody.clear();
    iContentLength = 0;
    setRange(0, 0, 0);
}

void CSHTTPOutputStream::writeHead(bool trace) {
    std::string& head = iHead;
    head.reserve(kHeadReserve);  // a usual head then takes one allocation in the stream's life
    head.assign("HTTP/1.1 ");
    appendNumber(head, iStatus);
    head += ' ';
    head += getReasonPhrase(iStatus);
    head += "\r\n";
    appendHeaders(head);
    head += "Content-Length: ";
    appendNumber(head, iContentLength);
    head += "\r\n";
    if (iRangeLength != 0 && iStatus == 200) {
        head += "Content-Range: bytes ";
        appendNumber(head, iRangeStart);
        head += '-';
        appendNumber(head, iRangeStart + iRangeLength - 1);
        head += '/';
        appendNumber(head, iRangeTotal);
        head += "\r\n";
    }
    head += "\r\n";
    if (trace) {
        CSL.logLine(CSThread::getSelf(), CSLog::Protocol, "--- HTTP Reply (Header) ---");
        traceText(head);
    }
    iStream->write(head.data(), head.size());
}

void CSHTTPOutputStream::writeBody() { iStream->write(iBody.data(), iBody.size()); }

void CSHTTPOutputStream::print(const char* text, bool trace) {
    print(text);
    if (trace && text) traceText(text);
}

void CSHTTPOutputStream::print(CSString* text, bool trace) {
    print(text);
    if (trace && text) traceText(text->view());
}

void CSHTTPOutputStream::print(int value, bool trace) {
    print(value);
    if (trace) printf("%d", value);
}

void CSHTTPOutputStream::print(uint64 value, bool trace) {
    print(value);
    if (trace) printf("%" PRIu64, value);
}

const char* CSHTTPOutputStream::getReasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 101:
            return "Switching Protocols";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 203:
            return "Non-Authoritative Information";
        case 204:
            return "No Content";
        case 205:
            return "Reset Content";
        case 206:
            return "Partial Content";
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 305:
            return "Use Proxy";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Time-out";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Request Entity Too Large";
        case 414:
            return "Request-URI Too Large";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Requested range not satisfiable";
        case 417:
            return "Expectation Failed";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Time-out";
        case 505:
            return "HTTP Version not supported";
        default:
            return "Unknown Code";
    }
}
