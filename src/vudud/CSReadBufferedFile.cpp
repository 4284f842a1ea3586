#include "CSReadBufferedFile.h"

#include <algorithm>
#include <cstring>

#include "CSException.h"

CSReadBufferedFile::CSReadBufferedFile(CSRef<CSFile> file)
    : iFile(std::move(file)), iBuffer(new char[kBufferSize]) {
    if (!iFile) CSException::throwAssertion(CS_CONTEXT, "Buffered file needs a file");
}

CSRef<CSReadBufferedFile> CSReadBufferedFile::newFile(CSRef<CSFile> file) {
    return cs_new<CSReadBufferedFile>(std::move(file));
}

void CSReadBufferedFile::openFile(int mode) {
    iLength = 0;
    iFile->openFile(mode);
}

void CSReadBufferedFile::close() {
    iLength = 0;
    iFile->flush();
    iFile->close();
}

uint64 CSReadBufferedFile::getEOF() {
    uint64 end = iFile->getEOF();
    return iLength > 0 ? std::max(end, iStart + iLength) : end;
}

void CSReadBufferedFile::setEOF(uint64 size) {
    iFile->setEOF(size);
    if (size <= iStart)
        iLength = 0;
    else if (size < iStart + iLength)
        iLength = static_cast<uint32>(size - iStart);
}

void CSReadBufferedFile::fill(uint64 offset, size_t size, size_t min) {
    iLength = 0;
    size_t got = iFile->read(iBuffer.get(), offset, size, min);
    iStart = offset;
    iLength = static_cast<uint32>(got);
}

size_t CSReadBufferedFile::read(void* data, uint64 offset, size_t size, size_t min) {
    char* dst = static_cast<char*>(data);
    size_t total = 0;
    if (iLength > 0 && size > 0) {
        uint64 bufferEnd = iStart + iLength;
        uint64 requestEnd = offset + size;
        if (offset >= iStart && offset < bufferEnd) {
            // Starts inside the buffer: take what it has, then continue after it.
            size_t n = static_cast<size_t>(std::min<uint64>(size, bufferEnd - offset));
            memcpy(dst, iBuffer.get() + (offset - iStart), n);
            if (n == size) return size;
            dst += n;
            offset += n;
            size -= n;
            total += n;
            min = min > n ? min - n : 0;
        } else if (offset < iStart && requestEnd > iStart && requestEnd <= bufferEnd) {
            // Reading backwards: the tail comes from the buffer, the head from before it.
            size_t tail = static_cast<size_t>(requestEnd - iStart);
            size_t head = size - tail;
            memcpy(dst + head, iBuffer.get(), tail);
            if (head >= kBufferSize) {
                iFile->read(dst, offset, head, head);
            } else {
                uint64 start = iStart >= kBufferSize ? iStart - kBufferSize : 0;
                size_t length = static_cast<size_t>(iStart - start);
                fill(start, length, length);
                memcpy(dst, iBuffer.get() + (offset - start), head);
            }
            return size;
        } else if (offset < iStart && requestEnd > bufferEnd) {
            // Spans the whole buffer: served from the file.
            iFile->flush();
        }
    }
    if (size >= kBufferSize) return total + iFile->read(dst, offset, size, min);
    fill(offset, kBufferSize, min);
    size_t n = std::min<size_t>(size, iLength);
    memcpy(dst, iBuffer.get(), n);
    return total + n;
}

void CSReadBufferedFile::write(const void* data, uint64 offset, size_t size) {
    iFile->write(data, offset, size);
    uint64 from = std::max(offset, iStart);
    uint64 to = std::min(offset + size, iStart + iLength);
    if (iLength > 0 && from < to)
        memcpy(iBuffer.get() + (from - iStart), static_cast<const char*>(data) + (from - offset),
               static_cast<size_t>(to - from));
}
