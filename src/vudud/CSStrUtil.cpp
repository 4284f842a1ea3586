#include "CSStrUtil.h"

#include <fnmatch.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CSMemory.h"

namespace {

constexpr const char* kLibraryVersion = "1.0.0";

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return 0;
}

bool isBlank(char ch) { return isspace(static_cast<unsigned char>(ch)) != 0; }

}  // namespace

const char* cs_version() {
    static const char* const text = [] {
        static char buffer[124];
        snprintf(buffer, sizeof(buffer), "%s(Built %s %s)", kLibraryVersion, __DATE__, __TIME__);
        return buffer;
    }();
    return text;
}

// ---- Copying and concatenation ---------------------------------------------------------------

void cs_strcpy(size_t size, char* dst, const char* src) {
    if (size == 0) return;
    size_t len = strlen(src);
    if (len > size - 1) len = size - 1;
    memcpy(dst, src, len);
    dst[len] = 0;
}

void cs_strcpy(size_t size, char* dst, const char* src, size_t len) {
    if (size == 0) return;
    if (len > size - 1) len = size - 1;
    memcpy(dst, src, len);
    dst[len] = 0;
}

void cs_strcpy_left(size_t size, char* dst, const char* src, char ch) {
    const char* end = strchr(src, ch);
    cs_strcpy(size, dst, src, end ? static_cast<size_t>(end - src) : strlen(src));
}

void cs_strcpy_right(size_t size, char* dst, const char* src, char ch) {
    const char* start = strchr(src, ch);
    if (!start || ch == 0) {
        cs_strcpy(size, dst, "");
        return;
    }
    cs_strcpy_left(size, dst, start + 1, ch);
}

void cs_strcpy_dottt(size_t size, char* dst, const char* src, size_t len) {
    if (size == 0) return;
    if (len <= size - 1) {
        cs_strcpy(size, dst, src, len);
        return;
    }
    size_t keep = size > 4 ? size - 4 : 0;
    memcpy(dst, src, keep);
    dst[keep] = 0;
    cs_strcat(size, dst, "...");
}

void cs_strcat(size_t size, char* dst, const char* src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return;
    cs_strcpy(size - used, dst + used, src);
}

void cs_strcat(size_t size, char* dst, char ch) {
    char text[2] = {ch, 0};
    cs_strcat(size, dst, text);
}

void cs_strcat(size_t size, char* dst, int32 value) {
    char text[24];
    snprintf(text, sizeof(text), "%d", value);
    cs_strcat(size, dst, text);
}

void cs_strcat(size_t size, char* dst, uint32 value) {
    char text[24];
    snprintf(text, sizeof(text), "%u", value);
    cs_strcat(size, dst, text);
}

void cs_strcat(size_t size, char* dst, uint64 value) {
    char text[24];
    snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(value));
    cs_strcat(size, dst, text);
}

void cs_strcat_hex(size_t size, char* dst, uint64 value) {
    char text[24];
    snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    cs_strcat(size, dst, text);
}

void cs_strcat_left(size_t size, char* dst, const char* src, char ch) {
    size_t used = strnlen(dst, size);
    if (used >= size) return;
    cs_strcpy_left(size - used, dst + used, src, ch);
}

void cs_strcat_right(size_t size, char* dst, const char* src, char ch) {
    size_t used = strnlen(dst, size);
    if (used >= size) return;
    cs_strcpy_right(size - used, dst + used, src, ch);
}

void cs_strcat(char** dst, const char* src) {
    size_t used = *dst ? strlen(*dst) : 0;
    size_t add = strlen(src);
    void* block = *dst;
    cs_realloc(&block, used + add + 1);
    char* text = static_cast<char*>(block);
    memcpy(text + used, src, add + 1);
    *dst = text;
}

char* cs_strdup(const char* src) { return src ? cs_strdup(src, strlen(src)) : nullptr; }

char* cs_strdup(const char* src, size_t len) {
    if (!src) return nullptr;
    char* copy = static_cast<char*>(cs_malloc(len + 1));
    memcpy(copy, src, len);
    copy[len] = 0;
    return copy;
}

char* cs_strdup(int32 value) {
    char text[24];
    snprintf(text, sizeof(text), "%d", value);
    return cs_strdup(text);
}

namespace {

char* replaceAt(size_t size, char* str, char* at, size_t findLen, const char* repl) {
    std::string tail(at + findLen);
    *at = 0;
    cs_strcat(size, str, repl);
    cs_strcat(size, str, tail.c_str());
    return str;
}

}  // namespace

char* cs_replace_string(size_t size, char* str, const char* find, const char* repl) {
    char* at = strstr(str, find);
    if (!at) return nullptr;
    return replaceAt(size, str, at, strlen(find), repl);
}

char* cs_replace_string(size_t size, char* str, char ch, const char* repl) {
    char* at = ch ? strchr(str, ch) : nullptr;
    if (!at) return nullptr;
    return replaceAt(size, str, at, 1, repl);
}

void cs_strToUpper(char* str) {
    for (; *str; str++) *str = static_cast<char>(toupper(static_cast<unsigned char>(*str)));
}

void cs_strToLower(char* str) {
    for (; *str; str++) *str = static_cast<char>(tolower(static_cast<unsigned char>(*str)));
}

bool cs_starts_with(const char* str, const char* prefix) { return strncmp(str, prefix, strlen(prefix)) == 0; }

bool cs_ends_with(const char* str, const char* suffix) {
    size_t len = strlen(str);
    size_t slen = strlen(suffix);
    return slen > 0 && slen <= len && memcmp(str + len - slen, suffix, slen) == 0;
}

// ---- Numbers and hexadecimal -----------------------------------------------------------------

uint64 cs_str_to_word8(const char* str, bool* err) {
    while (*str == '0') str++;
    if (!*str) return 0;
    const char* p = str;
    while (isBlank(*p)) p++;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = *p == '-' ? 0 : strtoull(p, &end, 10);
    if (errno == ERANGE) value = 0;
    if (value == 0 && err) *err = true;
    return value;
}

int64 cs_str_to_int8(const char* str, bool* err) {
    while (*str == '0') str++;
    if (!*str) return 0;
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(str, &end, 10);
    if (errno == ERANGE) value = 0;
    if (value == 0 && err) *err = true;
    return value;
}

bool cs_str_to_value(const char* str, uint32* value, int base) {
    const char* p = str;
    while (isBlank(*p)) p++;
    errno = 0;
    char* end = nullptr;
    unsigned long number = strtoul(p, &end, base);
    *value = static_cast<uint32>(number);
    // strtoul would negate "-1" into a huge count and wrap numbers above 32 bits: both are refused.
    if (errno == ERANGE || number > UINT32_MAX || (*p == '-' && number != 0)) return false;
    return *end == 0;
}

void cs_bin_to_hex(size_t size, char* dst, size_t len, const void* src) {
    static const char digits[] = "0123456789ABCDEF";
    if (size == 0) return;
    const uint8* bytes = static_cast<const uint8*>(src);
    size_t out = 0;
    for (size_t i = 0; i < len && out + 2 < size; i++) {
        dst[out++] = digits[bytes[i] >> 4];
        dst[out++] = digits[bytes[i] & 0x0F];
    }
    dst[out] = 0;
}

size_t cs_hex_to_bin(size_t size, void* dst, size_t len, const char* hex) {
    uint8* out = static_cast<uint8*>(dst);
    size_t written = 0;
    size_t i = 0;
    if (len % 2 == 1 && written < size) {
        out[written++] = static_cast<uint8>(hexValue(hex[0]));
        i = 1;
    }
    for (; i + 1 < len && written < size; i += 2) {
        out[written++] = static_cast<uint8>((hexValue(hex[i]) << 4) | hexValue(hex[i + 1]));
    }
    return written;
}

size_t cs_hex_to_bin(size_t size, void* dst, const char* hex) {
    return cs_hex_to_bin(size, dst, strlen(hex), hex);
}

int64 cs_byte_size_to_int8(const char* str, bool* err) {
    auto fail = [err]() -> int64 {
        if (err) *err = true;
        return 0;
    };
    const char* p = str;
    while (isBlank(*p)) p++;
    if (!isdigit(static_cast<unsigned char>(*p)) && *p != '.') return fail();
    // strtod would read "0x10" as hexadecimal; sizes are decimal only.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return fail();
    char* end = nullptr;
    double number = strtod(p, &end);
    if (end == p || !std::isfinite(number) || number >= 9.2e18) return fail();
    int64 value = static_cast<int64>(number);
    p = end;
    while (isBlank(*p)) p++;
    int shift = 0;
    if (*p) {
        switch (toupper(static_cast<unsigned char>(*p))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            case 'P':
                shift = 50;
                break;
            default:
                return fail();
        }
        p++;
        if (toupper(static_cast<unsigned char>(*p)) == 'B') p++;
        while (isBlank(*p)) p++;
        if (*p) return fail();
    }
    // A shift that would push bits into the sign would silently turn a huge size into a wrong one.
    if (shift && value > (INT64_MAX >> shift)) return fail();
    if (err) *err = false;
    return value << shift;
}

// ---- Paths -----------------------------------------------------------------------------------

bool cs_is_absolute(const char* path) { return path[0] == '/'; }

uint32 cs_path_depth(const char* path) {
    uint32 count = 0;
    for (; *path; path++)
        if (*path == '/') count++;
    return count;
}

const char* cs_last_name_of_path(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* cs_last_name_of_path(const char* path, int count) {
    const char* p = path + strlen(path);
    while (p > path) {
        p--;
        if (*p == '/' && --count <= 0) return p + 1;
    }
    return path;
}

const char* cs_last_directory_of_path(const char* path) {
    size_t len = strlen(path);
    if (len > 0 && path[len - 1] == '/') len--;
    while (len > 0 && path[len - 1] != '/') len--;
    return path + len;
}

const char* cs_next_name_of_path(const char* path) {
    if (*path == '/') path++;
    const char* slash = strchr(path, '/');
    return slash ? slash + 1 : path + strlen(path);
}

void cs_remove_last_name_of_path(char* path) {
    char* slash = strrchr(path, '/');
    if (slash)
        slash[1] = 0;
    else
        path[0] = 0;
}

void cs_add_dir_char(size_t size, char* path) {
    size_t len = strnlen(path, size);
    if (len == 0 || path[len - 1] == '/' || len + 1 >= size) return;
    path[len] = '/';
    path[len + 1] = 0;
}

void cs_remove_dir_char(char* path) {
    size_t len = strlen(path);
    if (len >= 2 && path[len - 1] == '/') path[len - 1] = 0;
}

void cs_add_name_to_path(size_t size, char* path, const char* name) {
    cs_add_dir_char(size, path);
    if (*name == '/') name++;
    cs_strcat_left(size, path, name, '/');
}

const char* cs_find_extension(const char* path) {
    const char* name = cs_last_name_of_path(path);
    const char* dot = strrchr(name, '.');
    return dot ? dot + 1 : nullptr;
}

void cs_remove_extension(char* path) {
    const char* ext = cs_find_extension(path);
    if (ext) path[ext - 1 - path] = 0;
}

bool cs_is_extension(const char* path, const char* ext) {
    const char* found = cs_find_extension(path);
    return found && strcmp(found, ext) == 0;
}

bool cs_fixed_pattern(const char* str) {
    for (; *str; str++) {
        if (*str == '\\') {
            if (!str[1]) break;
            str++;
        } else if (*str == '*' || *str == '?') {
            return false;
        }
    }
    return true;
}

bool cs_match_patern(const char* pattern, const char* name, bool ignoreCase) {
    return fnmatch(pattern, name, ignoreCase ? FNM_CASEFOLD : 0) == 0;
}

void cs_make_absolute_path(size_t size, char* out, const char* path, const char* base) {
    if (size == 0) return;
    if (cs_is_absolute(path)) {
        cs_strcpy(size, out, path);
    } else {
        cs_strcpy(size, out, base ? base : "");
        const char* p = path;
        while (*p) {
            const char* end = strchr(p, '/');
            size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
            if (len == 0 || (len == 1 && p[0] == '.')) {
                // Empty components ("a//b", a trailing "/") and "." change nothing.
            } else if (len == 2 && p[0] == '.' && p[1] == '.') {
                size_t olen = strlen(out);
                if (olen > 0 && out[olen - 1] == '/') olen--;
                while (olen > 0 && out[olen - 1] != '/') olen--;
                // olen is now just after the "/" that precedes the last component; "/" itself stays.
                if (olen == 0 && out[0] == '/') olen = 1;
                out[olen] = 0;
            } else {
                size_t olen = strlen(out);
                if (olen > 0 && out[olen - 1] != '/') cs_strcat(size, out, '/');
                size_t used = strlen(out);
                if (used + 1 < size) cs_strcpy(size - used, out + used, p, len);
            }
            p += len;
            if (*p == '/') p++;
        }
    }
    cs_remove_dir_char(out);
}

void cs_format_context(size_t size, char* out, const char* func, const char* file, int line) {
    if (size == 0) return;
    const char* name = func ? func : "";
    const char* paren = strchr(name, '(');
    cs_strcpy(size, out, name, paren ? static_cast<size_t>(paren - name) : strlen(name));
    if (func) cs_strcat(size, out, "(");
    if (file) {
        const char* last = strrchr(file, '/');
        cs_strcat(size, out, last ? last + 1 : file);
        if (line) {
            char number[24];
            snprintf(number, sizeof(number), ":%d", line);
            cs_strcat(size, out, number);
        }
    }
    cs_strcat(size, out, ")");
}
