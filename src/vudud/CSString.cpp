#include "CSString.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CSException.h"
#include "CSMemory.h"

namespace {

inline int upper(char ch) { return toupper(static_cast<unsigned char>(ch)); }

}  // namespace

CSRef<CSString> CSString::newString(const char* text) {
    return cs_new<CSString>(text, text ? strlen(text) : 0);
}

CSRef<CSString> CSString::newString(const char* text, uint32 len) { return cs_new<CSString>(text, len); }

CSRef<CSString> CSString::newString(std::string_view text) {
    return cs_new<CSString>(text.data(), text.size());
}

CSRef<CSString> CSString::newString(CSStringBuffer* buffer) {
    if (!buffer) return cs_new<CSString>();
    auto str = cs_new<CSString>(buffer->data(), buffer->length());
    buffer->clear();
    return str;
}

int CSString::compareKey(CSObject* key) {
    auto* other = dynamic_cast<CSString*>(key);
    if (!other) CSException::throwAssertion(CS_CONTEXT, "string key compared with a key of another kind");
    return compare(other);
}

uint32 CSString::hashKey() {
    uint32 h = 0;
    for (char ch : iData) {
        h = (h << 4) + static_cast<uint32>(upper(ch));
        if (uint32 g = h & 0xF0000000u) h = h ^ (g >> 24) ^ g;
    }
    return h;
}

int CSString::charAt(uint32 i) const { return i < length() ? static_cast<unsigned char>(iData[i]) : 0; }

int CSString::upperCharAt(uint32 i) const { return i < length() ? upper(iData[i]) : 0; }

void CSString::setCharAt(uint32 i, int ch) {
    if (i < length()) iData[i] = static_cast<char>(ch);
}

int CSString::compare(CSString* other) { return other ? compare(other->getCString(), UINT32_MAX) : 0; }

int CSString::compare(const char* text, uint32 count) {
    if (!text) return 0;
    const char* mine = getCString();
    for (uint32 i = 0; i < count; i++) {
        int a = upper(mine[i]);
        int b = upper(text[i]);
        if (a != b) return a - b;
        if (a == 0) break;
    }
    return 0;
}

bool CSString::equals(const char* text) const { return text && strcmp(getCString(), text) == 0; }

bool CSString::startsWith(uint32 pos, const char* text) const {
    if (!text) return true;
    if (pos > length()) pos = length();
    size_t len = strlen(text);
    return len <= length() - pos && memcmp(iData.data() + pos, text, len) == 0;
}

bool CSString::endsWith(const char* text) const {
    size_t len = text ? strlen(text) : 0;
    return len <= length() && startsWith(length() - static_cast<uint32>(len), text);
}

int32 CSString::locate(const char* text, int count) const {
    int32 len = static_cast<int32>(length());
    if (!text) text = "";
    int32 textLen = static_cast<int32>(strlen(text));
    if (count > 0) {
        for (int32 pos = 0; pos + textLen <= len; pos++) {
            if (memcmp(iData.data() + pos, text, textLen) == 0 && --count == 0) return pos;
        }
        return len;
    }
    if (count < 0) {
        for (int32 pos = len - textLen; pos >= 0; pos--) {
            if (memcmp(iData.data() + pos, text, textLen) == 0 && ++count == 0) return pos;
        }
        return -1;
    }
    return len;
}

uint32 CSString::locate(uint32 pos, const char* text) const {
    if (!text) text = "";
    size_t textLen = strlen(text);
    for (size_t p = pos; p + textLen <= iData.size(); p++) {
        if (memcmp(iData.data() + p, text, textLen) == 0) return static_cast<uint32>(p);
    }
    return length();
}

uint32 CSString::locate(uint32 pos, int ch) const {
    for (uint32 p = pos; p < length(); p++) {
        if (iData[p] == static_cast<char>(ch)) return p;
    }
    return length();
}

uint32 CSString::skip(uint32 pos, int ch) const {
    for (uint32 p = pos; p < length(); p++) {
        if (iData[p] != static_cast<char>(ch)) return p;
    }
    return length();
}

CSRef<CSString> CSString::clone(uint32 pos, uint32 len) const {
    if (pos > length()) pos = length();
    auto str = cs_new<CSString>();
    str->iData.assign(len, '\0');
    uint32 copy = std::min(len, length() - pos);
    memcpy(str->iData.data(), iData.data() + pos, copy);
    return str;
}

CSRef<CSString> CSString::substr(uint32 pos) const {
    if (pos > length()) pos = length();
    return clone(pos, length() - pos);
}

CSRef<CSString> CSString::left(const char* sep, int count) const {
    int32 p = locate(sep, count);
    if (p < 0) return cs_new<CSString>();
    return clone(0, static_cast<uint32>(p));
}

CSRef<CSString> CSString::right(const char* sep, int count) {
    int32 p = locate(sep, count);
    if (p < 0) return CSRef<CSString>::retained(this);
    if (static_cast<uint32>(p) >= length()) return cs_new<CSString>();
    return substr(static_cast<uint32>(p) + static_cast<uint32>(sep ? strlen(sep) : 0));
}

CSRef<CSString> CSString::concat(CSString* other) const { return other ? concat(other->view()) : clone(); }

CSRef<CSString> CSString::concat(const char* text) const {
    return concat(std::string_view(text ? text : ""));
}

CSRef<CSString> CSString::concat(std::string_view text) const {
    auto str = cs_new<CSString>();
    str->iData.reserve(iData.size() + text.size());
    str->iData = iData;
    str->iData.append(text);
    return str;
}

CSRef<CSString> CSString::toUpper() const {
    auto str = cs_new<CSString>(iData.data(), iData.size());
    for (char& ch : str->iData) ch = static_cast<char>(upper(ch));
    return str;
}

// ---- CSStringBuffer ----

CSStringBuffer::~CSStringBuffer() { cs_free(iData); }

void CSStringBuffer::grow(size_t by) {
    size_t capacity = static_cast<size_t>(iCapacity) + by;
    if (capacity > UINT32_MAX) CSException::throwOSError(CS_CONTEXT, ENOMEM);
    void* data = iData;
    cs_realloc(&data, capacity);
    iData = static_cast<char*>(data);
    iCapacity = static_cast<uint32>(capacity);
}

void CSStringBuffer::append(char ch) {
    if (iLength == iCapacity) grow(iGrowth);
    iData[iLength++] = ch;
}

void CSStringBuffer::append(const char* text, size_t len) {
    if (!text || len == 0) return;
    if (iCapacity - iLength < len) grow(std::max<size_t>(len, iGrowth));
    memcpy(iData + iLength, text, len);
    iLength += static_cast<uint32>(len);
}

void CSStringBuffer::append(const char* text) {
    if (text) append(text, strlen(text));
}

void CSStringBuffer::append(int32 value) {
    char number[100];
    append(number, static_cast<size_t>(snprintf(number, sizeof(number), "%d", value)));
}

void CSStringBuffer::append(uint32 value) {
    char number[100];
    append(number, static_cast<size_t>(snprintf(number, sizeof(number), "%u", value)));
}

void CSStringBuffer::append(int64 value) {
    char number[100];
    append(number,
           static_cast<size_t>(snprintf(number, sizeof(number), "%lld", static_cast<long long>(value))));
}

void CSStringBuffer::append(uint64 value) {
    char number[100];
    append(number, static_cast<size_t>(
                       snprintf(number, sizeof(number), "%llu", static_cast<unsigned long long>(value))));
}

const char* CSStringBuffer::getCString() {
    if (iLength == iCapacity) grow(1);
    iData[iLength] = 0;
    return iData;
}

char* CSStringBuffer::take() {
    void* data = iData;
    cs_realloc(&data, static_cast<size_t>(iLength) + 1);
    char* text = static_cast<char*>(data);
    text[iLength] = 0;
    iData = nullptr;
    iCapacity = 0;
    iLength = 0;
    return text;
}

void CSStringBuffer::setLength(uint32 n) {
    if (n >= iCapacity) grow(static_cast<size_t>(n) + 1 - iCapacity);
    if (n > iLength) memset(iData + iLength, 0, n - iLength);
    iLength = n;
}

CSRef<CSString> CSStringBuffer::substr(uint32 pos, uint32 len) const {
    if (pos > iLength) pos = iLength;
    if (len > iLength - pos) len = iLength - pos;
    return cs_new<CSString>(iData ? iData + pos : "", len);
}

uint32 CSStringBuffer::ignore(uint32 pos, int ch) const {
    for (uint32 p = pos; p < iLength; p++) {
        if (iData[p] != static_cast<char>(ch)) return p;
    }
    return iLength;
}

uint32 CSStringBuffer::find(uint32 pos, int ch) const {
    for (uint32 p = pos; p < iLength; p++) {
        if (iData[p] == static_cast<char>(ch)) return p;
    }
    return iLength;
}

uint32 CSStringBuffer::trim(uint32 end, int ch) const {
    if (end > iLength) end = iLength;
    while (end > 0 && iData[end - 1] == static_cast<char>(ch)) end--;
    return end;
}
