// CSString: an immutable-by-convention byte string (single-byte characters, zero-terminated) with
// the operations the server relies on. As a container key it is case-insensitive: compareKey and
// hashKey upper-case both sides, while equals() is exact. Operations that make a string return a
// new one with one reference for the caller (CSRef). CSStringBuffer is a growable byte buffer.
// Neither class is synchronised; a string is used by one thread at a time or handed over under a lock.
#pragma once

#include <string>
#include <string_view>

#include "CSDefs.h"
#include "CSObject.h"

class CSStringBuffer;

class CSString : public CSRefObject {
public:
    CSString() = default;
    CSString(const char* text, size_t len) : iData(text ? text : "", text ? len : 0) {}

    static CSRef<CSString> newString(const char* text);
    static CSRef<CSString> newString(const char* text, uint32 len);
    static CSRef<CSString> newString(std::string_view text);
    // Takes the buffer's characters; the buffer is left empty.
    static CSRef<CSString> newString(CSStringBuffer* buffer);

    // Container key operations: the string itself, case-insensitive comparison, ELF hash of the
    // upper-cased characters.
    CSObject* getKey() override { return this; }
    int compareKey(CSObject* key) override;
    uint32 hashKey() override;

    const char* getCString() const { return iData.c_str(); }
    std::string_view view() const { return iData; }
    uint32 length() const { return static_cast<uint32>(iData.size()); }
    // Resizes to n characters; new characters are zero.
    void setLength(uint32 n) { iData.resize(n); }

    // 0 at or past the end.
    int charAt(uint32 i) const;
    int upperCharAt(uint32 i) const;
    // Ignored at or past the end.
    void setCharAt(uint32 i, int ch);

    // Case-insensitive: the difference of the first differing upper-cased characters, or 0.
    // At most `count` characters are compared; a null text compares equal.
    int compare(CSString* other);
    int compare(const char* text, uint32 count = UINT32_MAX);
    // Exact, case-sensitive equality.
    bool equals(const char* text) const;
    // Case-sensitive test of `text` at min(pos, length()); an empty text matches.
    bool startsWith(uint32 pos, const char* text) const;
    bool startsWith(const char* text) const { return startsWith(0, text); }
    bool endsWith(const char* text) const;

    // count > 0: position of the count-th occurrence from the start, or length() when there is none.
    // count < 0: position of the -count-th occurrence from the end, or -1 when there is none.
    int32 locate(const char* text, int count) const;
    // First position at or after pos where `text` starts (or the character is ch); length() if none.
    uint32 locate(uint32 pos, const char* text) const;
    uint32 locate(uint32 pos, int ch) const;
    // First position at or after pos whose character is not ch; length() if none.
    uint32 skip(uint32 pos, int ch) const;
    uint32 nextPos(uint32 i) const { return i < length() ? i + 1 : length(); }

    // A new string of length `len` holding up to `len` characters from pos (clamped to the length);
    // positions past the copied part are zero.
    CSRef<CSString> clone(uint32 pos, uint32 len) const;
    CSRef<CSString> clone(uint32 len) const { return clone(0, len); }
    CSRef<CSString> clone() const { return clone(0, length()); }
    CSRef<CSString> substr(uint32 pos, uint32 len) const { return clone(pos, len); }
    // A position past the end gives an empty string.
    CSRef<CSString> substr(uint32 pos) const;

    // The text before the separator found by locate(sep, count): empty when locate gives -1, the
    // whole string when the separator does not occur searching forwards.
    CSRef<CSString> left(const char* sep, int count) const;
    CSRef<CSString> left(const char* sep) const { return left(sep, 1); }
    // The text after the separator: this string itself when locate gives -1, empty when the
    // separator does not occur searching forwards.
    CSRef<CSString> right(const char* sep, int count);
    CSRef<CSString> right(const char* sep) { return right(sep, 1); }

    CSRef<CSString> concat(CSString* other) const;
    CSRef<CSString> concat(const char* text) const;
    CSRef<CSString> concat(std::string_view text) const;
    CSRef<CSString> toUpper() const;

private:
    std::string iData;
};

// A growable byte buffer. It grows by the growth step (default 20 bytes), or by the length of a
// larger text appended at once. The data is terminated only by getCString() and take().
class CSStringBuffer : public CSObject {
public:
    explicit CSStringBuffer(uint32 growth = 20) : iGrowth(growth ? growth : 1) {}
    ~CSStringBuffer() override;

    void append(char ch);
    void append(const char* text, size_t len);
    void append(const char* text);
    void append(std::string_view text) { append(text.data(), text.size()); }
    void append(int32 value);
    void append(uint32 value);
    void append(int64 value);
    void append(uint64 value);

    // The data terminated by a zero byte (grows by one byte when full). Valid until the next change.
    const char* getCString();
    // Hands the terminated data (allocated with cs_malloc, free with cs_free) to the caller and
    // leaves the buffer empty with no allocation. Never null.
    char* take();

    uint32 length() const { return iLength; }
    uint32 capacity() const { return iCapacity; }
    const char* data() const { return iData; }
    // Sets the length, growing to n + 1 bytes when needed; new bytes are zero.
    void setLength(uint32 n);
    void clear() { iLength = 0; }
    int charAt(uint32 i) const { return i < iLength ? static_cast<unsigned char>(iData[i]) : 0; }

    CSRef<CSString> substr(uint32 pos, uint32 len) const;

    // Scanners: first position at or after pos whose byte is not / is ch; length() when none.
    uint32 ignore(uint32 pos, int ch) const;
    uint32 find(uint32 pos, int ch) const;
    // Moves end back over bytes equal to ch and returns it.
    uint32 trim(uint32 end, int ch) const;

private:
    void grow(size_t by);

    char* iData = nullptr;
    uint32 iGrowth;
    uint32 iCapacity = 0;
    uint32 iLength = 0;
};
