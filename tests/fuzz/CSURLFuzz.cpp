// Request URIs and space URLs through the URL splitter. The pieces it hands out must be pieces of
// the input: no separator may leak into a part that it delimits, and callbacks may scribble on
// their piece without changing later ones.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CSURL.h"
#include "FuzzSupport.h"

namespace {

class Checker : public CSURL {
public:
    explicit Checker(const std::string& url) : iURL(url) {}

    void setArg(char* name, char* value) override {
        FUZZ_CHECK(iPathSeen);
        FUZZ_CHECK(std::strpbrk(name, "=&") == nullptr);
        if (value) FUZZ_CHECK(std::strchr(value, '&') == nullptr);
        check(name);
        if (value) check(value);
        iArgs++;
    }
    void setProtocol(char* text) override { piece(text, 0); }
    void setUser(char* text) override { piece(text, 1); }
    void setPassword(char* text) override { piece(text, 2); }
    void setHost(char* text) override {
        piece(text, 3);
        FUZZ_CHECK(std::strpbrk(text, "/@") == nullptr);
    }
    void setPort(char* text) override {
        piece(text, 4);
        FUZZ_CHECK(std::strchr(text, '/') == nullptr);
    }
    void setPath(char* text) override {
        FUZZ_CHECK(!iPathSeen);
        iPathSeen = true;
        FUZZ_CHECK(std::strchr(text, '?') == nullptr);
        check(text);
        std::memset(text, '#', std::strlen(text));
    }

    bool iPathSeen = false;
    size_t iArgs = 0;

private:
    // Parts arrive once each and in order, and only before the path.
    void piece(char* text, int order) {
        FUZZ_CHECK(!iPathSeen);
        FUZZ_CHECK(order > iLastOrder);
        iLastOrder = order;
        check(text);
        std::memset(text, '#', std::strlen(text));
    }
    void check(const char* text) { FUZZ_CHECK(iURL.find(text) != std::string::npos); }

    std::string iURL;
    int iLastOrder = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser takes a C string: the input ends at its first NUL.
    std::string url(reinterpret_cast<const char*>(data), size);
    url.resize(std::strlen(url.c_str()));
    Checker checker(url);
    checker.parseURL(url.c_str());
    FUZZ_CHECK(checker.iPathSeen);
    // Each "&" after the query mark separates at most one argument.
    size_t query = url.find('?');
    if (query == std::string::npos)
        FUZZ_CHECK(checker.iArgs == 0);
    else
        FUZZ_CHECK(checker.iArgs <= 1 + static_cast<size_t>(std::count(url.begin() + query, url.end(), '&')));
    return 0;
}
