#include "CSStrUtil.h"

#include <cstdio>
#include <cstring>

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

void cs_strcat(size_t size, char* dst, const char* src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return;
    cs_strcpy(size - used, dst + used, src);
}

void cs_strcat(size_t size, char* dst, char ch) {
    char text[2] = {ch, 0};
    cs_strcat(size, dst, text);
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
