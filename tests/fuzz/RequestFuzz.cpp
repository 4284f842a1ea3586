// A whole connection's byte stream through the server's request loop, over memory streams, against
// a repository in a temporary directory with two spaces holding files. Whatever the bytes:
// - every reply is a well-formed HTTP/1.1 message with a status and a body of its stated length;
// - no reply carries the bytes of a file outside the spaces (a marker file next to the repository)
//   or a space key (kept in space-db);
// - nothing outside the repository directory is created or changed.
// So that uploads, renames and removals are reached, the input may hold "@@K" and a digit n: it
// reads as the key code that session n needs at that moment (nothing when there is no session n).
// The repository and the session table are laid out afresh before every input, so that each input
// runs from the same state; space 1 also holds "link.txt", a symbolic link to the marker. With
// HVPS_FUZZ_TRACE set, the replies to each input are printed.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "CSException.h"
#include "CSHTTPStream.h"
#include "CSLog.h"
#include "CSStream.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "DiskUsage_hvps.h"
#include "FileState_hvps.h"
#include "FuzzSupport.h"
#include "Restore_hvps.h"
#include "Session_hvps.h"
#include "Space_hvps.h"
#include "config_hvps.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kOutsideMarker = "OUTSIDE-THE-REPOSITORY-3f9c1e";

std::string gRoot;     // holds data/ (the repository) and outside.txt
std::string gData;     // the repository directory
std::string gSpaceDB;  // space-db as written when the spaces were made
char gKeys[2][HVSpace::kHexKeySize];
CSRef<CSThread> gThread;
bool gTrace = false;  // HVPS_FUZZ_TRACE set: print every input's replies

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void removeRoot() {
    std::error_code ignored;
    if (!gRoot.empty()) fs::remove_all(gRoot, ignored);
}

// Both spaces with a file and a protocol log, and a link in space 1 to the marker.
void layOutSpaces() {
    for (int id : {1, 2}) {
        const std::string dir = gData + "/" + std::to_string(id);
        fs::create_directories(dir + "/protolog");
        writeText(dir + "/a.txt", "inside the space");
        writeText(dir + "/protolog/last.log", std::string(100, 'L'));
    }
    fs::create_symlink(gRoot + "/outside.txt", gData + "/1/link.txt");
}

// The repository, the space table, the disk usage, the sessions and the file-state cache as
// LLVMFuzzerInitialize left them.
void resetRepository() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(gData))
        if (entry.path().filename() != "space-db") fs::remove_all(entry.path(), ignored);
    layOutSpaces();
    writeText(gData + "/space-db", gSpaceDB);
    writeText(gData + "/disk-usage", "0");
    freeSpaces();
    loadSpaces();
    SystemParameters::loadDiskUsage();
    SessionList::init();
    freeFileState();
    initFileState();
}

// Reads the input bytes, replacing "@@K<n>" with the current key code of session n.
class KeyCodeStream : public CSInputStream {
public:
    KeyCodeStream(const uint8_t* data, size_t size) : iData(data), iSize(size) {}

    void close() override {}
    void reset() override {}
    const char* identify() override { return "fuzz input"; }
    int peek() override {
        expand();
        if (!iPending.empty()) return static_cast<unsigned char>(iPending.front());
        return iPos < iSize ? iData[iPos] : -1;
    }
    int read() override {
        int ch = peek();
        if (!iPending.empty())
            iPending.erase(0, 1);
        else if (ch >= 0)
            iPos++;
        return ch;
    }
    size_t read(char* data, size_t size) override {
        size_t n = 0;
        for (int ch; n < size && (ch = read()) >= 0;) data[n++] = static_cast<char>(ch);
        return n;
    }

private:
    void expand() {
        if (!iPending.empty() || iSize - iPos < 4 || std::memcmp(iData + iPos, "@@K", 3) != 0) return;
        uint32 number = iData[iPos + 3] - '0';
        if (number > 9) return;
        iPos += 4;
        std::lock_guard<CSLock> guard(SessionList::lock);
        HVSession* session = SessionList::getSession(number);
        if (!session) return;
        CSRef<HVSpace> space = SpaceDatabase::get(session->getSpaceID());
        if (!space) return;
        char code[HVSession::kKeyCodeSize];
        session->getKeyCode(space->getKey(), code);
        iPending = code;
    }

    const uint8_t* iData;
    size_t iSize;
    size_t iPos = 0;
    std::string iPending;
};

// Checks that `bytes` is a run of complete replies, each with a status and a matching body.
void checkReplies(const std::string& bytes) {
    auto in = CSHTTPInputStream::newStream(CSMemoryInputStream::newStream(bytes.data(), bytes.size()));
    try {
        for (int i = 0; i < 10000; i++) {
            in->readHead();
            if (!in->getHTTPVersion()) {
                FUZZ_CHECK(in->numHeaders() == 0);
                return;
            }
            FUZZ_CHECK(std::strcmp(in->getHTTPVersion(), "HTTP/1.1") == 0);
            FUZZ_CHECK(in->getStatus() >= 100 && in->getStatus() <= 599);
            uint64 length = 0;
            FUZZ_CHECK(in->getContentLength(&length));
            in->readBody(1 << 30);
        }
    } catch (const CSException& e) {
        std::fprintf(stderr, "malformed reply (%s):\n%s\n", e.getMessage(), bytes.c_str());
        FUZZ_CHECK(!"the server's replies read back");
    }
    FUZZ_CHECK(!"more replies than any input can ask for");
}

std::set<std::string> rootEntries() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(gRoot)) names.insert(entry.path().filename());
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char base[] = "/tmp/hvps-request-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(base) != nullptr);
    gRoot = base;
    gTrace = std::getenv("HVPS_FUZZ_TRACE") != nullptr;
    gData = gRoot + "/data";
    std::atexit(removeRoot);
    fs::create_directories(gData);
    writeText(gRoot + "/outside.txt", kOutsideMarker);
    writeText(gData + "/space-db", "");
    writeText(gData + "/disk-usage", "0");

    CSThread::startUp();
    gThread = CSThread::newCSThread();
    CSThread::setSelf(gThread.get());
    CSL.setStream(std::fopen("/dev/null", "w"));

    setConfigDefaults();
    hvps_system_parameters.iRepositoryPath = gData;
    hvps_system_parameters.iRepositoryName = "repo";
    hvps_system_parameters.iServerPassword = "5EBE2294ECD0E0F08EAB7690D2A6EE69";
    hvps_system_parameters.iRepositorySize = 1 << 20;
    hvps_system_parameters.iPutVerifyTimeout = 1000;
    loadSpaces();
    for (auto* key : gKeys) {
        uint32 id = 0;
        createSpace("space", &id, key);
    }
    gSpaceDB = readText(gData + "/space-db");
    loadAndSetRestoreState();
    initSessions();
    initFileState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetRepository();
    auto handler = MSConnectionHandler::newHandler(nullptr);
    auto out = CSMemoryOutputStream::newStream(1024, 4096);
    handler->iInputStream = CSHTTPInputStream::newStream(cs_new<KeyCodeStream>(data, size));
    handler->iOutputStream = CSHTTPOutputStream::newStream(out);
    try {
        handler->serviceConnection();
    } catch (const CSException& e) {
        handler->setLastException(e);
    }
    handler->close();

    std::string replies(out->getMemory(), out->getSize());
    if (gTrace) std::fprintf(stderr, "%s\n----\n", replies.c_str());
    checkReplies(replies);
    // Error messages quote the request, so a secret the input itself holds may come back.
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const char* secret :
         {kOutsideMarker, static_cast<const char*>(gKeys[0]), static_cast<const char*>(gKeys[1])})
        if (input.find(secret) == std::string_view::npos)
            FUZZ_CHECK(replies.find(secret) == std::string::npos);
    FUZZ_CHECK((rootEntries() == std::set<std::string>{"data", "outside.txt"}));
    FUZZ_CHECK(readText(gRoot + "/outside.txt") == kOutsideMarker);
    return 0;
}
