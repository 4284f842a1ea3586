#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CSStrUtil.h"

namespace {

// Runs `write` on a buffer of `size` bytes followed by guard bytes; returns the text written and
// fails when a guard byte changed.
std::string bounded(size_t size, const std::function<void(size_t, char*)>& write) {
    std::vector<char> bytes(size + 8, '#');
    if (size) bytes[0] = 0;
    write(size, bytes.data());
    for (size_t i = size; i < bytes.size(); i++) EXPECT_EQ(bytes[i], '#') << "written past " << size;
    return size ? std::string(bytes.data()) : std::string(bytes.data(), 1);
}

}  // namespace

TEST(CSStrUtilTest, BoundedWritersTruncateAndTerminateWithinTheSize) {
    struct Case {
        size_t size;
        std::function<void(size_t, char*)> write;
        std::string expected;
    } cases[] = {
        {4, [](size_t n, char* b) { cs_strcpy(n, b, "abcdef"); }, "abc"},
        {10, [](size_t n, char* b) { cs_strcpy(n, b, "abcdef", 2); }, "ab"},
        {6, [](size_t n, char* b) { cs_strcpy(n, b, "ab"), cs_strcat(n, b, "cdefgh"); }, "abcde"},
        {4, [](size_t n, char* b) { cs_bin_to_hex(n, b, 2, "\x0A\xFF"); }, "0A"},  // whole bytes only
        {8, [](size_t n, char* b) { cs_make_absolute_path(n, b, "name/other", "/base"); }, "/base/n"},
        {10, [](size_t n, char* b) { cs_format_context(n, b, "int longFunctionName(int)", "a.cpp", 7); },
         "int longF"},
        // A size of 0 writes nothing at all.
        {0, [](size_t n, char* b) { cs_strcpy(n, b, "abc"), cs_strcat(n, b, "abc"); }, "#"},
        {0, [](size_t n, char* b) { cs_make_absolute_path(n, b, "x", "/a"); }, "#"},
        {0, [](size_t n, char* b) { cs_format_context(n, b, "f()", "file", 1); }, "#"},
    };
    for (const Case& c : cases) EXPECT_EQ(bounded(c.size, c.write), c.expected);
}

TEST(CSStrUtilTest, ByteSizesWithUnits) {
    struct Case {
        const char* text;
        int64 value;
        bool err;
    } cases[] = {
        {"10GB", 10737418240LL, false},
        {"  512 mb  ", 536870912, false},
        {"100", 100, false},
        {"1.5G", 1073741824, false},  // the fraction goes before the unit applies
        {"2k", 2048, false},
        {"1 P", 1125899906842624LL, false},
        {"100B", 0, true},
        {"", 0, true},
        {"-5M", 0, true},
        {"10MBx", 0, true},
        {"10 M B", 0, true},
        {"100000P", 0, true},  // does not fit in 63 bits
        {"99999999999999999999", 0, true},
    };
    for (const Case& c : cases) {
        bool err = !c.err;
        EXPECT_EQ(cs_byte_size_to_int8(c.text, &err), c.value) << c.text;
        EXPECT_EQ(err, c.err) << c.text;
    }
}

TEST(CSStrUtilTest, HexToBinaryStopsAtTheSizeAndReadsNonDigitsAsZero) {
    unsigned char out[4] = {};
    EXPECT_EQ(cs_hex_to_bin(sizeof(out), out, "aff"), 2u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(cs_hex_to_bin(sizeof(out), out, "0aFfzz"), 3u);
    EXPECT_EQ(out[2], 0x00);
    unsigned char capped[2] = {0, 0};
    EXPECT_EQ(cs_hex_to_bin(1, capped, "1234"), 1u);
    EXPECT_EQ(capped[0], 0x12);
    EXPECT_EQ(capped[1], 0x00);
}

TEST(CSStrUtilTest, MakeAbsolutePathResolvesDotsAgainstTheBase) {
    struct Case {
        const char* path;
        const char* base;
        const char* expected;
    } cases[] = {
        {"../c", "/a/b", "/a/c"}, {"./x/", "/a", "/a/x"},    {"/etc/", "/ignored", "/etc"},
        {"..x", "/a", "/a/..x"},  {"x//y", "/a/", "/a/x/y"}, {"../../..", "/a/b", "/"},
        {"../x", "/", "/x"},      {".", "/a/b/", "/a/b"},    {"..", "/a/b/", "/a"},
    };
    for (const Case& c : cases) {
        char out[64];
        cs_make_absolute_path(sizeof(out), out, c.path, c.base);
        EXPECT_STREQ(out, c.expected) << c.path << " against " << c.base;
    }
}

// The helpers the server calls for configured paths, its program name and protocol log names.
TEST(CSStrUtilTest, PathAndSuffixHelpersTheServerCalls) {
    char path[16];
    cs_strcpy(sizeof(path), path, "/a/b/");
    cs_remove_dir_char(path);
    EXPECT_STREQ(path, "/a/b");
    EXPECT_STREQ(cs_last_name_of_path("/usr/local/bin/hvpsd"), "hvpsd");
    EXPECT_TRUE(cs_ends_with("12.log", ".log"));
    EXPECT_FALSE(cs_ends_with("12.LOG", ".log"));
    EXPECT_FALSE(cs_ends_with("log", ".log"));
}
