// GET of a file in a space: the whole file or a window of it chosen by "Seek-Pos" and
// "Maximum-Length". Downloads need no session; the file is read under a shared lock.
#include <algorithm>
#include <cstring>
#include <memory>

#include "CSFile.h"
#include "CSPath.h"
#include "ConnectionHandler_hvps.h"
#include "Network_hvps.h"
#include "Session_hvps.h"
#include "config_hvps.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;

// One copy buffer per handler thread, made at its first download.
char* copyBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer = std::make_unique<char[]>(kCopyBufferSize);
    return buffer.get();
}

// A window header as a number; `fallback` when absent. A value that is not a whole decimal number
// is refused: reading it as 0 would send the wrong bytes.
uint64 windowValue(CSHTTPInputStream* in, const char* name, uint64 fallback) {
    const char* text = in->getHeaderCStringValue(name);
    if (!text) return fallback;
    uint64 value;
    if (!hvps_parse_decimal(text, &value))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad %s value: %s", name, text);
    return value;
}

// The extension of the last path component, or null when it has none.
const char* extensionOf(const char* path) {
    const char* name = strrchr(path, '/');
    name = name ? name + 1 : path;
    const char* dot = strrchr(name, '.');
    return dot && dot[1] ? dot + 1 : nullptr;
}

}  // namespace

void MSConnectionHandler::handleSpaceGet() {
    verifySpace();

    const char* path = iResourcePath ? iResourcePath->getCString() : "";
    CSRef<CSFile> file = CSFile::newFile((hvps_system_parameters.iRepositoryPath + "/" + path).c_str());
    bool isDir = false;
    // A folder is no file to send: reading it would fail only after the reply head is out.
    if (!file->getPath()->exists(&isDir) || isDir)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_FILE_NOT_FOUND, "File not found: %s", path);
    file->open(CSFile::READONLY);
    file->lock();
    uint64 size = file->getEOF();
    iOutputStream->addHeader("P1Length", size);

    uint64 start = windowValue(iInputStream.get(), "Seek-Pos", 0);
    uint64 limit = windowValue(iInputStream.get(), "Maximum-Length", size);
    uint64 count = start > size ? 0 : size - start;
    start = std::min(start, size);
    count = std::min(count, limit);

    iOutputStream->addHeader("Pragma", "no-cache");
    if (const char* ext = extensionOf(path))
        if (const char* type = MSNetwork::getMimeType(ext)) iOutputStream->addHeader("Content-Type", type);

    iOutputStream->setContentLength(count);
    iReplyPending = false;
    iOutputStream->writeHead(hvps_system_parameters.iTraceOn);

    // The socket sits under two stream layers that do not expose it, so the body is copied through
    // user space; a block of this size bypasses the output buffer and goes to the socket in one send.
    // A file that shrinks while it is sent ends the body early: the peer sees fewer bytes than
    // announced, and the connection stays usable for the server.
    char* buffer = copyBuffer();
    while (count > 0) {
        size_t n =
            file->read(buffer, start, static_cast<size_t>(std::min<uint64>(count, kCopyBufferSize)), 0);
        if (n == 0) break;
        iOutputStream->write(buffer, n);
        count -= n;
        start += n;
    }
    iOutputStream->flush();
}
