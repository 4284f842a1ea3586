#include "CSStream.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CSException.h"
#include "CSFile.h"
#include "CSSys.h"
#include "CSThread.h"

namespace {

constexpr size_t kPipeBufferSize = 64000;

void throwPendingSignal() {
    CSThread* self = CSThread::getSelf();
    if (!self) return;
    if (int sig = self->takePendingSignal()) CSException::throwSignal(CS_CONTEXT, sig);
}

}  // namespace

// ---- CSInputStream ----

bool CSInputStream::readLine(std::string& line, size_t maxLength, int errorCode, const char* message) {
    line.clear();
    int ch = read();
    if (ch == -1) return false;
    while (ch != -1 && ch != '\n' && ch != '\r') {
        if (line.size() >= maxLength) CSException::throwException(CS_CONTEXT, errorCode, message);
        line += static_cast<char>(ch);
        ch = read();
    }
    if (ch == '\r' && peek() == '\n') read();
    return true;
}

size_t CSInputStream::readAvailable(char* data, size_t size, bool* ended) {
    size_t n = read(data, size);
    *ended = size > 0 && n == 0;
    return n;
}

// ---- CSOutputStream ----

void CSOutputStream::print(const char* text) {
    if (text) write(text, strlen(text));
}

void CSOutputStream::print(CSString* text) {
    if (text) write(text->getCString(), text->length());
}

void CSOutputStream::print(int value) {
    char buffer[32];
    int len = snprintf(buffer, sizeof(buffer), "%d", value);
    write(buffer, static_cast<size_t>(len));
}

void CSOutputStream::print(uint64 value) {
    char buffer[32];
    int len = snprintf(buffer, sizeof(buffer), "%" PRIu64, value);
    write(buffer, static_cast<size_t>(len));
}

uint64 CSOutputStream::sendFile(int fd, const char* name, uint64 offset, uint64 count) {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer = std::make_unique<char[]>(kPipeBufferSize);
    uint64 sent = 0;
    while (sent < count) {
        size_t want = static_cast<size_t>(std::min<uint64>(count - sent, kPipeBufferSize));
        ssize_t n;
        int err = 0;
        for (int attempt = 0;; attempt++) {
            n = CSSys::ops().os_pread(fd, buffer.get(), want, static_cast<off_t>(offset + sent));
            err = errno;
            if (n != -1 || err != EINTR || attempt >= 1000) break;
            CSSys::sys_checkSignal();
        }
        if (n == -1) CSException::throwFileError(CS_CONTEXT, err, name);
        if (n == 0) break;
        write(buffer.get(), static_cast<size_t>(n));
        sent += static_cast<uint64>(n);
    }
    return sent;
}

void CSOutputStream::printLine(const char* text) {
    print(text);
    print(getEOL());
    flush();
}

// ---- CSStream ----

void CSStream::pipe(CSOutputStream* out, CSInputStream* in) {
    std::vector<char> buffer(kPipeBufferSize);
    for (;;) {
        size_t n = in->read(buffer.data(), buffer.size());
        throwPendingSignal();
        if (n == 0) break;
        out->write(buffer.data(), n);
        throwPendingSignal();
    }
    in->close();
    out->close();
}

// ---- File streams ----

CSFileInputStream::CSFileInputStream(CSRef<CSFile> file, uint64 offset)
    : iFile(std::move(file)), iOffset(offset) {}

CSFileInputStream::~CSFileInputStream() = default;

CSRef<CSFileInputStream> CSFileInputStream::newStream(CSRef<CSFile> file, uint64 offset) {
    return cs_new<CSFileInputStream>(std::move(file), offset);
}

void CSFileInputStream::close() { iFile->close(); }

size_t CSFileInputStream::read(char* data, size_t size) {
    size_t n = iFile->read(data, iOffset, size, 0);
    iOffset += n;
    return n;
}

int CSFileInputStream::read() {
    unsigned char ch;
    return read(reinterpret_cast<char*>(&ch), 1) == 1 ? ch : -1;
}

int CSFileInputStream::peek() {
    unsigned char ch;
    return iFile->read(&ch, iOffset, 1, 0) == 1 ? ch : -1;
}

const char* CSFileInputStream::identify() { return iFile->getPathString()->getCString(); }

CSFileOutputStream::CSFileOutputStream(CSRef<CSFile> file, uint64 offset)
    : iFile(std::move(file)), iOffset(offset) {}

CSFileOutputStream::~CSFileOutputStream() = default;

CSRef<CSFileOutputStream> CSFileOutputStream::newStream(CSRef<CSFile> file, uint64 offset) {
    return cs_new<CSFileOutputStream>(std::move(file), offset);
}

void CSFileOutputStream::close() { iFile->close(); }

void CSFileOutputStream::write(const char* data, size_t len) {
    iFile->write(data, iOffset, len);
    iOffset += len;
}

const char* CSFileOutputStream::getEOL() { return iFile->getEOL(); }

void CSFileOutputStream::flush() { iFile->flush(); }

const char* CSFileOutputStream::identify() { return iFile->getPathString()->getCString(); }

// ---- CSBufferedInputStream ----

CSBufferedInputStream::CSBufferedInputStream(CSRef<CSInputStream> stream)
    : iStream(std::move(stream)), iBuffer(new char[kBufferSize]) {}

CSRef<CSBufferedInputStream> CSBufferedInputStream::newStream(CSRef<CSInputStream> stream) {
    return cs_new<CSBufferedInputStream>(std::move(stream));
}

bool CSBufferedInputStream::fill() {
    iPos = 0;
    iFill = iStream->read(iBuffer.get(), iCapacity);
    return iFill > 0;
}

size_t CSBufferedInputStream::fillAvailable(size_t capacity, bool* ended) {
    *ended = false;
    if (iPos > 0) {
        memmove(iBuffer.get(), iBuffer.get() + iPos, iFill - iPos);
        iFill -= iPos;
        iPos = 0;
    }
    if (iFill == iCapacity && capacity > iCapacity) {
        auto larger = std::make_unique<char[]>(capacity);
        memcpy(larger.get(), iBuffer.get(), iFill);
        iBuffer = std::move(larger);
        iCapacity = capacity;
    }
    if (iFill == iCapacity) return 0;
    size_t n = iStream->readAvailable(iBuffer.get() + iFill, iCapacity - iFill, ended);
    iFill += n;
    return n;
}

size_t CSBufferedInputStream::read(char* data, size_t size) {
    if (size == 0) return 0;
    if (iPos == iFill) {
        // A large block goes straight to the caller: copying it through the buffer would only
        // add a second copy. A small one fills the buffer so that the next reads need no call.
        if (size >= kBufferSize / 2) return iStream->read(data, size);
        if (!fill()) return 0;
    }
    size_t n = std::min(size, iFill - iPos);
    memcpy(data, iBuffer.get() + iPos, n);
    iPos += n;
    return n;
}

int CSBufferedInputStream::read() {
    if (iPos == iFill && !fill()) return -1;
    return static_cast<unsigned char>(iBuffer[iPos++]);
}

int CSBufferedInputStream::peek() {
    if (iPos == iFill && !fill()) return -1;
    return static_cast<unsigned char>(iBuffer[iPos]);
}

void CSBufferedInputStream::rebind(CSRef<CSInputStream> stream) {
    iStream = std::move(stream);
    iFill = iPos = 0;
    if (iCapacity != kBufferSize) {
        iBuffer = std::make_unique<char[]>(kBufferSize);
        iCapacity = kBufferSize;
    }
}

bool CSBufferedInputStream::readLine(std::string& line, size_t maxLength, int errorCode,
                                     const char* message) {
    line.clear();
    if (iPos == iFill && !fill()) return false;
    for (;;) {
        const char* start = iBuffer.get() + iPos;
        const char* end = iBuffer.get() + iFill;
        const char* stop = start;
        while (stop < end && *stop != '\n' && *stop != '\r') stop++;
        size_t run = static_cast<size_t>(stop - start);
        size_t room = maxLength - line.size();
        if (run > room) {
            // Taken up to the first byte too many, as the byte-by-byte reading does.
            iPos += room + 1;
            CSException::throwException(CS_CONTEXT, errorCode, message);
        }
        line.append(start, run);
        iPos += run;
        if (stop < end) {
            iPos++;
            if (*stop == '\r' && peek() == '\n') iPos++;
            return true;
        }
        if (!fill()) return true;
    }
}

void CSBufferedInputStream::reset() {
    iFill = iPos = 0;
    iStream->reset();
}

// ---- CSBufferedOutputStream ----

CSBufferedOutputStream::CSBufferedOutputStream(CSRef<CSOutputStream> stream)
    : iStream(std::move(stream)), iBuffer(new char[kBufferSize]) {}

CSRef<CSBufferedOutputStream> CSBufferedOutputStream::newStream(CSRef<CSOutputStream> stream) {
    return cs_new<CSBufferedOutputStream>(std::move(stream));
}

void CSBufferedOutputStream::write(const char* data, size_t len) {
    // A block of a whole buffer or more gains nothing from topping the buffer up first: that would
    // only split it into a copy and two writes.
    if (len >= kBufferSize) {
        flush();
        iStream->write(data, len);
        return;
    }
    if (iFill < kBypassSize) {
        size_t n = std::min(len, kBufferSize - iFill);
        memcpy(iBuffer.get() + iFill, data, n);
        iFill += n;
        data += n;
        len -= n;
        if (len == 0) return;
    }
    flush();
    if (len <= kBypassSize) {
        memcpy(iBuffer.get(), data, len);
        iFill = len;
    } else {
        iStream->write(data, len);
    }
}

void CSBufferedOutputStream::write(char ch) {
    if (iFill == kBufferSize) flush();
    iBuffer[iFill++] = ch;
}

uint64 CSBufferedOutputStream::sendFile(int fd, const char* name, uint64 offset, uint64 count) {
    flush();
    return iStream->sendFile(fd, name, offset, count);
}

void CSBufferedOutputStream::flush() {
    if (iFill == 0) return;
    // Empty the buffer only once the wrapped stream has taken it, so that a failed write can be
    // retried or reported without losing what was written before.
    iStream->write(iBuffer.get(), iFill);
    iFill = 0;
}

void CSBufferedOutputStream::close() {
    // Closing must not drop what a caller wrote and did not flush; the wrapped stream is closed
    // also when the flush fails.
    try {
        flush();
    } catch (...) {
        iFill = 0;
        iStream->close();
        throw;
    }
    iStream->close();
}

void CSBufferedOutputStream::rebind(CSRef<CSOutputStream> stream) {
    iStream = std::move(stream);
    iFill = 0;
}

void CSBufferedOutputStream::reset() {
    iFill = 0;
    iStream->reset();
}

// ---- Memory streams ----

CSRef<CSMemoryInputStream> CSMemoryInputStream::newStream(const void* data, size_t length) {
    return cs_new<CSMemoryInputStream>(data, length);
}

size_t CSMemoryInputStream::read(char* data, size_t size) {
    size_t n = std::min(size, iLength - iPos);
    if (n) memcpy(data, iData + iPos, n);
    iPos += n;
    return n;
}

CSMemoryOutputStream::CSMemoryOutputStream(size_t initSize, size_t growSize) : iGrowSize(growSize) {
    iData.reserve(initSize);
}

CSRef<CSMemoryOutputStream> CSMemoryOutputStream::newStream(size_t initSize, size_t growSize) {
    return cs_new<CSMemoryOutputStream>(initSize, growSize);
}

void CSMemoryOutputStream::write(const char* data, size_t len) {
    if (iData.size() + len > iData.capacity()) iData.reserve(iData.capacity() + std::max(len, iGrowSize));
    iData.insert(iData.end(), data, data + len);
}

CSRef<CSStaticMemoryOutputStream> CSStaticMemoryOutputStream::newStream(char* buffer, size_t size) {
    return cs_new<CSStaticMemoryOutputStream>(buffer, size);
}

void CSStaticMemoryOutputStream::write(const char* data, size_t len) {
    if (len > iSize - iUsed)
        CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR, "CSStaticMemoryOutputStream: overflow");
    memcpy(iBuffer + iUsed, data, len);
    iUsed += len;
}

// ---- CSCallbackInputStream ----

CSRef<CSCallbackInputStream> CSCallbackInputStream::newStream(Callback callback) {
    return cs_new<CSCallbackInputStream>(std::move(callback));
}

size_t CSCallbackInputStream::call(char* buffer, size_t size) {
    bool wasReset = std::exchange(iReset, false);
    return iCallback(buffer, size, wasReset);
}

size_t CSCallbackInputStream::read(char* data, size_t size) {
    if (size == 0) return 0;
    if (iPeeked >= 0) {
        data[0] = static_cast<char>(std::exchange(iPeeked, -1));
        return 1;
    }
    return call(data, size);
}

int CSCallbackInputStream::read() {
    if (iPeeked >= 0) return std::exchange(iPeeked, -1);
    char ch;
    return call(&ch, 1) == 1 ? static_cast<unsigned char>(ch) : -1;
}

int CSCallbackInputStream::peek() {
    if (iPeeked < 0) {
        char ch;
        if (call(&ch, 1) == 1) iPeeked = static_cast<unsigned char>(ch);
    }
    return iPeeked;
}

void CSCallbackInputStream::reset() {
    iPeeked = -1;
    iReset = true;
}
