// POST: the plain space commands (LOGIN, REMOVE, RENAME, DELETE), the XML commands (newspace,
// ping, GetSpaceStatistik) and their AES-encrypted form. A body that is no known command is taken
// to be encrypted under the server password's digest; it is decrypted and matched again, and the
// reply body of an encrypted request is encrypted the same way.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "CSAES.h"
#include "CSLockedFile.h"
#include "CSPath.h"
#include "CSStrUtil.h"
#include "ConnectionHandler_hvps.h"
#include "Deletion_hvps.h"
#include "DiskUsage_hvps.h"
#include "FileState_hvps.h"
#include "HVPSRequest.h"
#include "Space_hvps.h"
#include "config_hvps.h"

namespace {

// Largest POST body read: every command fits easily, and no client can make the server allocate
// at will (the limit is checked against Content-Length before anything is read).
constexpr uint64 kMaxPostBody = 1024 * 1024;
constexpr size_t kMaxNewName = 1023;
constexpr size_t kMaxListItem = 39;

// The body of the POST being served on this thread (after decryption, if any). Each connection
// handler serves one request at a time on its own thread; the command handlers read it from here.
thread_local std::string tPostBody;

struct ServerKey {
    unsigned char bytes[16];
};

// The 16 bytes whose hexadecimal form is the server-password parameter.
ServerKey serverKey() {
    ServerKey key{};
    cs_hex_to_bin(sizeof(key.bytes), key.bytes, hvps_system_parameters.iServerPassword.c_str());
    return key;
}

[[noreturn]] void throwAESError(const CSAES& aes) {
    int code = 0;
    const char* text = nullptr;
    aes.aes_get_error(&code, &text);
    CSException::throwException(CS_CONTEXT, HVPS_ERR_AES_BASE + code, text ? text : "AES error");
}

std::string decrypt(const std::string& message) {
    const ServerKey key = serverKey();
    const int length = static_cast<int>(message.size());
    std::vector<unsigned char> plain(static_cast<size_t>(CSAES::aes_decrypt_dest_len(length)) + 1);
    CSAESBuffer aes;
    if (!aes.aes_decrypt_data(key.bytes, sizeof(key.bytes),
                              reinterpret_cast<const unsigned char*>(message.data()), length, plain.data(),
                              static_cast<int>(plain.size())))
        throwAESError(aes);
    return std::string(reinterpret_cast<const char*>(plain.data()),
                       static_cast<size_t>(aes.getOutputLength()));
}

std::vector<unsigned char> encrypt(const char* data, size_t length) {
    const ServerKey key = serverKey();
    std::vector<unsigned char> message(
        static_cast<size_t>(CSAES::aes_encrypt_dest_len(static_cast<int>(length))));
    CSAESBuffer aes;
    if (!aes.aes_encrypt_data(key.bytes, sizeof(key.bytes), reinterpret_cast<const unsigned char*>(data),
                              static_cast<int>(length), message.data(), static_cast<int>(message.size())))
        throwAESError(aes);
    message.resize(static_cast<size_t>(aes.getOutputLength()));
    return message;
}

// The start of a body for an error message: all of it below 50 bytes, else 46 bytes and "...".
std::string bodyStart(const std::string& body) {
    if (body.size() < 50) return body;
    return body.substr(0, 46) + "...";
}

std::string dataPath(const std::string& resourcePath) {
    return hvps_system_parameters.iRepositoryPath + "/" + resourcePath;
}

// The resource path names something inside the space: "<id>/" and at least one more character.
// REMOVE and RENAME refuse the space directory itself, which a rename could otherwise turn into
// another space's directory or a marked one ("<other id>-TO_DELETE").
const char* requireFileInSpace(const std::string& resourcePath) {
    const char* path = resourcePath.c_str();
    const char* slash = strchr(path, '/');
    if (!slash || slash[1] == 0)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Illegal path: %s", path);
    return path;
}

// One statistics item read as a decimal id; 0 for anything that is not one.
uint32 listItemID(std::string_view item) {
    if (item.size() > kMaxListItem) item = item.substr(0, kMaxListItem);
    size_t i = 0;
    while (i < item.size() && (item[i] == ' ' || item[i] == '\t')) i++;
    uint64 value = 0;
    for (; i < item.size() && item[i] >= '0' && item[i] <= '9'; i++) {
        value = value * 10 + static_cast<uint64>(item[i] - '0');
        if (value > 0xFFFFFFFFull) return 0;
    }
    return static_cast<uint32>(value);
}

// The file of a REMOVE or RENAME, locked as an upload locks it, so that the command waits for an
// upload of the file to end and the disk usage sees the two one after the other; none when the
// path names no file.
CSRef<CSLockedFile> lockExistingFile(const std::string& resourcePath) {
    try {
        return CSLockedFile::lockFile(dataPath(resourcePath).c_str(), CSLockedFile::Exclusive);
    } catch (const CSException& e) {
        if (!CSSys::isNoSuchPath(e)) throw;
    }
    return {};
}

}  // namespace

void MSConnectionHandler::handlePost() {
    clearLastError();
    resetOutput(false);
    parseRequestURI();
    // A handler thread may live long after one large body: its copy is not kept past the request.
    struct ReleaseBody {
        ~ReleaseBody() { std::string().swap(tPostBody); }
    } releaseBody;
    iInputStream->readBody(kMaxPostBody, HVPS_ERR_BAD_REQUEST);
    tPostBody.assign(iInputStream->getBodyData(), iInputStream->getBodyLength());

    bool encrypted = false;
    for (;;) {
        const std::string_view body(tPostBody);
        if (body.starts_with("LOGIN"))
            doLogin();
        else if (body.starts_with("REMOVE"))
            doRemove();
        else if (body.starts_with("RENAME"))
            doRename();
        else if (body.starts_with("DELETE"))
            doDeleteSpace();
        else if (body.starts_with("<?xml"))
            doXMLCommand(encrypted);
        else if (encrypted)
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST,
                                         "POST data does not contain valid request: %s",
                                         bodyStart(tPostBody).c_str());
        else {
            tPostBody = decrypt(tPostBody);
            encrypted = true;
            continue;
        }
        break;
    }

    if (encrypted && iReplyPending && iOutputStream->getBodyLength() > 0) {
        std::vector<unsigned char> message =
            encrypt(iOutputStream->getBodyData(), iOutputStream->getBodyLength());
        iOutputStream->clearBody();
        iOutputStream->appendBody(reinterpret_cast<const char*>(message.data()), message.size());
    }
}

void MSConnectionHandler::doRemove() {
    verifySession();
    requireFileInSpace(iResourcePath);
    SpaceWriter writer(iSpaceID);
    CSRef<CSLockedFile> file = lockExistingFile(iResourcePath);
    if (file) {
        file->getPath()->removeFile();
        // A digest cached for the path described the removed file, not a later one of that name.
        FileStateList::fileChanged(file->getPathString(), 0);
        SystemParameters::setDiskUsage(file->lockedSize(), 0);
        prepareResponse(true, 200, 0, "Removed OK");
    } else {
        prepareResponse(true, 200, 0, "Already removed");
    }
}

void MSConnectionHandler::doRename() {
    verifySession();
    requireFileInSpace(iResourcePath);
    std::string_view name = std::string_view(tPostBody).substr(strlen("RENAME"));
    while (!name.empty() && (name.front() == '\r' || name.front() == '\n')) name.remove_prefix(1);
    name = name.substr(0, std::min(name.size(), kMaxNewName));
    name = name.substr(0, std::min(name.find('\r'), name.find('\n')));
    const std::string newName(name);
    // No request path holds "..", so neither may a new name: names with ".." are the server's own
    // (temporary files of uploads in progress), and a client must not be able to take them over.
    if (newName.find("..") != std::string::npos)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED, "Illegal path: %s", newName.c_str());

    SpaceWriter writer(iSpaceID);
    CSRef<CSLockedFile> file = lockExistingFile(iResourcePath);
    if (file) {
        CSRef<CSString> oldPath = CSRef<CSString>::retained(file->getPathString());
        std::string newPath = oldPath->getCString();
        newPath.replace(newPath.rfind('/') + 1, std::string::npos, newName);
        file->getPath()->rename(newName.c_str());
        // Digests cached for either name no longer describe the file that now has it.
        FileStateList::fileChanged(oldPath.get(), 0);
        FileStateList::fileChanged(CSString::newString(newPath.c_str()).get(), 0);
        prepareResponse(true, 200, 0, "Renamed OK");
    } else {
        prepareResponse(true, 200, 0, "Already renamed");
    }
}

void MSConnectionHandler::doDeleteSpace() {
    verifySession();
    const char* path = iResourcePath.c_str();
    const char* slash = strchr(path, '/');
    if (slash && slash[1] != 0)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad URL for delete space: %s", path);
    if (markSpaceForDeletion(iSpaceID))
        prepareResponse(true, 200, 0, "Delete OK");
    else
        prepareResponse(true, 200, 0, "Already deleted");
}

void MSConnectionHandler::doXMLCommand(bool encrypted) {
    HVPSRequest request;
    if (!request.parseData(tPostBody.data(), tPostBody.size(), 0)) {
        int code = 0;
        const char* text = nullptr;
        request.getError(&code, &text);
        CSException::throwException(CS_CONTEXT, HVPS_ERR_XML_BASE + code, text ? text : "XML parse error");
    }
    HVPSRequestData& data = request.data();
    const char* command = data.command;
    if (strcmp(command, "newspace") == 0) {
        if (!encrypted)
            CSException::throwException(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "POST data is not encrypted");
        doCreateSpace(data);
    } else if (strcmp(command, "ping") == 0) {
        doPing();
    } else if (strcmp(command, "GetSpaceStatistik") == 0) {
        doGetSpaceStatistics(data);
    } else if (*command) {
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Unknown XML command: %s", command);
    } else {
        CSException::throwException(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "No XML command specified");
    }
}

void MSConnectionHandler::doCreateSpace(HVPSRequestData& request) {
    uint32 id = 0;
    char hexKey[HVSpace::kHexKeySize];
    createSpace(request.title, &id, hexKey);

    const auto& params = hvps_system_parameters;
    CSHTTPOutputStream& out = *iOutputStream;
    out.appendBody("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    out.appendBody("<halvora><spaceurl>hvp://");
    out.appendBody(id);
    out.appendBody(":");
    out.appendBody(hexKey);
    out.appendBody("@");
    out.appendBody(params.iServerHost.c_str());
    out.appendBody(":");
    out.appendBody(static_cast<int>(params.iServerPort));
    out.appendBody("/");
    out.appendBody(params.iRepositoryName.c_str());
    out.appendBody("/</spaceurl></halvora>");
}

void MSConnectionHandler::doGetSpaceStatistics(HVPSRequestData& request) {
    const auto& params = hvps_system_parameters;
    CSHTTPOutputStream& out = *iOutputStream;
    out.appendBody("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    out.appendBody("<halvora><host>");
    out.appendBody("<interval>");
    out.appendBody(static_cast<unsigned int>(params.iPollInterval));
    out.appendBody("</interval>");
    out.appendBody("</host>");
    out.appendBody("<spacelist>");

    // Each id is answered once, at its first mention, and ids above the highest ever given out
    // (which never named a space here) not at all: whatever the list, the reply holds at most one
    // entry per space this server has had.
    const uint32 highestID = SpaceDatabase::getMaxSpaceID();
    std::unordered_set<uint32> answered;
    std::string_view list = request.spaceList ? std::string_view(request.spaceList->getCString()) : "";
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const uint32 id = listItemID(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (id == 0 || id > highestID || !answered.insert(id).second) continue;

        CSRef<HVSpace> space = findSpace(id);
        out.appendBody("<space>");
        out.appendBody("<sid>");
        out.appendBody(id);
        out.appendBody("</sid><sstat>");
        out.appendBody(space ? space->getStatus() : 4u);
        out.appendBody("</sstat><straf>");
        out.appendBody("-1");
        out.appendBody("</straf><sdisc>");
        out.appendBody("-1");
        out.appendBody("</sdisc><did>");
        out.appendBody("1");
        out.appendBody("</did><dtrafl>");
        out.appendBody("-1");
        out.appendBody("</dtrafl><dtrafu>");
        out.appendBody("-1");
        out.appendBody("</dtrafu><ddiscl>");
        if (params.iRepositorySize == 0)
            out.appendBody("-1");
        else
            out.appendBody(params.iRepositorySize);
        out.appendBody("</ddiscl><ddiscu>");
        out.appendBody(SystemParameters::currentDiskUsage());
        out.appendBody("</ddiscu></space>");
    }
    out.appendBody("</spacelist></halvora>");
}

void MSConnectionHandler::doPing() { prepareResponse(false, 200, 0, "Ping OK"); }
