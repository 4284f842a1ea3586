#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "CSStream.h"
#include "TestSupport.h"

namespace {

// An output stream that records the size of every write it is given.
class RecordingOutput : public CSOutputStream {
public:
    std::string data;
    std::vector<size_t> writes;
    bool closed = false;

    void close() override { closed = true; }
    void write(const char* bytes, size_t len) override {
        writes.push_back(len);
        data.append(bytes, len);
    }
    const char* getEOL() override { return "\n"; }
    void flush() override {}
    void write(char ch) override { write(&ch, 1); }
    void reset() override { data.clear(); }
    const char* identify() override { return "recording"; }
};

std::vector<std::string> allLines(CSInputStream* in) {
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; i < 100; i++) {
        if (!in->readLine(line)) return lines;
        lines.push_back(line);
    }
    return lines;
}

// A callback stream that hands out `text` one byte per call: every line end falls on a read boundary.
CSRef<CSCallbackInputStream> tricklingStream(const std::string& text) {
    auto pos = std::make_shared<size_t>(0);
    return CSCallbackInputStream::newStream([text, pos](char* buffer, size_t size, bool reset) -> size_t {
        if (reset) *pos = 0;
        if (size == 0 || *pos >= text.size()) return 0;
        buffer[0] = text[(*pos)++];
        return 1;
    });
}

}  // namespace

TEST(CSStreamTest, ReadLineEndsLinesAtCRLFOrCRLFAndReturnsNoneAtTheEnd) {
    using Lines = std::vector<std::string>;
    struct Case {
        std::string text;
        Lines lines;
    } cases[] = {
        {"a\r\nb\rc", {"a", "b", "c"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"\r\n\r\n", {"", ""}},
        {"\n\r", {"", ""}},
        {"", {}},
        {"no end", {"no end"}},
    };
    for (const auto& c : cases) {
        auto memory = CSMemoryInputStream::newStream(c.text.data(), c.text.size());
        EXPECT_EQ(c.lines, allLines(memory.get())) << "memory: " << c.text;
        auto buffered = CSBufferedInputStream::newStream(tricklingStream(c.text));
        EXPECT_EQ(c.lines, allLines(buffered.get())) << "trickled: " << c.text;
    }
}

TEST(CSStreamTest, BufferedOutputKeepsTheOrderOfSmallAndLargeWritesAndSendsWholeBlocksStraightThrough) {
    auto recorder = cs_new<RecordingOutput>();
    auto out = CSBufferedOutputStream::newStream(recorder);
    std::string expected;
    char ch = 'a';
    for (size_t len : {16384, 16385, 10000, 30000, 1, 40000, 32768, 5, 7232}) {
        std::string block(len, ch++);
        out->write(block.data(), block.size());
        expected += block;
    }
    // A block of a whole buffer or more is not split to top the buffer up.
    EXPECT_NE(std::find(recorder->writes.begin(), recorder->writes.end(), 40000u), recorder->writes.end());
    out->close();  // writes what is still buffered before it closes the wrapped stream
    EXPECT_TRUE(recorder->closed);
    EXPECT_EQ(expected, recorder->data);
}

TEST(CSStreamTest, SendFileWritesTheFileWindowAfterWhatWasBufferedAndStopsAtTheFileEnd) {
    hvps_test::TempDir dir;
    const std::string content = hvps_test::randomBytes(150000, 23);
    ASSERT_TRUE(hvps_test::writeFile(dir.file("f"), content));
    int fd = ::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(-1, fd);

    auto recorder = cs_new<RecordingOutput>();
    auto out = CSBufferedOutputStream::newStream(recorder);
    out->print("head\r\n");
    EXPECT_EQ(140000u, out->sendFile(fd, "f", 7, 140000));
    EXPECT_EQ("head\r\n" + content.substr(7, 140000), recorder->data);
    // The descriptor's own position is not used: a second window starts where it is asked to.
    recorder->data.clear();
    EXPECT_EQ(1000u, out->sendFile(fd, "f", 149000, 5000));
    EXPECT_EQ(content.substr(149000), recorder->data);
    EXPECT_EQ(0u, out->sendFile(fd, "f", 200000, 10));
    ::close(fd);

    // A descriptor that cannot be read raises the file error naming the file.
    auto failure = hvps_test::caught([&] { out->sendFile(-1, "named-file", 0, 10); });
    EXPECT_EQ(EBADF, failure.code);
    EXPECT_NE(std::string::npos, failure.message.find("named-file")) << failure.message;
}
