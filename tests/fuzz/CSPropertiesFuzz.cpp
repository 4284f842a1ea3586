// Configuration text through the properties reader. Every pair it hands out must be a piece of one
// line: a key without white space or "=", a value without a line end, and never a comment line.
#include <cstring>
#include <string>

#include "CSProperties.h"
#include "CSStream.h"
#include "FuzzSupport.h"

namespace {

class PairChecker : public CSProperties {
public:
    explicit PairChecker(const std::string& text) : iText(text) {}

    void setProperty(CSString* key, CSString* value) override {
        CSRef<CSString> k(key);
        CSRef<CSString> v(value);
        FUZZ_CHECK(k && v);
        FUZZ_CHECK(getStream() != nullptr);
        std::string_view keyText = k->view();
        std::string_view valueText = v->view();
        FUZZ_CHECK(keyText.find_first_of(" \t\n\r\v\f=") == std::string_view::npos);
        FUZZ_CHECK(valueText.find_first_of("\n\r") == std::string_view::npos);
        FUZZ_CHECK(keyText.empty() || keyText[0] != '#');
        FUZZ_CHECK(iText.find(keyText) != std::string::npos && iText.find(valueText) != std::string::npos);
        iPairs++;
    }

    size_t iPairs = 0;

private:
    const std::string& iText;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    PairChecker reader(text);
    reader.load(CSMemoryInputStream::newStream(text.data(), text.size()));
    // At most one pair per line.
    size_t lines = 1;
    for (char ch : text) lines += ch == '\n' || ch == '\r';
    FUZZ_CHECK(reader.iPairs <= lines);
    return 0;
}
