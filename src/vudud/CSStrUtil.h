// The cs_ helpers on zero-terminated byte strings in caller-supplied buffers. Buffer functions
// never write past the size they are given: they truncate and always terminate (size > 0).
#pragma once

#include "CSDefs.h"

void cs_strcpy(size_t size, char* dst, const char* src);
void cs_strcpy(size_t size, char* dst, const char* src, size_t len);
void cs_strcat(size_t size, char* dst, const char* src);
void cs_strcat(size_t size, char* dst, char ch);

// "func(file:line)": the function text cut at its first "(", then the last component of the
// source file and the line. The context of exceptions and log lines.
void cs_format_context(size_t size, char* out, const char* func, const char* file, int line);
