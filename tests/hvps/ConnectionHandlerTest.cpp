// The request loop, path rules and reply envelopes of MSConnectionHandler, driven over memory
// streams: the bytes a client sends go in, the bytes it would receive come out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CSException.h"
#include "CSHTTPStream.h"
#include "CSStream.h"
#include "CSSys.h"
#include "ConnectionHandler_hvps.h"
#include "FileState_hvps.h"
#include "Session_hvps.h"
#include "Space_hvps.h"
#include "SyscallLog.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

const std::string kPingBody =
    "<?xml version='1.0' encoding='UTF-8' ?><halvora><httpstatus>200 OK</httpstatus>"
    "<intresult>0</intresult><message>Ping OK</message></halvora>";

class ConnectionHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { hvps_system_parameters.iRepositoryName = "repo"; }

    // A handler whose connection reads `request` and writes into iOut: `out`, or a memory stream.
    CSRef<MSConnectionHandler> handlerFor(const std::string& request, CSRef<CSMemoryOutputStream> out = {}) {
        iRequest = request;
        auto handler = MSConnectionHandler::newHandler(nullptr);
        iOut = out ? std::move(out) : CSMemoryOutputStream::newStream(1024, 1024);
        handler->borrow(
            cs_new<MSConnection>(CSMemoryInputStream::newStream(iRequest.data(), iRequest.size()), iOut));
        return handler;
    }

    // Serves one connection the way a pool thread does and returns everything written back.
    std::string serve(const std::string& request, CSRef<CSMemoryOutputStream> out = {}) {
        auto handler = handlerFor(request, std::move(out));
        try {
            handler->serviceConnection();
        } catch (const CSException& e) {
            handler->setLastException(e);
        }
        handler->close();
        return written();
    }

    std::string written() const { return std::string(iOut->getMemory(), iOut->getSize()); }

    TempDir iDir;
    hvps_test::CapturedLog iLog;
    std::string iRequest;
    CSRef<CSMemoryOutputStream> iOut;
};

// One reply as the server writes it: the status line, `headers` (each ending in CRLF),
// Content-Length and the body.
std::string replyBytes(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// The headers every reply begins with before it is refused or sent as it stands.
std::string openingHeaders(const std::string& connection) {
    return std::string("Server: ") + MSConnectionHandler::serverHeader() +
           "\r\nContent-Type: text/html\r\nConnection: " + connection + "\r\n";
}

std::string errorBody(const std::string& status, int statusWord, int code, const std::string& message) {
    return "<?xml version='1.0' encoding='UTF-8' ?><halvora><httpstatus>" + status + "</httpstatus><status>" +
           std::to_string(statusWord) + "</status><exception><errorcode>" + std::to_string(code) +
           "</errorcode><message>" + message + "</message></exception></halvora>";
}

// A connection stays open for a second request unless the client asks to close it or speaks HTTP/1.0
// without asking to keep it (a list of tokens, matched without regard to case).
TEST_F(ConnectionHandlerTest, ConnectionHeaderAndVersionDecideWhetherTheNextRequestIsServed) {
    const std::pair<std::string, bool> cases[] = {
        {"GET /ping.xml HTTP/1.1\r\nHost: x\r\n\r\n", true},
        {"GET /PING.XML HTTP/1.1\r\nConnection: TE, close\r\n\r\n", false},
        {"GET /ping.xml HTTP/1.0\r\n\r\n", false},
        {"GET /ping.xml HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
        {"GET /ping.xml HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
    };
    for (const auto& [request, staysOpen] : cases) {
        const std::string reply =
            replyBytes("200 OK", openingHeaders(staysOpen ? "Keep-Alive" : "close"), kPingBody);
        EXPECT_EQ(serve(request + request), staysOpen ? reply + reply : reply) << request;
    }
}

TEST_F(ConnectionHandlerTest, ErrorRepliesCloseTheConnectionWithOnlyConnectionAndLengthHeaders) {
    struct Case {
        std::string request;
        std::string status;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"GET /other/file.txt HTTP/1.1\r\n\r\n", "403 Forbidden", -25012, "Invalid URL: other/file.txt"},
        {"DELETE /repo/5/f HTTP/1.1\r\n\r\n", "405 Method Not Allowed", -14006,
         "Unknown HTTP method: DELETE"},
        // Client text in a reply is escaped, so the XML stays well-formed and no markup runs.
        {"GET /<script>&x HTTP/1.1\r\n\r\n", "403 Forbidden", -25012, "Invalid URL: &lt;script&gt;&amp;x"},
        // A body framed otherwise than by one Content-Length could be read as a request of its own.
        {"PUT /repo/5/f HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "411 Length Required",
         -25017, "Transfer-Encoding not supported: chunked"},
        {"PUT /repo/5/f HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
         "400 Bad Request", -25014, "Content-Length with Transfer-Encoding"},
        {"PUT /repo/5/f HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\n", "400 Bad Request",
         -25014, "Conflicting Content-Length values: 3 and 30"},
        {"POST /repo HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "400 Bad Request", -25014,
         "Bad Content-Length value: -1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        // The second request must never be answered: the connection ends with the error.
        EXPECT_EQ(serve(c.request + "GET /ping.xml HTTP/1.1\r\n\r\n"),
                  replyBytes(c.status, "Connection: close\r\n", errorBody(c.status, 0, c.code, c.message)));
    }
}

TEST_F(ConnectionHandlerTest, RequestPathsAreSplitIntoSpaceIdAndResourcePath) {
    struct Case {
        std::string uri;
        bool inSpace;
        uint32 spaceID;
        std::string resourcePath;
        std::string error;  // message of the -25012 refusal, or empty
    };
    const std::string name150(150, 'n');
    const std::vector<Case> cases = {
        {"/repo/5/dir/file.txt", true, 5, "5/dir/file.txt", ""},
        {"/repo/5", true, 5, "5", ""},
        {"/repo/5/", true, 5, "5/", ""},
        {"/repo/4294967295/f", true, 4294967295u, "4294967295/f", ""},
        {"/repo//f", true, 0, "f", ""},  // no id: left to the access checks
        {"/repo/5?SeekPos=3", true, 5, "5", ""},
        {"/other/5/f", false, 0, "other/5/f", ""},
        {"/ping.xml", false, 0, "ping.xml", ""},
        // Anything but the exact decimal id would name another directory than the space's own.
        {"/repo/05/f", true, 0, "", "Illegal path: 05/f"},
        {"/repo/5abc/f", true, 0, "", "Illegal path: 5abc/f"},
        {"/repo/5-TO_DELETE/f", true, 0, "", "Illegal path: 5-TO_DELETE/f"},
        {"/repo/4294967296/f", true, 0, "", "Illegal path: 4294967296/f"},
        {"/repo/5/../6/f", true, 5, "", "Illegal path: 5/../6/f"},
        {"/a..b", false, 0, "", "Illegal path: a..b"},
        {"/" + name150, false, 0, name150, ""},
        {"/" + name150 + "x", false, 0, "", "Requested file path too long (151 characters > 150)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        auto handler = handlerFor("GET " + c.uri + " HTTP/1.1\r\n\r\n");
        handler->iInputStream->readHead();
        try {
            EXPECT_EQ(handler->parseRequestURI(), c.inSpace);
            EXPECT_TRUE(c.error.empty()) << "accepted";
            EXPECT_EQ(handler->iSpaceID, c.spaceID);
            ASSERT_TRUE(handler->iHasResourcePath);
            EXPECT_EQ(handler->iResourcePath, c.resourcePath);
            EXPECT_FALSE(handler->iSpace);  // the space database is empty
        } catch (const CSException& e) {
            EXPECT_EQ(e.getErrorCode(), -25012);
            EXPECT_EQ(e.getMessage(), c.error);
        }
    }
}

TEST_F(ConnectionHandlerTest, UrlArgumentsReplaceTheHeadersOfTheSameMeaning) {
    auto handler = handlerFor(
        "GET /repo/5/f?seekpos=10&MAXIMUMLENGTH=20&P1RID&other=1 HTTP/1.1\r\n"
        "Seek-Pos: 99\r\nSeek-Pos: 98\r\nMaximum-Length: 7\r\nP1RID: 4\r\n\r\n");
    handler->iInputStream->readHead();
    handler->parseRequestURI();
    CSHTTPInputStream& in = *handler->iInputStream;
    uint32 seekPos = 0;
    for (uint32 i = 0; i < in.numHeaders(); i++)
        if (in.getHeader(i)->hasName("Seek-Pos")) seekPos++;
    EXPECT_EQ(seekPos, 1u);
    EXPECT_STREQ(in.getHeaderCStringValue("Seek-Pos"), "10");
    EXPECT_STREQ(in.getHeaderCStringValue("Maximum-Length"), "20");
    // An argument without a value is ignored; so are unknown ones.
    EXPECT_STREQ(in.getHeaderCStringValue("P1RID"), "4");
    EXPECT_EQ(in.getHeaderCStringValue("other"), nullptr);
}

// Replies with status 200 or 100 keep the headers already set (the next challenge); all others
// carry only Connection and Content-Length.
TEST_F(ConnectionHandlerTest, ErrorCodesMapToTheirStatusFormAndStatusWord) {
    struct Case {
        int code;
        std::string status;
        bool html;
        int statusWord;
        std::string extra;  // at the end of the body
    };
    const std::vector<Case> cases = {
        {ENOENT, "404 Not Found", true, 0, ""},
        {ENOTDIR, "404 Not Found", true, 0, ""},
        {-25015, "404 Not Found", true, 0, ""},
        {-2, "417 Expectation Failed", false, 0, ""},
        {-3, "417 Expectation Failed", false, 0, ""},
        {-14014, "400 Bad Request", false, 0, ""},
        {-14019, "400 Bad Request", false, 0, ""},
        {-25014, "400 Bad Request", false, 0, ""},
        {-25010, "404 Not Found", false, 4, ""},
        {-25011, "403 Forbidden", false, 0, ""},
        {-25013, "503 Service Unavailable", false, 0, ""},
        {-25016, "503 Service Unavailable", false, 0x10, ""},
        {-1, "500 Internal Server Error", false, 0, ""},
        {-14020, "500 Internal Server Error", false, 0, ""},
        {EACCES, "500 Internal Server Error", false, 0, ""},
        {-25101, "200 OK", false, 0, ""},
        {-25106, "200 OK", false, 0, ""},
        {-25201, "200 OK", false, 0, ""},
        {-25202, "200 OK", false, 0, ""},
        {-6, "100 Continue", false, 0, "<md5offset>65536</md5offset><filelength>1000000</filelength>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        auto handler = handlerFor("");
        handler->resetOutput(false);
        handler->iOutputStream->addHeader("P1NextCode", "ABCD");
        handler->iMD5Offset = 65536;
        handler->iFileLength = 1000000;
        handler->setLastException(CSException(CS_CONTEXT, c.code, "a<b"));
        handler->iReplyPending = true;
        handler->writeException();
        EXPECT_FALSE(handler->iReplyPending);
        const bool keepsHeaders = c.status.starts_with("200") || c.status.starts_with("100");
        std::string body = errorBody(c.status, c.statusWord, c.code, "a&lt;b");
        body.insert(body.size() - std::string("</halvora>").size(), c.extra);
        if (c.html)
            body = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\"><html><head><title>" + c.status +
                   "</title></head><body><h1>" + c.status.substr(4) + "</h1><p>a&lt;b</p></body></html>";
        EXPECT_EQ(written(), replyBytes(c.status,
                                        keepsHeaders ? openingHeaders("close") + "P1NextCode: ABCD\r\n"
                                                     : "Connection: close\r\n",
                                        body));
    }
}

TEST_F(ConnectionHandlerTest, RepliesForAKnownSpaceReportItsStatusAndRestorePoint) {
    TempDir repo;
    hvps_system_parameters.iRepositoryPath = repo.path();
    ASSERT_TRUE(writeFile(repo.file("space-db"), ""));
    loadSpaces();
    uint32 id = 0;
    char key[HVSpace::kHexKeySize];
    createSpace("title", &id, key);
    CSRef<HVSpace> space = findSpace(id);
    freeSpaces();
    space->setStatusBits(0x80);
    space->setRestoreState(1234567890123ull, 7, 4096);

    auto handler = handlerFor("");
    handler->iSpaceID = id;
    handler->iSpace = space;
    handler->resetOutput(true);
    handler->prepareResponse(false, 201, 0, "Put <OK>");
    EXPECT_EQ(std::string(handler->iOutputStream->getBodyData(), handler->iOutputStream->getBodyLength()),
              "<?xml version='1.0' encoding='UTF-8' ?><halvora><httpstatus>201 Created</httpstatus>"
              "<status>128</status><intresult>0</intresult><message>Put &lt;OK&gt;</message></halvora>");

    handler->setLastException(CSException(CS_CONTEXT, -25018, "recover"));
    handler->writeException();
    std::string body = errorBody("503 Service Unavailable", 0x80 | 0x200, -25018, "recover");
    body.insert(body.size() - std::string("</halvora>").size(),
                "<restoreid>1234567890123</restoreid><lastlog>7</lastlog><logoffset>4096</logoffset>");
    EXPECT_EQ(written(), replyBytes("503 Service Unavailable", "Connection: close\r\n", body));
}

TEST_F(ConnectionHandlerTest, PeerClosingBeforeAnyRequestGetsNoReply) {
    EXPECT_EQ(serve(""), "");
    // A reply status line is not a request either.
    EXPECT_EQ(serve("HTTP/1.1 200 OK\r\n\r\n"), "");
}

}  // namespace

// Writes into a memory stream and notes the first byte of a reply in `calls`.
class ReplyRecorder : public CSMemoryOutputStream {
public:
    explicit ReplyRecorder(std::vector<std::string>* calls)
        : CSMemoryOutputStream(1024, 1024), iCalls(calls) {}
    void write(const char* data, size_t len) override {
        if (getSize() == 0) iCalls->push_back("reply");
        CSMemoryOutputStream::write(data, len);
    }

private:
    std::vector<std::string>* iCalls;
};

// Without the flushes (or with them in another order) a power cut after the reply can lose the
// acknowledged bytes, the name that makes them the file, or leave a journal note that undoes them.
TEST_F(ConnectionHandlerTest, AnUploadIsFlushedInTheOrderAPowerCutNeedsBeforeItIsAnswered) {
    TempDir repo;
    hvps_system_parameters.iRepositoryPath = repo.path();
    hvps_system_parameters.iRestoreID = 1;
    hvps_system_parameters.iRepositorySize = 0;
    hvps_system_parameters.iSyncUploads = true;
    ASSERT_TRUE(writeFile(repo.file("space-db"), ""));
    loadSpaces();
    initSessions();
    uint32 id = 0;
    char key[HVSpace::kHexKeySize];
    createSpace("title", &id, key);
    CSRef<HVSpace> space = findSpace(id);
    HVSession* session = SessionList::createSession(space.get());
    const std::string folder = std::to_string(id);
    std::filesystem::create_directories(repo.file(folder));
    ASSERT_TRUE(writeFile(repo.file(folder + "/f"), "old"));
    const std::string journal = "upload-journal-0";
    const std::string repoName = repo.path().substr(repo.path().rfind('/') + 1);

    struct Case {
        const char* what;
        std::string path;
        const char* seekPos;  // none: replace
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        // The thread's first upload also makes its journal, whose name must be on disk first.
        {"append",
         "f",
         "EOF",
         {"fsync " + repoName, "write " + journal, "fdatasync " + journal, "write f", "fdatasync f",
          "write " + journal, "fdatasync " + journal, "reply"}},
        {"replace",
         "f",
         nullptr,
         {"write temp", "fdatasync temp", "rename temp f", "fsync " + folder, "reply"}},
        {"new file in a new folder",
         "a/b/n",
         "0",
         {"write " + journal, "fdatasync " + journal, "write n", "fdatasync n", "fsync b", "fsync a",
          "fsync " + folder, "fsync " + repoName, "write " + journal, "fdatasync " + journal, "reply"}},
    };
    // A thread of its own: its journal is made under this repository.
    std::thread([&] {
        hvps_test::SyscallLog log;  // one for the thread: it knows the journal by the open that made it
        for (const auto& c : cases) {
            log.calls.clear();
            char code[HVSession::kKeyCodeSize];
            session->getKeyCode(space->getKey(), code);
            std::string request = "PUT /repo/" + folder + "/" + c.path +
                                  " HTTP/1.1\r\nP1Session: " + std::to_string(session->getSessionID()) +
                                  "\r\nP1KeyCode: " + code + "\r\n" +
                                  (c.seekPos ? std::string("Seek-Pos: ") + c.seekPos + "\r\n" : "") +
                                  "Content-Length: 10\r\n\r\n0123456789";
            const std::string reply = serve(request, cs_new<ReplyRecorder>(&log.calls));
            // A replace's temporary file has a name of its own for every upload.
            std::vector<std::string> calls;
            for (const std::string& call : log.calls) {
                std::istringstream words(call);
                std::string word, named;
                while (words >> word)
                    named += (named.empty() ? "" : " ") + (isUploadTempName(word.c_str()) ? "temp" : word);
                calls.push_back(named);
            }
            EXPECT_EQ(calls, c.calls) << c.what;
            EXPECT_NE(reply.find(" 201 "), std::string::npos) << c.what << ": " << reply;
        }
    }).join();
    freeSessions();
    freeSpaces();
}
