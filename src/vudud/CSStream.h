// Byte streams: the abstract CSInputStream and CSOutputStream and their memory, callback, file and
// buffering kinds (the socket kinds are in CSSocket.h). A stream owns a reference to what it wraps
// and gives it back when it goes. A stream is used by one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CSDefs.h"
#include "CSObject.h"
#include "CSString.h"

class CSFile;

class CSInputStream : public CSRefObject {
public:
    virtual void close() = 0;
    // Reads up to `size` bytes; 0 only at the end of input.
    virtual size_t read(char* data, size_t size) = 0;
    // One byte (0..255), or -1 at the end of input.
    virtual int read() = 0;
    // The next byte without taking it, or -1 when none can be had without taking it.
    virtual int peek() = 0;
    // The bytes that can be had without waiting, up to `size`; 0 when none has arrived yet, with
    // `*ended` set when the input has ended. This default suits sources that never wait: it reads.
    virtual size_t readAvailable(char* data, size_t size, bool* ended);
    virtual void reset() = 0;
    // A text naming the source, for error messages.
    virtual const char* identify() = 0;

    // Reads the next line without its terminator (LF, CR, or CR LF) into `line`, in place of what
    // it held (its capacity is kept, so a reused line allocates nothing). False at the end of input
    // before any byte; a last line without terminator is read too. A line longer than maxLength
    // bytes raises `errorCode` with `message` instead of being stored, so that a peer cannot make
    // the line grow without bound.
    // This default reads byte by byte.
    virtual bool readLine(std::string& line, size_t maxLength = SIZE_MAX, int errorCode = 0,
                          const char* message = nullptr);
};

class CSOutputStream : public CSRefObject {
public:
    virtual void close() = 0;
    virtual void write(const char* data, size_t len) = 0;
    virtual const char* getEOL() = 0;
    virtual void flush() = 0;
    virtual void write(char ch) = 0;
    virtual void reset() = 0;
    virtual const char* identify() = 0;
    virtual void print(const char* text);
    virtual void print(CSString* text);
    virtual void print(int value);     // "%d"
    virtual void print(uint64 value);  // "%llu"
    // Writes `count` bytes of the open file `fd` from `offset` on (the descriptor's own position is
    // neither used nor moved); `name` names the file in errors. Returns the bytes written, fewer
    // when the file ends first. This default reads the file in blocks and writes them; streams
    // that end in a socket pass the descriptor down so that the system copies the bytes itself.
    virtual uint64 sendFile(int fd, const char* name, uint64 offset, uint64 count);

    // The text, the line end, then a flush.
    void printLine(const char* text);
};

class CSStream {
public:
    // Copies `in` to `out` in steps of 64000 bytes until `in` ends, then closes both. A pending
    // signal of the calling thread is raised after every read and every write.
    static void pipe(CSOutputStream* out, CSInputStream* in);
};

// Reads a file from a position onwards; the stream keeps a reference to the file.
class CSFileInputStream : public CSInputStream {
public:
    CSFileInputStream(CSRef<CSFile> file, uint64 offset);
    ~CSFileInputStream() override;
    static CSRef<CSFileInputStream> newStream(CSRef<CSFile> file, uint64 offset = 0);

    void close() override;
    size_t read(char* data, size_t size) override;
    int read() override;
    int peek() override;
    void reset() override { iOffset = 0; }
    const char* identify() override;

    uint64 getOffset() const { return iOffset; }

private:
    CSRef<CSFile> iFile;
    uint64 iOffset;
};

// Writes a file from a position onwards; the stream keeps a reference to the file.
class CSFileOutputStream : public CSOutputStream {
public:
    CSFileOutputStream(CSRef<CSFile> file, uint64 offset);
    ~CSFileOutputStream() override;
    static CSRef<CSFileOutputStream> newStream(CSRef<CSFile> file, uint64 offset = 0);

    void close() override;
    void write(const char* data, size_t len) override;
    const char* getEOL() override;
    void flush() override;
    void write(char ch) override { write(&ch, 1); }
    void reset() override { iOffset = 0; }
    const char* identify() override;

    uint64 getOffset() const { return iOffset; }

private:
    CSRef<CSFile> iFile;
    uint64 iOffset;
};

// Reads through a 32768-byte buffer. Reads of a block of half the buffer or more that find the
// buffer empty go straight into the caller's memory, so large blocks are copied once. Bytes read
// ahead stay in the buffer for the next read: a connection can carry message after message.
class CSBufferedInputStream : public CSInputStream {
public:
    static constexpr size_t kBufferSize = 32768;

    explicit CSBufferedInputStream(CSRef<CSInputStream> stream);
    static CSRef<CSBufferedInputStream> newStream(CSRef<CSInputStream> stream);

    void close() override { iStream->close(); }
    size_t read(char* data, size_t size) override;
    int read() override;
    int peek() override;
    // Copies the line out of the buffer in runs, reading as readLine() does byte by byte.
    bool readLine(std::string& line, size_t maxLength = SIZE_MAX, int errorCode = 0,
                  const char* message = nullptr) override;
    void reset() override;
    const char* identify() override { return iStream->identify(); }

    // Reads `stream` from now on, as a new stream over it would: what was read ahead is dropped and
    // a buffer grown by fillAvailable shrinks back. None leaves the stream unbound, not to be used
    // until it is bound again.
    void rebind(CSRef<CSInputStream> stream);
    // Bytes read ahead and not yet taken.
    size_t getBuffered() const { return iFill - iPos; }
    std::string_view buffered() const { return {iBuffer.get() + iPos, iFill - iPos}; }
    // Adds what the wrapped stream has without waiting to the bytes read ahead, letting the buffer
    // grow to `capacity` bytes (at least its own size) so that a message head that arrives in
    // pieces can be gathered whole. Returns the bytes added; sets `*ended` when the input has ended.
    size_t fillAvailable(size_t capacity, bool* ended);

private:
    bool fill();

    CSRef<CSInputStream> iStream;
    std::unique_ptr<char[]> iBuffer;
    size_t iCapacity = kBufferSize;
    size_t iFill = 0;
    size_t iPos = 0;
};

// Writes through a 32768-byte buffer. A write of a whole buffer or more flushes what is buffered and
// goes straight to the wrapped stream. A smaller write that finds the buffer half full or more
// flushes it and sends a remainder over half the buffer straight on. sendFile() flushes the buffer
// and passes the file down. flush() does not flush the wrapped stream. close() flushes the buffer
// before it closes the wrapped stream.
class CSBufferedOutputStream : public CSOutputStream {
public:
    static constexpr size_t kBufferSize = 32768;
    static constexpr size_t kBypassSize = kBufferSize / 2;

    explicit CSBufferedOutputStream(CSRef<CSOutputStream> stream);
    static CSRef<CSBufferedOutputStream> newStream(CSRef<CSOutputStream> stream);

    void close() override;
    void write(const char* data, size_t len) override;
    const char* getEOL() override { return iStream->getEOL(); }
    void flush() override;
    void write(char ch) override;
    void reset() override;
    const char* identify() override { return iStream->identify(); }
    uint64 sendFile(int fd, const char* name, uint64 offset, uint64 count) override;

    // Writes to `stream` from now on, as a new stream over it would: what was written and not
    // flushed is dropped. None leaves the stream unbound, not to be used until it is bound again.
    void rebind(CSRef<CSOutputStream> stream);
    size_t getBuffered() const { return iFill; }

private:
    CSRef<CSOutputStream> iStream;
    std::unique_ptr<char[]> iBuffer;
    size_t iFill = 0;
};

// Reads a caller's byte array, which must outlive the stream.
class CSMemoryInputStream : public CSInputStream {
public:
    CSMemoryInputStream(const void* data, size_t length)
        : iData(static_cast<const unsigned char*>(data)), iLength(length) {}
    static CSRef<CSMemoryInputStream> newStream(const void* data, size_t length);

    void close() override {}
    size_t read(char* data, size_t size) override;
    int read() override { return iPos < iLength ? iData[iPos++] : -1; }
    int peek() override { return iPos < iLength ? iData[iPos] : -1; }
    void reset() override { iPos = 0; }
    const char* identify() override { return "memory stream"; }

private:
    const unsigned char* iData;
    size_t iLength;
    size_t iPos = 0;
};

// Collects what is written in memory; when a write does not fit, the buffer grows by the larger of
// the write's length and the growth step.
class CSMemoryOutputStream : public CSOutputStream {
public:
    CSMemoryOutputStream(size_t initSize, size_t growSize);
    static CSRef<CSMemoryOutputStream> newStream(size_t initSize, size_t growSize);

    void close() override {}
    void write(const char* data, size_t len) override;
    const char* getEOL() override { return "\n"; }
    void flush() override {}
    void write(char ch) override { write(&ch, 1); }
    void reset() override { iData.clear(); }
    const char* identify() override { return "memory stream"; }

    const char* getMemory() const { return iData.data(); }
    size_t getSize() const { return iData.size(); }

private:
    std::vector<char> iData;
    size_t iGrowSize;
};

// Writes into a fixed caller buffer; a write larger than the free space raises -14008 and writes
// nothing.
class CSStaticMemoryOutputStream : public CSOutputStream {
public:
    CSStaticMemoryOutputStream(char* buffer, size_t size) : iBuffer(buffer), iSize(size) {}
    static CSRef<CSStaticMemoryOutputStream> newStream(char* buffer, size_t size);

    void close() override {}
    void write(const char* data, size_t len) override;
    const char* getEOL() override { return "\n"; }
    void flush() override {}
    void write(char ch) override { write(&ch, 1); }
    void reset() override { iUsed = 0; }
    const char* identify() override { return "memory stream"; }

    size_t getSize() const { return iUsed; }

private:
    char* iBuffer;
    size_t iSize;
    size_t iUsed = 0;
};

// Reads by calling a function: (buffer, size, reset) -> bytes delivered, 0 at the end. After reset()
// the next call passes reset = true. One byte is held back for peek().
class CSCallbackInputStream : public CSInputStream {
public:
    using Callback = std::function<size_t(char* buffer, size_t size, bool reset)>;

    explicit CSCallbackInputStream(Callback callback) : iCallback(std::move(callback)) {}
    static CSRef<CSCallbackInputStream> newStream(Callback callback);

    void close() override {}
    size_t read(char* data, size_t size) override;
    int read() override;
    int peek() override;
    void reset() override;
    const char* identify() override { return "callback stream"; }

private:
    size_t call(char* buffer, size_t size);

    Callback iCallback;
    bool iReset = false;
    int iPeeked = -1;
};
