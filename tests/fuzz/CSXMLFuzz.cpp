// Documents through the XML reader, the way the server reads XML commands. The callbacks must
// describe a proper tree whatever the input (a node closes at most once, innermost first),
// hand out valid UTF-8, and a refusing callback must stop the parse without an error.
#include <cstring>
#include <string>
#include <vector>

#include "CSXML.h"
#include "FuzzSupport.h"

namespace {

bool validUTF8(const char* s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        int extra = *p < 0x80             ? 0
                    : (*p & 0xE0) == 0xC0 ? 1
                    : (*p & 0xF0) == 0xE0 ? 2
                    : (*p & 0xF8) == 0xF0 ? 3
                                          : -1;
        if (extra < 0) return false;
        p++;
        for (int i = 0; i < extra; i++, p++)
            if ((*p & 0xC0) != 0x80) return false;
    }
    return true;
}

class TreeChecker : public CSXMLBuffer {
public:
    // Refuses the callback with this number (from 1); 0 never refuses.
    explicit TreeChecker(size_t refuseAt) : iRefuseAt(refuseAt) {}

    bool iRefused = false;
    std::vector<std::string> iOpen;

protected:
    bool openNode(const char* path, const char* value) override {
        FUZZ_CHECK(validUTF8(path) && validUTF8(value));
        FUZZ_CHECK(path[0] == '/');
        if (!iOpen.empty()) FUZZ_CHECK(std::strncmp(path, iOpen.back().c_str(), iOpen.back().size()) == 0);
        iOpen.push_back(path);
        return next();
    }
    bool closeNode(const char* path) override {
        FUZZ_CHECK(!iOpen.empty());
        FUZZ_CHECK(iOpen.back() == path);
        iOpen.pop_back();
        return next();
    }
    bool addAttribute(const char* path, const char* name, const char* value) override {
        FUZZ_CHECK(validUTF8(name) && validUTF8(value));
        FUZZ_CHECK(!iOpen.empty() && iOpen.back() == path);
        return next();
    }

private:
    bool next() {
        if (++iCalls == iRefuseAt) iRefused = true;
        return !iRefused;
    }

    size_t iRefuseAt;
    size_t iCalls = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    {
        TreeChecker reader(0);
        bool ok = reader.parseData(text, size, 0);
        // Nodes still open at the end are left unreported: only the error state is checked here.
        FUZZ_CHECK(ok != (reader.getErrorCode() != 0));
    }
    {
        TreeChecker reader(size % 7 + 1);
        bool ok = reader.parseData(text, size, XML_OPT_EMPTY_TEXT);
        if (reader.iRefused) FUZZ_CHECK(!ok && reader.getErrorCode() == 0);
    }
    return 0;
}
