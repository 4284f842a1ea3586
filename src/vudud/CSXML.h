// CSXML: a small, lenient, push-style XML reader. It reads a document character by character and
// reports it to a subclass through three callbacks (a node opened, an attribute seen, a node
// closed); every node is named by its path, the slash-separated names of all open nodes. It never
// rejects a document for its syntax: close tags need not match, entities are not decoded, nothing
// is validated. Its only errors are memory exhaustion, a character that UTF-8 cannot hold, and a
// read error of the source.
//
// The work is iterative: no document drives recursion, markup nested inside declarations is
// tracked to kMaxMarkupNesting levels (deeper levels close as plain declarations), and an
// unmatched close tag is dismissed without walking the open nodes. An object parses one document
// at a time and is not shared between threads while it does.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CSDefs.h"

enum : int {
    XML_ERR_MEMORY = -1,
    XML_ERR_CHAR_TOO_LARGE = -2,
};

// Parse options.
enum : int {
    XML_OPT_EMPTY_TEXT = 1,  // report text nodes even when they are empty
};

// Tokenizer state shared by the layers below.
class CSXMLParser {
public:
    static constexpr int kMaxMarkupNesting = 200;

    CSXMLParser() = default;
    CSXMLParser(const CSXMLParser&) = delete;
    CSXMLParser& operator=(const CSXMLParser&) = delete;
    virtual ~CSXMLParser() = default;

protected:
    enum State {
        ST_TEXT,              // content between tags
        ST_LT,                // after "<"
        ST_NAME,              // name of a start tag, processing instruction or declaration
        ST_CLOSE_NAME,        // name of a close tag
        ST_CLOSE_END,         // after the name of a close tag, up to ">"
        ST_ATTR_SPACE,        // inside markup, between attributes
        ST_ATTR_NAME,         // an attribute name
        ST_ATTR_AFTER_NAME,   // white space after an attribute name
        ST_ATTR_AFTER_EQ,     // after "="
        ST_VALUE_QUOTED,      // a quoted attribute value
        ST_VALUE_UNQUOTED,    // an unquoted attribute value
        ST_VALUE_UNQUOTED_Q,  // "?" in an unquoted value of a processing instruction ("?>" ends it)
        ST_ELEMENT_SLASH,     // "/" in a start tag ("/>" ends an empty element)
        ST_PI_QUESTION,       // "?" in a processing instruction
        ST_COMMENT,           // inside "<!--"
        ST_CDATA,             // inside "<![CDATA["
    };
    enum Kind { KIND_ELEMENT, KIND_PI, KIND_DECL };

    void resetParser();

    State iState = ST_TEXT;
    char32_t iQuote = 0;
    Kind iKind = KIND_ELEMENT;
    // Markup nested inside declarations: the depth, and the kind of each enclosing markup for the
    // first kMaxMarkupNesting levels.
    size_t iMarkupDepth = 0;
    Kind iMarkupKinds[kMaxMarkupNesting] = {};
};

// Adds the error state and the decoding of input bytes into characters.
class CSXMLProcessor : public CSXMLParser {
public:
    static constexpr int kMaxErrorText = 127;
    static constexpr size_t kMaxCapture = 47;
    // getChar's value for the end of the input.
    static constexpr wchar_t kEndOfInput = 0x7FFFFFFF;

    // True when an error is set, with its code and text (either pointer may be null).
    bool getError(int* code, const char** text) const;
    int getErrorCode() const { return iErrorCode; }
    const char* getErrorText() const { return iErrorText; }
    // Prints the prefix and the error text to standard output.
    void printError(const char* prefix) const;

protected:
    enum Encoding { ENC_UTF8, ENC_TABLE, ENC_PLAIN };

    // Fills the table for the bytes 128 to 255 from iEncodingName: ISO-8859-1 maps each byte to
    // itself, any other name maps every such byte to "?".
    virtual void buildConversionTable();
    // The next input character: true with kEndOfInput at the end; false on a read error, which
    // the implementation has set. Values below 256 are bytes; larger values are characters.
    virtual bool getChar(wchar_t* c) = 0;

    void resetProcessor();
    // Code 0 clears; positive codes are errno values of the source.
    void setError(int code);
    // Selects the decoding from an encoding name (UTF-8, a wide form taken as plain code points,
    // or a single-byte table).
    void setEncoding(const std::string& name);
    // The next decoded character, or kEndOfInput; false on a read error.
    bool nextChar(char32_t* c);

    int iErrorCode = 0;
    char iErrorText[kMaxErrorText + 1] = {};
    Encoding iEncoding = ENC_UTF8;
    std::string iEncodingName;
    char32_t iConversionTable[128] = {};

private:
    char32_t decodeByte(char32_t b, bool* produced);

    // A partly read UTF-8 sequence, and a byte to be read again after a broken one.
    int iUtfNeed = 0;
    int iUtfLen = 0;
    char32_t iUtfValue = 0;
    bool iHavePushback = false;
    char32_t iPushback = 0;
};

// The reader proper: node paths, names and values, and the callbacks.
class CSXML : public CSXMLProcessor {
public:
    // Reads the whole input; true when all was read and every callback returned true. On false
    // an error is set unless a callback refused.
    bool parseXML(int options);

protected:
    // A callback that returns false stops the parse. Strings are UTF-8, names in lower case.
    virtual bool openNode(const char* path, const char* value) = 0;
    virtual bool closeNode(const char* path) = 0;
    virtual bool addAttribute(const char* path, const char* name, const char* value) = 0;

private:
    bool processChar(char32_t c);
    bool append(std::string& s, char32_t c, bool fold);
    bool flushText();
    bool openMarkupNode();
    bool reportAttribute();
    bool reportLeaf(const char* name, const std::string& value);
    bool endMarkup(bool closeElement);
    bool closeTop();
    bool closeTag();
    void returnToParent();
    void pushNode(const std::string& name, bool element);
    void freeStrings();

    int iOptions = 0;
    // "/a/b" for the open nodes a and b; iNodeStarts holds the offset of each node's "/".
    std::string iPath;
    std::vector<size_t> iNodeStarts;
    std::vector<bool> iNodeIsElement;
    // Open elements by name, so that an unmatched close tag costs nothing.
    std::unordered_map<std::string, size_t> iOpenElements;
    std::string iName;     // tag name, lower case
    std::string iRawName;  // tag name as written (first 47 characters, ASCII, "~" for others)
    std::string iAttrName;
    std::string iValue;     // text, attribute value, comment or CDATA content
    std::string iRawValue;  // attribute value as written (first 47 characters, ASCII)
    bool iXMLDecl = false;  // the open markup is the XML declaration "<?xml"
};

// Prints every callback to standard output, one line each.
class CSXMLPrint : public CSXML {
protected:
    bool openNode(const char* path, const char* value) override;
    bool closeNode(const char* path) override;
    bool addAttribute(const char* path, const char* name, const char* value) override;
};

// Parses a document in memory.
class CSXMLBuffer : public CSXMLPrint {
public:
    bool parseData(const char* data, unsigned long length, int options);
    bool parseString(const char* text, int options);

protected:
    bool getChar(wchar_t* c) override;

private:
    const char* iData = nullptr;
    unsigned long iLength = 0;
    unsigned long iPos = 0;
};

// Parses a file through a C stream.
class CSXMLFile : public CSXMLPrint {
public:
    // An open or read failure sets its errno as the error and returns false.
    bool parseFile(const char* path, int options);

protected:
    bool getChar(wchar_t* c) override;

private:
    struct FileClose {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileClose> iFile;
};
