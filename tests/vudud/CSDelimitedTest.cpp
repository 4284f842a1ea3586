#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CSDelimited.h"
#include "CSException.h"
#include "CSStream.h"

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

}  // namespace

TEST(CSDelimitedTest, TabLinesSplitIntoFieldsWithEveryLineEnd) {
    struct Case {
        std::string input;
        Calls calls;
    } cases[] = {
        {"", {}},
        {"a\tb\n", {"0=a", "1=b", "EOL"}},
        {"a\t\tc", {"0=a", "1=", "2=c", "EOL"}},
        {"a\t\r\n", {"0=a", "1=", "EOL"}},
        {"x\n\ny\n", {"0=x", "EOL", "EOL", "0=y", "EOL"}},
        {"1\r2\r\n3\n\r4", {"0=1", "EOL", "0=2", "EOL", "0=3", "EOL", "EOL", "0=4", "EOL"}},
        {" a b \t#c", {"0= a b ", "1=#c", "EOL"}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.calls, load<CSTabDelimited>(c.input)) << c.input;
}

TEST(CSDelimitedTest, SpaceLinesSplitAtBlanksAndSkipCommentsAndEmptyLines) {
    struct Case {
        std::string input;
        Calls calls;
    } cases[] = {
        {"", {}},
        {"text/html   html\t htm \n", {"0=text/html", "1=html", "2=htm", "EOL"}},
        {"   # a comment\n", {}},
        {"a#b c#\n", {"0=a#b", "1=c#", "EOL"}},
        {"a\rb\r\nc", {"0=a", "EOL", "0=b", "EOL", "0=c", "EOL"}},
        {"  # c\n  t  e\n# d", {"0=t", "1=e", "EOL"}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.calls, load<CSSpaceDelimited>(c.input)) << c.input;
}

TEST(CSDelimitedTest, ACallbackExceptionEndsTheLoadKeepsEarlierCallsAndReleasesTheStream) {
    std::string input = "a\tb\nc\td\te\nf\n";
    auto stream = CSMemoryInputStream::newStream(input.data(), input.size());
    Recorder<CSTabDelimited> recorder;
    recorder.failAtColumn = 2;
    EXPECT_THROW(recorder.load(stream), CSException);
    EXPECT_EQ((Calls{"0=a", "1=b", "EOL", "0=c", "1=d", "2=e"}), recorder.calls);
    EXPECT_EQ(1u, stream->getRefCount());
}
