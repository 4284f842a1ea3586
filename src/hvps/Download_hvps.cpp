// GET of a file in a space: the whole file or a window of it chosen by "Seek-Pos" and
// "Maximum-Length". Downloads need no session; the file is read under a shared lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "CSSys.h"
#include "ConnectionHandler_hvps.h"
#include "Network_hvps.h"
#include "Session_hvps.h"
#include "config_hvps.h"

namespace {

// Bodies below this size are copied into the output buffer behind the reply head, so that head and
// body leave in one send; larger ones are handed to the system to copy from the file to the socket.
constexpr uint64 kSendFileMinimum = 16384;

template <class Call>
int retryInterrupted(Call call) {
    for (int attempt = 0;; ++attempt) {
        int result = call();
        if (result != -1 || errno != EINTR || attempt >= 1000) return result;
        CSSys::sys_checkSignal();
        errno = EINTR;
    }
}

// The file of a download, open for reading under a shared lock, both held until the object goes.
// The length is taken once the lock is held. A missing file or a folder is refused as not found.
class DownloadFile {
public:
    DownloadFile(const std::string& path, const char* requestPath) : iPath(path) {
        iHandle =
            retryInterrupted([&] { return CSSys::ops().os_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0); });
        if (iHandle == -1) {
            const int err = errno;
            if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP) notFound(requestPath);
            CSException::throwFileError(CS_CONTEXT, err, path.c_str());
        }
        struct stat st {};
        if (retryInterrupted([&] { return CSSys::ops().os_flock(iHandle, LOCK_SH); }) == -1 ||
            ::fstat(iHandle, &st) == -1) {
            const int err = errno;
            CSSys::ops().os_close(std::exchange(iHandle, -1));
            CSException::throwFileError(CS_CONTEXT, err, path.c_str());
        }
        // A folder is no file to send: reading it would fail only after the reply head is out.
        if (S_ISDIR(st.st_mode)) notFound(requestPath);
        iSize = static_cast<uint64>(st.st_size);
    }
    ~DownloadFile() {
        if (iHandle != -1) CSSys::ops().os_close(iHandle);
    }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    int handle() const { return iHandle; }
    uint64 size() const { return iSize; }
    const char* path() const { return iPath.c_str(); }

private:
    [[noreturn]] void notFound(const char* requestPath) {
        CSSys::ops().os_close(std::exchange(iHandle, -1));
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_FILE_NOT_FOUND, "File not found: %s", requestPath);
    }

    std::string iPath;
    int iHandle = -1;
    uint64 iSize = 0;
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

    const char* path = iResourcePath ? iResourcePath->getCString() : "";
    DownloadFile file(hvps_system_parameters.iRepositoryPath + "/" + path, path);
    uint64 size = file.size();
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
        iOutputStream->CSOutputStream::sendFile(file.handle(), file.path(), start, count);  // buffered copy
    else
        iOutputStream->sendFile(file.handle(), file.path(), start, count);
    iOutputStream->flush();
}
