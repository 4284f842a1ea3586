// CSReadBufferedFile: a CSFile with a 64 KiB read buffer, for callers that read a file in small
// pieces, forwards or backwards. Writes go straight through to the file and update the buffered
// copy, so reads always see them. Holds a reference to the wrapped file; one thread at a time.
#pragma once

#include <memory>

#include "CSDefs.h"
#include "CSFile.h"
#include "CSObject.h"

class CSReadBufferedFile : public CSRefObject {
public:
    static constexpr size_t kBufferSize = 65536;

    explicit CSReadBufferedFile(CSRef<CSFile> file);
    static CSRef<CSReadBufferedFile> newFile(CSRef<CSFile> file);

    CSFile* getFile() const { return iFile.get(); }

    // Opening (again) forgets the buffered bytes.
    void openFile(int mode);
    // Flushes and closes the file and empties the buffer.
    void close();
    void lock() { iFile->lock(); }
    void unlock() { iFile->unlock(); }
    // The larger of the file's end and the buffer's end.
    uint64 getEOF();
    // Truncates the file; buffered bytes at or past `size` are dropped.
    void setEOF(uint64 size);
    // As CSFile::read: fewer than `min` bytes raise the end-of-file error.
    size_t read(void* data, uint64 offset, size_t size, size_t min);
    void write(const void* data, uint64 offset, size_t size);
    void flush() { iFile->flush(); }
    void sync() { iFile->sync(); }
    const char* getEOL() { return iFile->getEOL(); }
    CSString* getPathString() { return iFile->getPathString(); }

    // The buffered range (for tests and diagnostics).
    uint64 getBufferStart() const { return iStart; }
    uint32 getBufferLength() const { return iLength; }

private:
    // Fills the buffer with `size` bytes at `offset` (at least `min`); the buffer is empty if the
    // read raises, so it never holds bytes from another offset.
    void fill(uint64 offset, size_t size, size_t min);

    CSRef<CSFile> iFile;
    std::unique_ptr<char[]> iBuffer;
    uint64 iStart = 0;
    uint32 iLength = 0;
};
