#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CSException.h"
#include "CSProperties.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class Recorder : public CSProperties {
public:
    void setProperty(CSString* key, CSString* value) override {
        CSRef<CSString> k(key);
        CSRef<CSString> v(value);
        if (iThrowOn == k->getCString())
            CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR, "bad key");
        iPairs.emplace_back(k->getCString(), v->getCString());
        iSawStream = getStream() != nullptr;
    }

    bool reading() const { return getStream() != nullptr; }

    Pairs iPairs;
    std::string iThrowOn = "\x01";
    bool iSawStream = false;
};

// A memory stream that counts how many objects of its kind are alive; the text must outlive it.
class CountedStream : public CSMemoryInputStream {
public:
    CountedStream(const std::string& text) : CSMemoryInputStream(text.data(), text.size()) { alive++; }
    ~CountedStream() override { alive--; }
    static inline int alive = 0;
};

Pairs parse(const std::string& text) {
    Recorder reader;
    reader.load(CSMemoryInputStream::newStream(text.data(), text.size()));
    return reader.iPairs;
}

}  // namespace

TEST(CSPropertiesTest, LinesGiveKeyValuePairsInFileOrder) {
    struct Case {
        const char* name;
        std::string text;
        Pairs expected;
    };
    const Case cases[] = {
        {"equals and blanks", "key = value with blanks  \n", {{"key", "value with blanks  "}}},
        {"blank separator", "key value\n", {{"key", "value"}}},
        {"no blanks", "a=b\nc=d", {{"a", "b"}, {"c", "d"}}},
        {"last line without end", "a=1\nlast=2", {{"a", "1"}, {"last", "2"}}},
        {"leading blanks", " \t key=v\n", {{"key", "v"}}},
        {"key alone", "flag\nflag2 \n", {{"flag", ""}, {"flag2", ""}}},
        {"key at end of file", "flag", {{"flag", ""}}},
        {"comments and empty lines", "# c=1\n\n   # x\nk=v\n\n", {{"k", "v"}}},
        {"hash and quotes kept in value", "k = \"v\" # not a comment\n", {{"k", "\"v\" # not a comment"}}},
        {"second equals is value", "k==v\n", {{"k", "=v"}}},
        {"CR and CRLF ends", "a=1\rb=2\r\nc=3\r\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
        {"empty key", "=v\n", {{"", "v"}}},
        {"ends in comment", "a=1\n# trailing", {{"a", "1"}}},
        {"ends in blanks", "a=1\n   ", {{"a", "1"}}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.text), c.expected) << c.name;
}

TEST(CSPropertiesTest, LongInputAcrossReadBlocksIsComplete) {
    std::string text;
    Pairs expected;
    for (int i = 0; i < 2000; i++) {
        std::string key = "key" + std::to_string(i);
        std::string value(i % 37, 'v');
        text += key + "=" + value + (i % 2 ? "\r\n" : "\n");
        expected.emplace_back(key, value);
    }
    EXPECT_EQ(parse(text), expected);
}

TEST(CSPropertiesTest, StreamIsReleasedAndClearedAlsoWhenSetPropertyRaises) {
    const std::string text = "a=1\nbad=2\nc=3\n";
    Recorder reader;
    reader.iThrowOn = "bad";
    EXPECT_THROW(reader.load(new CountedStream(text)), CSException);
    EXPECT_EQ(CountedStream::alive, 0);
    EXPECT_EQ(reader.iPairs, (Pairs{{"a", "1"}}));
    EXPECT_TRUE(reader.iSawStream);
    EXPECT_FALSE(reader.reading());

    Recorder again;
    const std::string small = "x=y";
    again.load(new CountedStream(small));
    EXPECT_EQ(CountedStream::alive, 0);
    EXPECT_EQ(again.iPairs, (Pairs{{"x", "y"}}));
}
