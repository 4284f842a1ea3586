#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CSStream.h"

namespace {

std::vector<std::string> allLines(CSInputStream* in) {
    std::vector<std::string> lines;
    for (int i = 0; i < 100; i++) {
        auto line = in->readLine();
        if (!line) return lines;
        lines.emplace_back(line->data() ? line->data() : "", line->length());
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
