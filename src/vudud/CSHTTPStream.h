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

// One header: a name and a value, which may be absent.
class CSHeader : public CSRefObject {
public:
    static CSRef<CSHeader> newHeader(const char* name, const char* value);

    void setName(const char* name);
    void setName(const char* name, uint32 len);
    void setName(CSRef<CSString> name) { iName = std::move(name); }
    void setValue(const char* value);
    void setValue(const char* value, uint32 len);
    void setValue(CSRef<CSString> value) { iValue = std::move(value); }

    CSString* getName() const { return iName.get(); }
    // None when the header has no value.
    CSString* getValue() const { return iValue.get(); }
    const char* getNameCString() const { return iName ? iName->getCString() : ""; }
    const char* getValueCString() const { return iValue ? iValue->getCString() : nullptr; }

    // name ": " value "\r\n"; with trace also "name: value\n" on standard output.
    void write(CSOutputStream* out, bool trace) const;

private:
    CSRef<CSString> iName;
    CSRef<CSString> iValue;
};

// Headers in the order added; duplicates are kept. Names are compared without regard to case.
class CSHTTPHeaders {
public:
    using HeaderList = std::vector<CSRef<CSHeader>>;

    void addHeader(CSRef<CSHeader> header);
    void addHeader(const char* name, CSString* value);
    void addHeader(const char* name, const char* value);
    void addHeader(const char* name, uint64 value);  // "%llu"
    void addHeader(const char* name, uint32 nameLen, const char* value, uint32 valueLen);
    void addHeader(CSString* name, CSString* value);
    // Adds every header of `other` (the headers are shared, not copied).
    void addHeaders(const CSHTTPHeaders& other);

    // The value of the first header of that name, or none.
    CSRef<CSString> getHeaderValue(const char* name) const;
    const char* getHeaderCStringValue(const char* name) const;
    // Removes every header of that name.
    void removeHeader(const char* name);
    void removeHeader(CSString* name) { removeHeader(name ? name->getCString() : ""); }
    // Drops the list and clears the flags.
    void clearHeaders();
    // Hands the list to the caller and leaves none.
    HeaderList takeHeaders() { return std::exchange(iHeaders, {}); }
    void setHeaders(HeaderList headers) { iHeaders = std::move(headers); }
    uint32 numHeaders() const { return static_cast<uint32>(iHeaders.size()); }
    CSHeader* getHeader(uint32 i) const { return i < iHeaders.size() ? iHeaders[i].get() : nullptr; }

    // Every header as name ": " value "\r\n".
    void writeHeader(CSOutputStream* out, bool trace) const;

    // "Connection: Keep-Alive" was added.
    bool keepAlive() const { return iKeepAlive; }
    // "Expect: 100-continue" was added.
    bool expect100Continue() const { return iExpect100Continue; }
    // An "Expect" header with another value was added.
    bool unknownEpectHeader() const { return iUnknownExpect; }
    // Some "Connection" header lists `token` (compared without regard to case).
    bool connectionHas(const char* token) const;

protected:
    HeaderList iHeaders;
    bool iKeepAlive = false;
    bool iExpect100Continue = false;
    bool iUnknownExpect = false;
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

    // True when `bytes` begin with a whole head as readHead reads it: lines up to an empty one. A
    // CR as the last byte leaves it open (an LF may follow).
    static bool headComplete(std::string_view bytes);

    explicit CSHTTPInputStream(CSRef<CSInputStream> stream) : iStream(std::move(stream)) {}
    static CSRef<CSHTTPInputStream> newStream(CSRef<CSInputStream> stream);

    // Reads the next message head. At the end of input the head stays empty and getMethod() gives
    // none; so does a status line.
    void readHead(bool trace = false);
    // From now on a request head with "Expect: 100-continue" is answered on `out` with
    // "HTTP/1.1 100 Continue" when its body is first read, and not at all when it is not.
    void answerContinueOn(CSRef<CSOutputStream> out) { iContinueStream = std::move(out); }

    const char* getMethod() const { return iMethod ? iMethod->getCString() : nullptr; }
    const char* getRequestURI() const { return iRequestURI ? iRequestURI->getCString() : nullptr; }
    const char* getHTTPVersion() const { return iHTTPVersion ? iHTTPVersion->getCString() : nullptr; }
    const char* getReasonPhrase() const { return iReasonPhrase ? iReasonPhrase->getCString() : nullptr; }
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
    void reset() override { iStream->reset(); }
    const char* identify() override { return iStream->identify(); }

private:
    void sendContinue();
    void freeHead();
    void parseFirstLine(std::string_view line);
    void parseHeaderLine(std::string_view line);
    [[noreturn]] void refuseBody(int errorCode, uint64 length, uint64 maxLength);

    CSRef<CSInputStream> iStream;
    int iStatus = 0;
    CSRef<CSString> iMethod;
    CSRef<CSString> iRequestURI;
    CSRef<CSString> iHTTPVersion;
    CSRef<CSString> iReasonPhrase;
    std::string iBody;
    CSRef<CSOutputStream> iContinueStream;
    bool iContinuePending = false;  // the head asked for 100-continue and no body byte was read
};

class CSHTTPOutputStream : public CSOutputStream, public CSHTTPHeaders {
public:
    explicit CSHTTPOutputStream(CSRef<CSOutputStream> stream) : iStream(std::move(stream)) {}
    static CSRef<CSHTTPOutputStream> newStream(CSRef<CSOutputStream> stream);

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
    // The headers alone; then drops the list and clears the flags.
    void writeHeaders(bool trace = false);

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
};
