// HTTP/1.1 message streams over the byte streams of CSStream.h. CSHTTPInputStream reads a message
// head (request or status line and header lines) and a body; CSHTTPOutputStream collects reply
// headers and a body and writes them. Both keep their headers in a CSHTTPHeaders list. Reading is
// bounded: a head or a body larger than its limit is refused before it is stored. The server builds
// one pair per connection; a pair is used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CSDefs.h"
#include "CSObject.h"
#include "CSStream.h"
#include "CSString.h"

enum : int {
    CS_ERR_BAD_HTTP_HEADER = -14014,
    CS_ERR_POST_DATA_INCOMPLETE = -14019,
};

// One header: a name and a value, which may be absent. Held by value in a CSHTTPHeaders list.
class CSHeader {
public:
    // A null value leaves the header without one. The strings keep their capacity, so a header
    // reused for a later message allocates nothing when its texts fit.
    void assign(std::string_view name, const char* value, size_t valueLen);

    const char* getNameCString() const { return iName.c_str(); }
    // Null when the header has no value.
    const char* getValueCString() const { return iHasValue ? iValue.c_str() : nullptr; }
    // The name is `name` without regard to case (both read up to their first zero byte).
    bool hasName(const char* name) const { return sameTextIgnoringCase(iName.c_str(), name); }
    // The header has a value and it is `value` without regard to case.
    bool hasValue(const char* value) const {
        return iHasValue && sameTextIgnoringCase(iValue.c_str(), value);
    }

    // name ": " value "\r\n"
    void appendTo(std::string& out) const;

private:
    // Compared inline: a name usually differs in its first byte, and a call per comparison
    // would cost more than the comparison.
    static bool sameTextIgnoringCase(const char* a, const char* b) {
        for (;; a++, b++) {
            if (lowerASCII(*a) != lowerASCII(*b)) return false;
            if (*a == 0) return true;
        }
    }
    static char lowerASCII(char ch) {
        return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + ('a' - 'A')) : ch;
    }

    std::string iName;
    std::string iValue;
    bool iHasValue = false;
};

// Headers in the order added; duplicates are kept. Names are compared without regard to case.
// Cleared headers keep their places and string capacity for the next message: a list that is
// cleared and refilled with headers of the sizes it has held before allocates nothing.
class CSHTTPHeaders {
public:
    using HeaderList = std::vector<CSHeader>;

    void addHeader(const CSHeader& header);
    void addHeader(const char* name, const char* value);
    void addHeader(const char* name, uint64 value);  // "%llu"
    void addHeader(std::string_view name, std::string_view value);
    // Adds a copy of every header of `other`.
    void addHeaders(const CSHTTPHeaders& other);

    // The value of the first header of that name, or null.
    const char* getHeaderCStringValue(const char* name) const;
    // Removes every header of that name.
    void removeHeader(const char* name);
    void clearHeaders() { iCount = 0; }
    // Hands the headers to the caller and leaves none.
    HeaderList takeHeaders();
    void setHeaders(HeaderList headers);
    uint32 numHeaders() const { return iCount; }
    const CSHeader* getHeader(uint32 i) const { return i < iCount ? &iHeaders[i] : nullptr; }

    // Some header is "Connection: Keep-Alive".
    bool keepAlive() const { return hasHeader("Connection", "Keep-Alive"); }
    // Some header is "Expect: 100-continue".
    bool expect100Continue() const { return hasHeader("Expect", "100-continue"); }
    // Some "Expect" header has another value.
    bool unknownEpectHeader() const;
    // Some "Connection" header lists `token` (compared without regard to case).
    bool connectionHas(const char* token) const;

protected:
    void appendHeaders(std::string& out) const;

private:
    // The place of a new header at the end of the list.
    CSHeader& nextHeader();
    // Some header of that name has that value (both without regard to case).
    bool hasHeader(const char* name, const char* value) const;

    HeaderList iHeaders;  // the first iCount are the list; the rest are kept for reuse
    uint32 iCount = 0;
};

class CSHTTPInputStream : public CSInputStream, public CSHTTPHeaders {
public:
    // Limits of a message head: longer lines, larger heads and more header lines raise -14014.
    static constexpr size_t kMaxLineLength = 16384;
    static constexpr size_t kMaxHeadSize = 65536;
    static constexpr size_t kMaxHeaderLines = 100;
    // A body is held in memory with a 32-bit length: it must stay below 4 GiB whatever the caller allows.
    static constexpr uint64 kMaxBodyLength = 0xFFFFFFFFull;
    // This many bytes without the end of a head are enough for readHead to refuse them.
    static constexpr size_t kMaxHeadBytes = kMaxHeadSize + kMaxLineLength + 4;
    // resetMessage() keeps a body's memory up to this size for the next message.
    static constexpr size_t kKeptBodyCapacity = 65536;

    // True when `bytes` begin with a whole head as readHead reads it: lines up to an empty one. A
    // CR as the last byte leaves it open (an LF may follow).
    static bool headComplete(std::string_view bytes);

    explicit CSHTTPInputStream(CSRef<CSInputStream> stream) : iStream(std::move(stream)) {}
    static CSRef<CSHTTPInputStream> newStream(CSRef<CSInputStream> stream);

    // Reads the next message head. At the end of input the head stays empty and getMethod() gives
    // none; so does a status line.
    void readHead(bool trace = false);
    // Forgets the head and the body of the previous message (the memory is kept for the next one,
    // except a body's beyond kKeptBodyCapacity).
    void resetMessage();
    // From now on a request head with "Expect: 100-continue" is answered on `out` with
    // "HTTP/1.1 100 Continue" when its body is first read, and not at all when it is not.
    void answerContinueOn(CSRef<CSOutputStream> out) { iContinueStream = std::move(out); }

    // Null unless the head began with a request line.
    const char* getMethod() const { return iFirstLine == FirstLine::Request ? iMethod.c_str() : nullptr; }
    const char* getRequestURI() const {
        return iFirstLine == FirstLine::Request ? iRequestURI.c_str() : nullptr;
    }
    // Null when no head was read.
    const char* getHTTPVersion() const {
        return iFirstLine != FirstLine::None ? iHTTPVersion.c_str() : nullptr;
    }
    // Null unless the head began with a status line.
    const char* getReasonPhrase() const {
        return iFirstLine == FirstLine::Status ? iReasonPhrase.c_str() : nullptr;
    }
    // The status of a reply; 0 for a request.
    int getStatus() const { return iStatus; }

    // False without a "Content-Length" header; a value that is not a number reads as 0.
    bool getContentLength(uint64* length) const;
    // True for a "Range" of the form "bytes=first-last" with first <= last.
    bool getRange(uint64* length, uint64* start) const;

    // Reads the body: Content-Length bytes, or without that header lines up to an empty line (each
    // stored with "\n"). A body larger than maxLength (or of 4 GiB or more) is refused before
    // anything is read, with `errorCode`. Input that ends early raises -14019 "POST data incomplete".
    void readBody(uint64 maxLength, int errorCode = CS_ERR_POST_DATA_INCOMPLETE);
    const char* getBodyData() const { return iBody.c_str(); }
    size_t getBodyLength() const { return iBody.size(); }

    void close() override { iStream->close(); }
    size_t read(char* data, size_t size) override {
        if (iContinuePending) sendContinue();
        return iStream->read(data, size);
    }
    int read() override {
        if (iContinuePending) sendContinue();
        return iStream->read();
    }
    int peek() override {
        if (iContinuePending) sendContinue();
        return iStream->peek();
    }
    bool readLine(std::string& line, size_t maxLength = SIZE_MAX, int errorCode = 0,
                  const char* message = nullptr) override {
        if (iContinuePending) sendContinue();
        return iStream->readLine(line, maxLength, errorCode, message);
    }
    void reset() override { iStream->reset(); }
    const char* identify() override { return iStream->identify(); }

private:
    enum class FirstLine { None, Request, Status };

    void sendContinue();
    void freeHead();
    void parseFirstLine(std::string_view line);
    void parseHeaderLine(std::string_view line);
    [[noreturn]] void refuseBody(int errorCode, uint64 length, uint64 maxLength);

    CSRef<CSInputStream> iStream;
    int iStatus = 0;
    FirstLine iFirstLine = FirstLine::None;
    std::string iMethod;
    std::string iRequestURI;
    std::string iHTTPVersion;
    std::string iReasonPhrase;
    std::string iLine;  // the line being read
    std::string iBody;
    CSRef<CSOutputStream> iContinueStream;
    bool iContinuePending = false;  // the head asked for 100-continue and no body byte was read
};

class CSHTTPOutputStream : public CSOutputStream, public CSHTTPHeaders {
public:
    explicit CSHTTPOutputStream(CSRef<CSOutputStream> stream) : iStream(std::move(stream)) {}
    static CSRef<CSHTTPOutputStream> newStream(CSRef<CSOutputStream> stream);

    // Forgets the headers, body, status and range of the previous message (the memory is kept
    // for the next one, except a body's beyond CSHTTPInputStream::kKeptBodyCapacity).
    void resetMessage();

    void setStatus(int status) { iStatus = status; }
    int getStatus() const { return iStatus; }
    // The Content-Length written by writeHead(); set by the body operations, or by a caller that
    // sends the body itself.
    void setContentLength(uint64 length) { iContentLength = length; }
    uint64 getContentLength() const { return iContentLength; }
    // A range of `length` bytes from `start` of `total`: written as Content-Range with status 200.
    void setRange(uint64 length, uint64 start, uint64 total);

    // Append to the body; Content-Length becomes the body length.
    void appendBody(const char* text);
    void appendBody(const char* data, size_t len);
    void appendBody(int value);
    void appendBody(unsigned int value);
    void appendBody(uint64 value);
    // Takes over the buffer's content (the buffer is left empty).
    void setBody(CSStringBuffer& buffer);
    // Clears the body, Content-Length and the range.
    void clearBody();
    const char* getBodyData() const { return iBody.data(); }
    size_t getBodyLength() const { return iBody.size(); }

    // Status line, headers, Content-Length (always), Content-Range (status 200 with a range), "\r\n".
    void writeHead(bool trace = false);
    void writeBody();

    // The RFC 2616 phrase of a status code; "Unknown Code" for others.
    static const char* getReasonPhrase(int status);

    void close() override { iStream->close(); }
    void write(const char* data, size_t len) override { iStream->write(data, len); }
    const char* getEOL() override { return "\r\n"; }
    void flush() override { iStream->flush(); }
    void write(char ch) override { iStream->write(ch); }
    void reset() override { iStream->reset(); }
    const char* identify() override { return iStream->identify(); }
    uint64 sendFile(int fd, const char* name, uint64 offset, uint64 count) override {
        return iStream->sendFile(fd, name, offset, count);
    }

    using CSOutputStream::print;
    // With trace the text also goes to standard output.
    void print(const char* text, bool trace);
    void print(CSString* text, bool trace);
    void print(int value, bool trace);
    void print(uint64 value, bool trace);

private:
    CSRef<CSOutputStream> iStream;
    int iStatus = 200;
    uint64 iContentLength = 0;
    std::string iBody;
    uint64 iRangeLength = 0;
    uint64 iRangeStart = 0;
    uint64 iRangeTotal = 0;
    std::string iHead;  // the head being written
};
