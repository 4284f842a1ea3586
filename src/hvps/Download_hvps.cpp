// GET of a file in a space: the whole file or a window of it chosen by "Seek-Pos" and
// "Maximum-Length". Downloads need no session; the file is read under a shared lock.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "CSLockedFile.h"
#include "ConnectionHandler_hvps.h"
#include "Network_hvps.h"
#include "Session_hvps.h"
#include "config_hvps.h"

namespace {

// Bodies below this size are copied into the output buffer behind the reply head, so that head and
// body leave in one send; larger ones are handed to the system to copy from the file to the socket.
constexpr uint64 kSendFileMinimum = 16384;

// Opens the file of a download into `file`, for reading under a shared lock; `path` gets its full
// path. `held` tells its length as it was when the lock was taken. A missing file or a folder is
// refused as not found, a path through a link inside the repository as illegal.
void openDownload(CSSysFile& file, std::string& path, const char* requestPath, struct stat* held) {
    const std::string& base = hvps_system_parameters.iRepositoryPath;
    path.assign(base).append("/").append(requestPath);
    // Named as a path object names it, without a last "/".
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    bool found = false;
    try {
        try {
            // The open itself refuses a link below the repository (which may lie behind a link of
            // its own), so no link can be placed between a look at the path and the open.
            CSLockedFile::lockOpen(file, path.c_str(), CSLockedFile::Shared, true, base.size(), held);
            found = true;
        } catch (const CSException& e) {
            if (e.getErrorCode() != ELOOP) throw;
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Illegal path: %s", requestPath);
        }
    } catch (const CSException& e) {
        if (!CSSys::isNoSuchPath(e)) throw;
    }
    // A folder is no file to send: reading it would fail only after the reply head is out.
    if (!found || S_ISDIR(held->st_mode))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_FILE_NOT_FOUND, "File not found: %s", requestPath);
}

// Closes a download's file when the request ends, however it ends (which releases its lock).
class DownloadClose {
public:
    explicit DownloadClose(CSSysFile& file) : iFile(file) {}
    ~DownloadClose() {
        try {
            iFile.sf_close();
        } catch (const CSException&) {
            // A file that was only read loses nothing when its close fails.
        }
    }
    DownloadClose(const DownloadClose&) = delete;
    DownloadClose& operator=(const DownloadClose&) = delete;

private:
    CSSysFile& iFile;
};

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

    const char* path = iResourcePath.c_str();
    DownloadClose closeAtEnd(iDownloadFile);
    struct stat held {};
    openDownload(iDownloadFile, iDownloadPath, path, &held);
    const uint64 size = static_cast<uint64>(held.st_size);
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

    // A file that shrinks while it is sent ends the body early: the peer sees fewer bytes than
    // announced, and the connection stays usable for the server.
    if (count < kSendFileMinimum)
        iOutputStream->CSOutputStream::sendFile(iDownloadFile.handle(), iDownloadFile.path(), start,
                                                count);  // buffered copy
    else
        iOutputStream->sendFile(iDownloadFile.handle(), iDownloadFile.path(), start, count);
    iOutputStream->flush();
}
