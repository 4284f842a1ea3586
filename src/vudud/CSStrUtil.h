// The cs_ helpers on zero-terminated byte strings in caller-supplied buffers. Buffer functions
// never write past the size they are given (the capacity of the destination, terminator included):
// they truncate and always terminate when the size is not 0. Paths are byte strings with "/" as the
// separator. Every function is reentrant; none keeps state except the version text, built once.
#pragma once

#include "CSDefs.h"

// The library version and build stamp: "1.0.0(Built <date> <time>)".
const char* cs_version();

// ---- Copying and concatenation ---------------------------------------------------------------

void cs_strcpy(size_t size, char* dst, const char* src);
// Copies min(size - 1, len) bytes of src (which must hold that many).
void cs_strcpy(size_t size, char* dst, const char* src, size_t len);
// The part of src before the first ch (all of src when ch does not occur).
void cs_strcpy_left(size_t size, char* dst, const char* src, char ch);
// The part of src after the first ch, up to the next ch or the end; empty when ch does not occur.
void cs_strcpy_right(size_t size, char* dst, const char* src, char ch);
// Copies len bytes when they fit; otherwise the first size - 4 bytes followed by "..." (for a
// size of 4 or less only as much of "..." as fits).
void cs_strcpy_dottt(size_t size, char* dst, const char* src, size_t len);

void cs_strcat(size_t size, char* dst, const char* src);
void cs_strcat(size_t size, char* dst, char ch);
void cs_strcat(size_t size, char* dst, int32 value);       // "%d"
void cs_strcat(size_t size, char* dst, uint32 value);      // "%u"
void cs_strcat(size_t size, char* dst, uint64 value);      // "%llu"
void cs_strcat_hex(size_t size, char* dst, uint64 value);  // "%llx"
void cs_strcat_left(size_t size, char* dst, const char* src, char ch);
void cs_strcat_right(size_t size, char* dst, const char* src, char ch);

// Appends src to the heap string *dst (null counts as empty), growing it with cs_realloc.
void cs_strcat(char** dst, const char* src);
// Heap copies, freed with cs_free. A null src gives null.
char* cs_strdup(const char* src);
char* cs_strdup(const char* src, size_t len);
char* cs_strdup(int32 value);

// Replaces the first occurrence of find (or of the character ch) by repl in place, truncating the
// result to size. Returns str, or null (and leaves str unchanged) when there is no occurrence.
char* cs_replace_string(size_t size, char* str, const char* find, const char* repl);
char* cs_replace_string(size_t size, char* str, char ch, const char* repl);

void cs_strToUpper(char* str);
void cs_strToLower(char* str);
// Case-sensitive. An empty prefix matches; an empty suffix does not.
bool cs_starts_with(const char* str, const char* prefix);
bool cs_ends_with(const char* str, const char* suffix);

// ---- Numbers and hexadecimal -----------------------------------------------------------------

// Decimal parsers: leading "0"s are skipped; a text of only zeros is 0. When what follows is no
// number (or out of range, or negative for the unsigned form) the result is 0 and *err is set
// true. *err is never cleared, so several parses can share one flag; err may be null.
uint64 cs_str_to_word8(const char* str, bool* err = nullptr);
int64 cs_str_to_int8(const char* str, bool* err = nullptr);
// strtoul in the given base; true when the whole text was consumed and the number fits in 32 bits.
bool cs_str_to_value(const char* str, uint32* value, int base = 10);

// Writes len bytes as upper-case hexadecimal, two digits per byte, and terminates; stops early,
// at a whole byte, when dst is full.
void cs_bin_to_hex(size_t size, char* dst, size_t len, const void* src);
// Reads len hexadecimal digits of either case (any other character counts as 0), two per byte; an
// odd count reads as if a leading "0" were present. Writes at most size bytes; returns how many.
size_t cs_hex_to_bin(size_t size, void* dst, size_t len, const char* hex);
size_t cs_hex_to_bin(size_t size, void* dst, const char* hex);

// A byte size: a decimal number (fraction dropped), blanks, then an optional unit K, M, G, T or P
// (either case, powers of 1024) with an optional "B" after it, then only blanks. Sets *err (when
// given) to whether the text was invalid or the size does not fit in 63 bits; 0 on error.
int64 cs_byte_size_to_int8(const char* str, bool* err = nullptr);

// ---- Paths -----------------------------------------------------------------------------------

bool cs_is_absolute(const char* path);
// The number of "/" characters.
uint32 cs_path_depth(const char* path);
// After the last "/" (empty when the path ends with "/"); the path itself when it has none.
const char* cs_last_name_of_path(const char* path);
// After the count-th "/" from the end (a trailing "/" counts); the path itself when there are fewer.
const char* cs_last_name_of_path(const char* path, int count);
// The start of the last component, ignoring one trailing "/" (which stays part of the result).
const char* cs_last_directory_of_path(const char* path);
// After the first component (a leading "/" skipped) and the "/" that follows it.
const char* cs_next_name_of_path(const char* path);
// Cuts the path after its last "/"; a path without "/" becomes empty.
void cs_remove_last_name_of_path(char* path);
// Appends "/" when the path is not empty, does not end with "/" and the "/" fits.
void cs_add_dir_char(size_t size, char* path);
// Removes one trailing "/" when the path has at least 2 characters.
void cs_remove_dir_char(char* path);
// Adds "/" if needed, then the first component of name (a leading "/" skipped).
void cs_add_name_to_path(size_t size, char* path, const char* name);
// After the last "." of the last component, or null when it has none.
const char* cs_find_extension(const char* path);
void cs_remove_extension(char* path);
bool cs_is_extension(const char* path, const char* ext);
// True when str holds no "*" or "?" that is not escaped with "\".
bool cs_fixed_pattern(const char* str);
// Shell-style match of name against pattern.
bool cs_match_patern(const char* pattern, const char* name, bool ignoreCase);

// An absolute path is taken as it is; a relative one is applied to base component by component
// ("." skipped, ".." removes the last component, never above "/"). One trailing "/" is removed
// from the result when it has at least 2 characters.
void cs_make_absolute_path(size_t size, char* out, const char* path, const char* base);

// "func(file:line)": the function text cut at its first "(", then the last component of the
// source file and the line. The context of exceptions and log lines.
void cs_format_context(size_t size, char* out, const char* func, const char* file, int line);
