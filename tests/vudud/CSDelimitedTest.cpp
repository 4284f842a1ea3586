#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CSDelimited.h"
#include "CSException.h"
#include "CSStream.h"
#include "TestSupport.h"

namespace {

// Records the callbacks as "column=value" and "EOL".
template <class Base>
class Recorder : public Base {
public:
    void setValue(int column, CSRef<CSString> value) override {
        calls.push_back(std::to_string(column) + "=" + value->getCString());
        if (column == failAtColumn) CSException::throwException(CS_CONTEXT, -1, "callback failed");
    }
    void setEOL() override { calls.push_back("EOL"); }

    std::vector<std::string> calls;
    int failAtColumn = -1;
};

template <class Base>
std::vector<std::string> load(const std::string& input) {
    Recorder<Base> recorder;
    recorder.load(CSMemoryInputStream::newStream(input.data(), input.size()));
    return recorder.calls;
}

using Calls = std::vector<std::string>;

class Rows : public CSTabDelimited {
public:
    bool nextLine(unsigned int line) override {
        iLine = line;
        return line < rows.size();
    }
    const char* getValue(int column) override {
        const auto& row = rows[iLine];
        return static_cast<size_t>(column) < row.size() ? row[column].c_str() : nullptr;
    }

    std::vector<std::vector<std::string>> rows;

private:
    unsigned int iLine = 0;
};

}  // namespace

// Tab lines keep every field and line end; space lines split at blanks and skip comments and empty lines.
TEST(CSDelimitedTest, LinesSplitIntoFieldsAsEachFormatReadsThem) {
    const auto tab = load<CSTabDelimited>;
    const auto space = load<CSSpaceDelimited>;
    struct Case {
        Calls (*load)(const std::string&);
        std::string input;
        Calls calls;
    } cases[] = {
        {tab, "", {}},
        {tab, "a\tb\n", {"0=a", "1=b", "EOL"}},
        {tab, "a\t\tc", {"0=a", "1=", "2=c", "EOL"}},
        {tab, "a\t\r\n", {"0=a", "1=", "EOL"}},
        {tab, "a\t", {"0=a", "1=", "EOL"}},
        {tab, "x\n\ny\n", {"0=x", "EOL", "EOL", "0=y", "EOL"}},
        {tab, "1\r2\r\n3\n\r4", {"0=1", "EOL", "0=2", "EOL", "0=3", "EOL", "EOL", "0=4", "EOL"}},
        {tab, " a b \t#c", {"0= a b ", "1=#c", "EOL"}},
        {tab, "\xe9\t\x01", {"0=\xe9", "1=\x01", "EOL"}},
        {space, "", {}},
        {space, "text/html   html\t htm \n", {"0=text/html", "1=html", "2=htm", "EOL"}},
        {space, "   # a comment\n", {}},
        {space, "#\n\n \t \r\n", {}},
        {space, "a#b c#\n", {"0=a#b", "1=c#", "EOL"}},
        {space, "a\rb\r\nc", {"0=a", "EOL", "0=b", "EOL", "0=c", "EOL"}},
        {space, "a\vb\fc", {"0=a", "1=b", "2=c", "EOL"}},
        {space, "x \xa0y", {"0=x", "1=\xa0y", "EOL"}},
        {space, "  # c\n  t  e\n# d", {"0=t", "1=e", "EOL"}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.calls, c.load(c.input)) << c.input;
}

TEST(CSDelimitedTest, SaveRefusesValuesThatWouldReadBackAsOtherFields) {
    for (const char* bad : {"a\tb", "a\nb", "a\rb"}) {
        Rows rows;
        rows.rows = {{"ok", "fine"}, {"x", bad}};
        auto memory = CSMemoryOutputStream::newStream(16, 16);
        EXPECT_EQ(CS_ERR_GENERIC_ERROR, hvps_test::caught([&] { rows.save(memory, 2); }).code) << bad;
        EXPECT_EQ("ok\tfine\n", std::string(memory->getMemory(), memory->getSize()));
    }

    Rows shortRow;
    shortRow.rows = {{"only"}};
    EXPECT_EQ(CS_ERR_ASSERTION,
              hvps_test::caught([&] { shortRow.save(CSMemoryOutputStream::newStream(16, 16), 2); }).code);
}

TEST(CSDelimitedTest, AnExceptionEndsTheLoadKeepsEarlierCallsAndReleasesTheStream) {
    std::string input = "a\tb\nc\td\te\nf\n";
    auto stream = CSMemoryInputStream::newStream(input.data(), input.size());
    Recorder<CSTabDelimited> recorder;
    recorder.failAtColumn = 2;
    EXPECT_THROW(recorder.load(stream), CSException);
    EXPECT_EQ((Calls{"0=a", "1=b", "EOL", "0=c", "1=d", "2=e"}), recorder.calls);
    EXPECT_EQ(1u, stream->getRefCount());

    // A failing stream ends the load the same way.
    std::string first = "x y\nz";
    size_t delivered = 0;
    auto failing = CSCallbackInputStream::newStream([&](char* buffer, size_t size, bool) -> size_t {
        if (delivered == first.size()) CSException::throwException(CS_CONTEXT, -2, "read failed");
        size_t n = std::min(size, first.size() - delivered);
        first.copy(buffer, n, delivered);
        delivered += n;
        return n;
    });
    Recorder<CSSpaceDelimited> spaced;
    EXPECT_THROW(spaced.load(failing), CSException);
    EXPECT_EQ((Calls{"0=x", "1=y", "EOL"}), spaced.calls);
    EXPECT_EQ(1u, failing->getRefCount());
}
