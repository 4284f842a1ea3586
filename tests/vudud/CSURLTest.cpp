#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "CSURL.h"

namespace {

// Records every callback as "kind(text)", "arg(name,value)" or "arg(name)" for a missing value.
class Recorder : public CSURL {
public:
    std::vector<std::string> calls;

    void setArg(char* name, char* value) override {
        calls.push_back("arg(" + std::string(name) + (value ? "," + std::string(value) : "") + ")");
    }
    void setProtocol(char* text) override { calls.push_back("protocol(" + std::string(text) + ")"); }
    void setUser(char* text) override { calls.push_back("user(" + std::string(text) + ")"); }
    void setPassword(char* text) override { calls.push_back("password(" + std::string(text) + ")"); }
    void setHost(char* text) override { calls.push_back("host(" + std::string(text) + ")"); }
    void setPort(char* text) override { calls.push_back("port(" + std::string(text) + ")"); }
    void setPath(char* text) override {
        calls.push_back("path(" + std::string(text) + ")");
        // Callbacks may scribble on their piece; that must not change what later callbacks get.
        for (char* p = text; *p; p++) *p = '#';
    }
};

using Calls = std::vector<std::string>;

Calls parse(const char* url) {
    Recorder recorder;
    recorder.parseURL(url);
    return recorder.calls;
}

}  // namespace

TEST(CSURLTest, RequestURIsAndFullURLsGiveTheirPartsInOrderUndecoded) {
    struct Case {
        const char* url;
        Calls calls;
    } cases[] = {
        {"/repo1/7/protolog/last.log?SeekPos=100&MaxLen=50",
         {"path(/repo1/7/protolog/last.log)", "arg(SeekPos,100)", "arg(MaxLen,50)"}},
        {"docs/a.txt?x&y=", {"path(docs/a.txt)", "arg(x)", "arg(y,)"}},
        {"docs/a.txt?", {"path(docs/a.txt)"}},
        {"", {"path()"}},
        {"hvp://7:K@srv:37655/repo1/",
         {"protocol(hvp)", "user(7)", "password(K)", "host(srv)", "port(37655)", "path(/repo1/)"}},
        // Nothing is decoded, and only the first question mark of the path counts.
        {"/a%20b+c?n%3D=v+w%26", {"path(/a%20b+c)", "arg(n%3D,v+w%26)"}},
        {"/p?a=1?b&c=x=y", {"path(/p)", "arg(a,1?b)", "arg(c,x=y)"}},
        {"/p?&&", {"path(/p)", "arg()", "arg()"}},
        {"/p?=x", {"path(/p)", "arg(,x)"}},
        {"http://h?q/p?a", {"protocol(http)", "host(h?q)", "path(/p)", "arg(a)"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.calls, parse(c.url)) << c.url;
}

TEST(CSURLTest, ExceptionFromACallbackEndsTheParse) {
    class Failing : public Recorder {
    public:
        void setPath(char*) override { throw std::runtime_error("stop"); }
    } failing;
    EXPECT_THROW(failing.parseURL("/x?a=1"), std::runtime_error);
    EXPECT_TRUE(failing.calls.empty());
}
