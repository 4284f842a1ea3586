#include "CSXML.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr char32_t kEnd = static_cast<char32_t>(CSXMLProcessor::kEndOfInput);
constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool isSpace(char32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isQuote(char32_t c) { return c == '"' || c == '\''; }
// Characters that stand alone as attribute names inside declarations.
bool isDeclSymbol(char32_t c) { return c < 128 && c != 0 && std::strchr("*+(),|[]?/", static_cast<int>(c)); }

bool containsNoCase(const std::string& hay, const char* needle) {
    const size_t n = std::strlen(needle);
    for (size_t i = 0; i + n <= hay.size(); i++)
        if (strncasecmp(hay.c_str() + i, needle, n) == 0) return true;
    return false;
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && std::string_view(s).substr(s.size() - tail.size()) == tail;
}

void capture(std::string& cap, char32_t c) {
    if (cap.size() < CSXMLProcessor::kMaxCapture) cap.push_back(c < 128 ? static_cast<char>(c) : '~');
}

}  // namespace

// ---- Tokenizer state ------------------------------------------------------------------------

void CSXMLParser::resetParser() {
    iState = ST_TEXT;
    iQuote = 0;
    iKind = KIND_ELEMENT;
    iMarkupDepth = 0;
}

// ---- Errors and decoding --------------------------------------------------------------------

bool CSXMLProcessor::getError(int* code, const char** text) const {
    if (code) *code = iErrorCode;
    if (text) *text = iErrorText;
    return iErrorCode != 0;
}

void CSXMLProcessor::printError(const char* prefix) const {
    std::printf("%s%s", prefix ? prefix : "", iErrorText);
    std::fflush(stdout);
}

void CSXMLProcessor::setError(int code) {
    iErrorCode = code;
    if (code == 0)
        iErrorText[0] = 0;
    else if (code == XML_ERR_MEMORY)
        std::snprintf(iErrorText, sizeof(iErrorText), "AES parse error- insufficient memory");
    else if (code == XML_ERR_CHAR_TOO_LARGE)
        std::snprintf(iErrorText, sizeof(iErrorText),
                      "AES parse error- UNICODE character too large to be encoded as UTF-8");
    else
        std::snprintf(iErrorText, sizeof(iErrorText), "AES parse error- %s",
                      code > 0 ? std::strerror(code) : "unknown error");
}

void CSXMLProcessor::resetProcessor() {
    resetParser();
    setError(0);
    // Before a declaration names one, documents are read as UTF-8, which covers ASCII.
    iEncoding = ENC_UTF8;
    iEncodingName.clear();
    iUtfNeed = 0;
    iHavePushback = false;
}

void CSXMLProcessor::buildConversionTable() {
    const bool latin1 = strcasecmp(iEncodingName.c_str(), "ISO-8859-1") == 0;
    for (int i = 0; i < 128; i++) iConversionTable[i] = latin1 ? static_cast<char32_t>(128 + i) : U'?';
}

void CSXMLProcessor::setEncoding(const std::string& name) {
    iEncodingName = name;
    if (containsNoCase(name, "utf-8")) {
        iEncoding = ENC_UTF8;
    } else if (containsNoCase(name, "ucs-2") || containsNoCase(name, "ucs-4") ||
               containsNoCase(name, "unicode")) {
        iEncoding = ENC_PLAIN;
    } else {
        iEncoding = ENC_TABLE;
        buildConversionTable();
    }
}

// Decodes one byte of 128..255; *produced is false while a UTF-8 sequence is incomplete.
char32_t CSXMLProcessor::decodeByte(char32_t b, bool* produced) {
    *produced = true;
    if (iEncoding == ENC_PLAIN) return b;
    if (iEncoding == ENC_TABLE) return iConversionTable[b - 128];

    if ((b & 0xC0) == 0x80) {  // continuation byte
        if (iUtfNeed == 0) return U'?';
        iUtfValue = (iUtfValue << 6) | (b & 0x3F);
        if (--iUtfNeed > 0) {
            *produced = false;
            return 0;
        }
        // Only complete 2- and 3-byte forms in their shortest encoding give characters.
        const char32_t v = iUtfValue;
        if (iUtfLen == 2 && v >= 0x80) return v;
        if (iUtfLen == 3 && v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) return v;
        return U'?';
    }
    if (iUtfNeed > 0) {  // a lead byte cuts the sequence short: read it again afterwards
        iUtfNeed = 0;
        iHavePushback = true;
        iPushback = b;
        return U'?';
    }
    int len;
    if (b < 0xE0)
        len = 2;
    else if (b < 0xF0)
        len = 3;
    else if (b < 0xF8)
        len = 4;
    else if (b < 0xFC)
        len = 5;
    else if (b < 0xFE)
        len = 6;
    else
        return U'?';
    iUtfLen = len;
    iUtfNeed = len - 1;
    iUtfValue = b & (0x7F >> len);
    *produced = false;
    return 0;
}

bool CSXMLProcessor::nextChar(char32_t* c) {
    for (;;) {
        char32_t b;
        if (iHavePushback) {
            iHavePushback = false;
            b = iPushback;
        } else {
            wchar_t w = 0;
            if (!getChar(&w)) return false;
            b = static_cast<char32_t>(w);
        }
        if (b < 0x80 || b > 0xFF) {
            if (iUtfNeed > 0) {  // the sequence was cut short
                iUtfNeed = 0;
                iHavePushback = true;
                iPushback = b;
                *c = U'?';
                return true;
            }
            *c = b;
            return true;
        }
        bool produced;
        const char32_t v = decodeByte(b, &produced);
        if (produced) {
            *c = v;
            return true;
        }
    }
}

// ---- The reader -----------------------------------------------------------------------------

bool CSXML::parseXML(int options) {
    resetProcessor();
    iOptions = options;
    freeStrings();
    iXMLDecl = false;
    bool ok = true;
    try {
        for (;;) {
            char32_t c;
            if (!nextChar(&c)) {
                ok = false;
                break;
            }
            if (c == kEnd) break;
            if (!processChar(c)) {
                ok = false;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        setError(XML_ERR_MEMORY);
        ok = false;
    }
    freeStrings();
    return ok;
}

void CSXML::freeStrings() {
    std::string().swap(iPath);
    std::vector<size_t>().swap(iNodeStarts);
    std::vector<bool>().swap(iNodeIsElement);
    std::unordered_map<std::string, size_t>().swap(iOpenElements);
    std::string().swap(iName);
    std::string().swap(iRawName);
    std::string().swap(iAttrName);
    std::string().swap(iValue);
    std::string().swap(iRawValue);
}

// Appends c as UTF-8, with ASCII letters folded to lower case when asked.
bool CSXML::append(std::string& s, char32_t c, bool fold) {
    if (c < 0x80) {
        if (fold && c >= 'A' && c <= 'Z') c += 'a' - 'A';
        s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (c >> 12)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= kMaxCodePoint) {
        s.push_back(static_cast<char>(0xF0 | (c >> 18)));
        s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        setError(XML_ERR_CHAR_TOO_LARGE);
        return false;
    }
    return true;
}

void CSXML::pushNode(const std::string& name, bool element) {
    iNodeStarts.push_back(iPath.size());
    iNodeIsElement.push_back(element);
    iPath.push_back('/');
    iPath += name;
    if (element) iOpenElements[name]++;
}

// Reports the innermost node closed and removes it from the path.
bool CSXML::closeTop() {
    if (iNodeStarts.empty()) return true;
    const bool ok = closeNode(iPath.c_str());
    const size_t start = iNodeStarts.back();
    if (iNodeIsElement.back()) {
        auto it = iOpenElements.find(iPath.substr(start + 1));
        if (it != iOpenElements.end() && --it->second == 0) iOpenElements.erase(it);
    }
    iPath.resize(start);
    iNodeStarts.pop_back();
    iNodeIsElement.pop_back();
    return ok;
}

// A node with no children of its own: text, comment or CDATA, opened and closed at once.
bool CSXML::reportLeaf(const char* name, const std::string& value) {
    const size_t len = iPath.size();
    iPath.push_back('/');
    iPath += name;
    bool ok = openNode(iPath.c_str(), value.c_str()) && closeNode(iPath.c_str());
    iPath.resize(len);
    return ok;
}

bool CSXML::flushText() {
    bool ok = true;
    if (!iValue.empty() || (iOptions & XML_OPT_EMPTY_TEXT)) ok = reportLeaf("", iValue);
    iValue.clear();
    return ok;
}

bool CSXML::openMarkupNode() {
    pushNode(iName, iKind == KIND_ELEMENT);
    iXMLDecl = iKind == KIND_PI && iRawName == "?xml";
    return openNode(iPath.c_str(), "");
}

bool CSXML::reportAttribute() {
    if (iKind == KIND_DECL && (iAttrName == "[" || iAttrName == "]")) return true;
    if (iXMLDecl && iAttrName == "encoding") setEncoding(iRawValue);
    const bool ok = addAttribute(iPath.c_str(), iAttrName.c_str(), iValue.c_str());
    iAttrName.clear();
    iValue.clear();
    iRawValue.clear();
    return ok;
}

// Leaves markup at its ">": elements stay open (unless empty), the other kinds close.
bool CSXML::endMarkup(bool closeElement) {
    bool ok = true;
    if (iKind != KIND_ELEMENT || closeElement) ok = closeTop();
    iXMLDecl = false;
    returnToParent();
    return ok;
}

void CSXML::returnToParent() {
    iValue.clear();
    if (iMarkupDepth > 0) {
        iMarkupDepth--;
        iKind =
            iMarkupDepth < static_cast<size_t>(kMaxMarkupNesting) ? iMarkupKinds[iMarkupDepth] : KIND_DECL;
        iState = ST_ATTR_SPACE;
    } else {
        iState = ST_TEXT;
    }
}

// Closes the innermost open element named iName and everything opened inside it.
bool CSXML::closeTag() {
    auto it = iOpenElements.find(iName);
    if (it == iOpenElements.end()) return true;
    for (;;) {
        const bool match =
            iNodeIsElement.back() && std::string_view(iPath).substr(iNodeStarts.back() + 1) == iName;
        if (!closeTop()) return false;
        if (match) return true;
    }
}

bool CSXML::processChar(char32_t c) {
    for (;;) {  // `continue` reads the same character again in the new state
        switch (iState) {
            case ST_TEXT:
                if (c == '<') {
                    iState = ST_LT;
                    return true;
                }
                return append(iValue, c, false);

            case ST_LT:
                if (c == '<') {  // the first "<" was not markup
                    return iMarkupDepth > 0 || append(iValue, '<', false);
                }
                if (isSpace(c) || c == '>' || c == '=' || isQuote(c)) {
                    if (iMarkupDepth > 0) {
                        returnToParent();
                    } else {
                        if (!append(iValue, '<', false)) return false;
                        iState = ST_TEXT;
                    }
                    continue;
                }
                if (iMarkupDepth == 0 && !flushText()) return false;
                iName.clear();
                iRawName.clear();
                if (c == '/' && iMarkupDepth == 0) {
                    iState = ST_CLOSE_NAME;
                    return true;
                }
                iKind = c == '?' ? KIND_PI : (c == '!' || iMarkupDepth > 0) ? KIND_DECL : KIND_ELEMENT;
                iState = ST_NAME;
                capture(iRawName, c);
                return append(iName, c, true);

            case ST_NAME: {
                const bool ends = isSpace(c) || c == '>' || c == '<' || c == '=' || isQuote(c) ||
                                  (iKind == KIND_ELEMENT && c == '/') || (iKind == KIND_PI && c == '?');
                if (!ends) {
                    capture(iRawName, c);
                    if (!append(iName, c, true)) return false;
                    if (iKind == KIND_DECL && iName == "!--") {
                        iValue.clear();
                        iState = ST_COMMENT;
                    } else if (iKind == KIND_DECL && iRawName == "![CDATA[") {
                        iValue.clear();
                        iState = ST_CDATA;
                    }
                    return true;
                }
                iState = ST_ATTR_SPACE;
                if (!openMarkupNode()) return false;
                continue;
            }

            case ST_CLOSE_NAME:
                if (isSpace(c)) {
                    if (!iName.empty()) iState = ST_CLOSE_END;
                    return true;
                }
                if (c != '>' && c != '<') return append(iName, c, true);
                [[fallthrough]];
            case ST_CLOSE_END:
                if (c == '>' || c == '<') {
                    iState = ST_TEXT;
                    iValue.clear();
                    if (!closeTag()) return false;
                    if (c == '<') iState = ST_LT;
                }
                return true;

            case ST_ATTR_SPACE:
                if (isSpace(c)) return true;
                if (c == '>') return endMarkup(false);
                if (c == '<') {
                    if (iKind != KIND_DECL) {  // an unfinished tag ends where the next begins
                        if (!endMarkup(false)) return false;
                        continue;
                    }
                    if (iMarkupDepth < static_cast<size_t>(kMaxMarkupNesting))
                        iMarkupKinds[iMarkupDepth] = iKind;
                    iMarkupDepth++;
                    iState = ST_LT;
                    return true;
                }
                if (iKind == KIND_ELEMENT && c == '/') {
                    iState = ST_ELEMENT_SLASH;
                    return true;
                }
                if (iKind == KIND_PI && c == '?') {
                    iState = ST_PI_QUESTION;
                    return true;
                }
                iAttrName.clear();
                iValue.clear();
                iRawValue.clear();
                if (iKind == KIND_DECL && isDeclSymbol(c)) {
                    iAttrName.push_back(static_cast<char>(c));
                    return reportAttribute();
                }
                if (isQuote(c)) {
                    iQuote = c;
                    iState = ST_VALUE_QUOTED;
                    return true;
                }
                if (c == '=') {
                    iState = ST_ATTR_AFTER_EQ;
                    return true;
                }
                iState = ST_ATTR_NAME;
                return append(iAttrName, c, true);

            case ST_ATTR_NAME:
                if (isSpace(c)) {
                    iState = ST_ATTR_AFTER_NAME;
                    return true;
                }
                if (c == '=') {
                    iState = ST_ATTR_AFTER_EQ;
                    return true;
                }
                if (c == '>' || c == '<' || isQuote(c) || (iKind == KIND_ELEMENT && c == '/') ||
                    (iKind == KIND_PI && c == '?') || (iKind == KIND_DECL && isDeclSymbol(c))) {
                    iState = ST_ATTR_SPACE;
                    if (!reportAttribute()) return false;
                    continue;
                }
                return append(iAttrName, c, true);

            case ST_ATTR_AFTER_NAME:
                if (isSpace(c)) return true;
                if (c == '=') {
                    iState = ST_ATTR_AFTER_EQ;
                    return true;
                }
                iState = ST_ATTR_SPACE;
                if (!reportAttribute()) return false;
                continue;

            case ST_ATTR_AFTER_EQ:
                if (isSpace(c)) return true;
                if (isQuote(c)) {
                    iQuote = c;
                    iState = ST_VALUE_QUOTED;
                    return true;
                }
                if (c == '>' || c == '<') {
                    iState = ST_ATTR_SPACE;
                    if (!reportAttribute()) return false;
                    continue;
                }
                if (iKind == KIND_PI && c == '?') {
                    iState = ST_VALUE_UNQUOTED_Q;
                    return true;
                }
                iState = ST_VALUE_UNQUOTED;
                capture(iRawValue, c);
                return append(iValue, c, false);

            case ST_VALUE_QUOTED:
                if (c == iQuote) {
                    iState = ST_ATTR_SPACE;
                    return reportAttribute();
                }
                capture(iRawValue, c);
                return append(iValue, c, false);

            case ST_VALUE_UNQUOTED:
                if (isSpace(c)) {
                    iState = ST_ATTR_SPACE;
                    return reportAttribute();
                }
                if (c == '>' || c == '<' || isQuote(c)) {
                    iState = ST_ATTR_SPACE;
                    if (!reportAttribute()) return false;
                    continue;
                }
                if (iKind == KIND_PI && c == '?') {
                    iState = ST_VALUE_UNQUOTED_Q;
                    return true;
                }
                capture(iRawValue, c);
                return append(iValue, c, false);

            case ST_VALUE_UNQUOTED_Q:
                if (c == '>') {
                    if (!reportAttribute()) return false;
                    return endMarkup(false);
                }
                capture(iRawValue, '?');
                if (!append(iValue, '?', false)) return false;
                iState = ST_VALUE_UNQUOTED;
                continue;

            case ST_ELEMENT_SLASH:
                if (c == '>') return endMarkup(true);
                iState = ST_ATTR_SPACE;
                continue;

            case ST_PI_QUESTION:
                if (c == '>') return endMarkup(false);
                iState = ST_ATTR_SPACE;
                continue;

            case ST_COMMENT:
            case ST_CDATA: {
                if (!append(iValue, c, false)) return false;
                const bool comment = iState == ST_COMMENT;
                if (!endsWith(iValue, comment ? "-->" : "]]>")) return true;
                iValue.resize(iValue.size() - 3);
                if (!reportLeaf(comment ? "!--" : "![CDATA[", iValue)) return false;
                returnToParent();
                return true;
            }
        }
        return true;
    }
}

// ---- Printing -------------------------------------------------------------------------------

bool CSXMLPrint::openNode(const char* path, const char* value) {
    std::printf("OPEN  %s\n", path);
    if (value && *value) std::printf("      %s\n", value);
    return true;
}

bool CSXMLPrint::closeNode(const char* path) {
    std::printf("close %s\n", path);
    return true;
}

bool CSXMLPrint::addAttribute(const char* path, const char* name, const char* value) {
    if (value && *value)
        std::printf("attr  %s %s=%s\n", path, name, value);
    else
        std::printf("attr  %s %s\n", path, name);
    return true;
}

// ---- Sources --------------------------------------------------------------------------------

bool CSXMLBuffer::parseData(const char* data, unsigned long length, int options) {
    iData = data;
    iLength = data ? length : 0;
    iPos = 0;
    const bool ok = parseXML(options);
    iData = nullptr;
    iLength = iPos = 0;
    return ok;
}

bool CSXMLBuffer::parseString(const char* text, int options) {
    return parseData(text, text ? std::strlen(text) : 0, options);
}

bool CSXMLBuffer::getChar(wchar_t* c) {
    *c = iPos < iLength ? static_cast<unsigned char>(iData[iPos++]) : kEndOfInput;
    return true;
}

bool CSXMLFile::parseFile(const char* path, int options) {
    iFile.reset(std::fopen(path, "r"));
    if (!iFile) {
        setError(errno != 0 ? errno : EIO);
        return false;
    }
    const bool ok = parseXML(options);
    iFile.reset();
    return ok;
}

bool CSXMLFile::getChar(wchar_t* c) {
    const int ch = std::fgetc(iFile.get());
    if (ch != EOF) {
        *c = static_cast<unsigned char>(ch);
        return true;
    }
    if (std::ferror(iFile.get())) {
        setError(errno != 0 ? errno : EIO);
        return false;
    }
    *c = kEndOfInput;
    return true;
}
