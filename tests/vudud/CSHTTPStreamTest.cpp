#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CSException.h"
#include "CSHTTPStream.h"
#include "TestSupport.h"

namespace {

// A reader over a copy of `bytes`, read through a buffer as the server does.
struct Reader {
    std::string bytes;
    CSRef<CSHTTPInputStream> http;

    explicit Reader(std::string text) : bytes(std::move(text)) {
        http = CSHTTPInputStream::newStream(
            CSBufferedInputStream::newStream(CSMemoryInputStream::newStream(bytes.data(), bytes.size())));
    }
};

std::string valueOf(CSHTTPInputStream* in, const char* name) {
    const char* value = in->getHeaderCStringValue(name);
    return value ? value : "<none>";
}

std::string lines(size_t count, const std::string& line) {
    std::string text;
    for (size_t i = 0; i < count; i++) text += line + std::to_string(i) + "\r\n";
    return text;
}

}  // namespace

TEST(CSHTTPStreamTest, RequestHeadIsSplitIntoWordsAndTrimmedHeaders) {
    Reader r(
        "PUT  /repo1/7/a.txt?x=1 HTTP/1.1\r\n"
        "Content-Length:   42  \r\n"
        "  X-Spaced  : v a l  \r\n"
        "Empty:\r\n"
        "NoColonHere\r\n"
        "X-Dup: one\r\n"
        "X-Dup: two\r\n"
        "\r\n");
    r.http->readHead();
    EXPECT_STREQ("PUT", r.http->getMethod());
    EXPECT_STREQ("/repo1/7/a.txt?x=1", r.http->getRequestURI());
    EXPECT_STREQ("HTTP/1.1", r.http->getHTTPVersion());
    EXPECT_EQ(0, r.http->getStatus());
    EXPECT_EQ("42", valueOf(r.http.get(), "content-length"));
    EXPECT_EQ("v a l", valueOf(r.http.get(), "X-SPACED"));
    EXPECT_EQ("", valueOf(r.http.get(), "Empty"));
    EXPECT_EQ("", valueOf(r.http.get(), "NoColonHere"));
    EXPECT_EQ("one", valueOf(r.http.get(), "x-dup"));
    EXPECT_EQ(6u, r.http->numHeaders());
    uint64 length = 0;
    ASSERT_TRUE(r.http->getContentLength(&length));
    EXPECT_EQ(42u, length);
}

TEST(CSHTTPStreamTest, StatusLineAndShortOrMissingHeadsLeaveNoMethod) {
    Reader status("HTTP/1.1 404  Not  Found\r\nServer: x\r\n\r\n");
    status.http->readHead();
    EXPECT_EQ(nullptr, status.http->getMethod());
    EXPECT_EQ(404, status.http->getStatus());
    EXPECT_STREQ("HTTP/1.1", status.http->getHTTPVersion());
    EXPECT_STREQ("Not  Found", status.http->getReasonPhrase());

    Reader empty("");
    empty.http->readHead();
    EXPECT_EQ(nullptr, empty.http->getMethod());

    Reader oneWord("GET\n\n");
    oneWord.http->readHead();
    EXPECT_STREQ("GET", oneWord.http->getMethod());
    EXPECT_STREQ("", oneWord.http->getRequestURI());
    EXPECT_STREQ("", oneWord.http->getHTTPVersion());
}

TEST(CSHTTPStreamTest, MalformedOrOversizedHeadsAreRefusedAsBadHeader) {
    const std::string start = "GET / HTTP/1.1\r\n";
    struct Case {
        const char* what;
        std::string head;
        bool refused;
    } cases[] = {
        {"value of spaces only", start + "Host:   \r\n\r\n", true},
        {"line of 16 KiB", start + "X: " + std::string(16384 - 3, 'a') + "\r\n\r\n", false},
        {"line over 16 KiB", start + "X: " + std::string(16384 - 2, 'a') + "\r\n\r\n", true},
        {"request line over 16 KiB", "GET /" + std::string(16384, 'a') + " HTTP/1.1\r\n\r\n", true},
        {"100 header lines", start + lines(100, "X: v") + "\r\n", false},
        {"101 header lines", start + lines(101, "X: v") + "\r\n", true},
        {"head over 64 KiB", start + lines(70, "X: " + std::string(1000, 'b')) + "\r\n", true},
    };
    for (const auto& c : cases) {
        Reader r(c.head);
        auto failure = hvps_test::caught([&] { r.http->readHead(); });
        if (c.refused) {
            EXPECT_EQ(CS_ERR_BAD_HTTP_HEADER, failure.code) << c.what;
            EXPECT_EQ("Bad HTTP header", failure.message) << c.what;
        } else {
            EXPECT_EQ(0, failure.code) << c.what << ": " << failure.message;
        }
    }
}

// A body is read to its Content-Length, or as lines up to an empty one; one that is too large is
// refused before any byte of it is read.
TEST(CSHTTPStreamTest, BodiesAreReadWithinTheirLengthAndTheMaximum) {
    const std::string tooLarge = "Request body too large: ";
    struct Case {
        const char* what;
        std::string request;  // after the request line
        uint64 maximum;
        int code;
        std::string message;
        const char* body;  // nullptr: not looked at
        int rest;          // bytes still to be read after the body (-1: not looked at)
    } cases[] = {
        {"shorter than its length", "Content-Length: 20\r\n\r\n0123456789", 1000, CS_ERR_POST_DATA_INCOMPLETE,
         "POST data incomplete", nullptr, 0},
        {"over the caller's maximum", "Content-Length: 11\r\n\r\nBODY", 10, -25013, tooLarge + "11", "", 4},
        {"4 GiB with a larger maximum", "Content-Length: 4294967296\r\n\r\nBODY", UINT64_MAX,
         CS_ERR_POST_DATA_INCOMPLETE, tooLarge + "4294967296", "", 4},
        {"length beyond 64 bits", "Content-Length: 99999999999999999999999\r\n\r\nBODY", UINT64_MAX,
         CS_ERR_POST_DATA_INCOMPLETE, tooLarge, "", 4},
        {"lines without a length", "\r\nLOGIN\r\nkey=1\r\n\r\nnext", 100, 0, "", "LOGIN\nkey=1\n", 4},
        {"lines beyond the maximum", "\r\n" + lines(50, "line"), 100, -25013, "", nullptr, -1},
    };
    for (const auto& c : cases) {
        Reader r("POST /x HTTP/1.1\r\n" + c.request);
        r.http->readHead();
        auto failure = hvps_test::caught([&] { r.http->readBody(c.maximum, c.code); });
        EXPECT_EQ(c.code, failure.code) << c.what;
        EXPECT_TRUE(failure.message.starts_with(c.message)) << c.what << ": " << failure.message;
        if (c.body) {
            EXPECT_EQ(c.body, std::string(r.http->getBodyData(), r.http->getBodyLength())) << c.what;
        }
        char rest[8];
        if (c.rest >= 0) {
            EXPECT_EQ(c.rest, static_cast<int>(r.http->read(rest, sizeof(rest)))) << c.what;
        }
    }
}

TEST(CSHTTPStreamTest, KeepAliveIsReadWithoutRegardToCase) {
    CSHTTPHeaders headers;
    headers.addHeader("connection", "Keep-Alive");
    EXPECT_TRUE(headers.keepAlive());
    headers.clearHeaders();
    EXPECT_FALSE(headers.keepAlive());
}

TEST(CSHTTPStreamTest, ReplyHeadAlwaysCarriesContentLengthAndKeepsHeaderOrder) {
    struct Case {
        const char* what;
        std::function<void(CSHTTPOutputStream&)> prepare;
        std::string head;
    } cases[] = {
        {"status 100 without body", [](CSHTTPOutputStream& out) { out.setStatus(100); },
         "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n"},
        {"duplicate headers in order",
         [](CSHTTPOutputStream& out) {
             out.addHeader("Content-Type", "text/html");
             out.addHeader("Content-Type", "text/xml");
             out.appendBody("abc");
             out.appendBody(12);
         },
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Type: text/xml\r\nContent-Length: 5\r\n\r\n"},
        {"unknown status", [](CSHTTPOutputStream& out) { out.setStatus(299); },
         "HTTP/1.1 299 Unknown Code\r\nContent-Length: 0\r\n\r\n"},
        {"phrase as in HTTP/1.1", [](CSHTTPOutputStream& out) { out.setStatus(408); },
         "HTTP/1.1 408 Request Time-out\r\nContent-Length: 0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        auto memory = CSMemoryOutputStream::newStream(100, 100);
        CSHTTPOutputStream out(memory);
        c.prepare(out);
        out.writeHead();
        EXPECT_EQ(c.head, std::string(memory->getMemory(), memory->getSize())) << c.what;
    }
}
