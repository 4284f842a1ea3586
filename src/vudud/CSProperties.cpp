#include "CSProperties.h"

#include <cctype>
#include <string>

namespace {

// Block reads over the stream with one byte of look-ahead, so parsing goes character by character
// without a virtual call per byte.
class CharSource {
public:
    explicit CharSource(CSInputStream* stream) : iStream(stream) {}

    int peek() {
        if (iPos == iFill && !fill()) return -1;
        return static_cast<unsigned char>(iBuffer[iPos]);
    }
    int get() {
        int ch = peek();
        if (ch >= 0) iPos++;
        return ch;
    }

private:
    bool fill() {
        if (iEnd) return false;
        iFill = iStream->read(iBuffer, sizeof(iBuffer));
        iPos = 0;
        if (iFill == 0) iEnd = true;
        return iFill > 0;
    }

    CSInputStream* iStream;
    char iBuffer[4096];
    size_t iFill = 0;
    size_t iPos = 0;
    bool iEnd = false;
};

bool isLineEnd(int ch) { return ch == '\n' || ch == '\r'; }
// White space other than line ends.
bool isBlank(int ch) { return ch >= 0 && !isLineEnd(ch) && isspace(ch); }

void skipBlanks(CharSource& in) {
    while (isBlank(in.peek())) in.get();
}

}  // namespace

void CSProperties::load(CSInputStream* stream) { load(CSRef<CSInputStream>(stream)); }

void CSProperties::load(CSRef<CSInputStream> stream) {
    struct Reading {
        CSInputStream*& field;
        ~Reading() { field = nullptr; }
    } reading{iStream};
    iStream = stream.get();
    parse();
}

void CSProperties::setProperty(CSString* key, CSString* value) {
    CSRef<CSString> k(key);
    CSRef<CSString> v(value);
}

void CSProperties::parse() {
    CharSource in(iStream);
    std::string key;
    std::string value;
    for (;;) {
        // Line start: blanks and empty lines yield nothing (a "\r\n" pair is a line end followed
        // by an empty line, so it needs no special case).
        int ch = in.peek();
        if (ch < 0) return;
        if (isLineEnd(ch) || isBlank(ch)) {
            in.get();
            continue;
        }
        if (ch == '#') {
            while ((ch = in.peek()) >= 0 && !isLineEnd(ch)) in.get();
            continue;
        }

        // The key may be empty ("=value"); the subclass decides what that means.
        key.clear();
        while ((ch = in.peek()) >= 0 && ch != '=' && !isspace(ch)) key += static_cast<char>(in.get());

        skipBlanks(in);
        if (in.peek() == '=') {
            in.get();
            skipBlanks(in);
        }

        value.clear();
        while ((ch = in.peek()) >= 0 && !isLineEnd(ch)) value += static_cast<char>(in.get());

        CSRef<CSString> k = CSString::newString(std::string_view(key));
        CSRef<CSString> v = CSString::newString(std::string_view(value));
        setProperty(k.take(), v.take());
    }
}
