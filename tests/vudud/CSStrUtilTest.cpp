#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CSMemory.h"
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
        {20, [](size_t n, char* b) { cs_strcat(n, b, int32(-5)), cs_strcat(n, b, uint32(4000000000u)); },
         "-54000000000"},
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
    char out[300];
    cs_format_context(sizeof(out), out, "virtual void CSFile::close()", "src/vudud/CSFile", 12);
    EXPECT_STREQ(out, "virtual void CSFile::close(CSFile:12)");
}

// The string and path helpers the server itself does not call, one row each.
TEST(CSStrUtilTest, LibraryHelpersGiveTheirDocumentedResults) {
    auto edited = [](const char* in, void (*edit)(char*)) {
        char buf[32];
        cs_strcpy(sizeof(buf), buf, in);
        edit(buf);
        return std::string(buf);
    };
    auto sized = [](const char* in, size_t size, std::function<void(size_t, char*)> edit) {
        std::vector<char> buf(size);
        cs_strcpy(size, buf.data(), in);
        edit(size, buf.data());
        return std::string(buf.data());
    };
    auto word = [](const char* text) {
        bool err = false;
        uint64 v = cs_str_to_word8(text, &err);
        return err ? std::string("err") : std::to_string(v);
    };
    auto value = [](const char* text, int base) {
        uint32 v = 0;
        return cs_str_to_value(text, &v, base) ? std::to_string(v) : std::string("err");
    };
    auto heap = [](char* text) {
        std::string s = text ? text : "null";
        cs_free(text);
        return s;
    };
    struct Case {
        std::string got, expected;
    } cases[] = {
        {sized("", 10, [](size_t n, char* b) { cs_strcpy_left(n, b, "key=value", '='); }), "key"},
        {sized("", 10, [](size_t n, char* b) { cs_strcpy_right(n, b, "a/b/c", '/'); }), "b"},
        {sized("", 10, [](size_t n, char* b) { cs_strcpy_dottt(n, b, "0123456789abcdefghij", 20); }),
         "012345..."},
        {sized("x:", 8, [](size_t n, char* b) { cs_strcat_left(n, b, "left|right", '|'); }), "x:left"},
        {sized("x:", 20, [](size_t n, char* b) { cs_strcat_right(n, b, "l|right|m", '|'); }), "x:right"},
        {sized("", 8, [](size_t n, char* b) { cs_strcat_hex(n, b, 0xBEEF); }), "beef"},
        {sized("", 30, [](size_t n, char* b) { cs_strcat(n, b, uint64(18446744073709551615ull)); }),
         "18446744073709551615"},
        {sized("a-b-c", 12, [](size_t n, char* b) { cs_replace_string(n, b, "-", "+++"); }), "a+++b-c"},
        {sized("a-b", 6, [](size_t n, char* b) { cs_replace_string(n, b, '-', "====="); }), "a===="},
        {sized("/data", 16, [](size_t n, char* b) { cs_add_name_to_path(n, b, "/space/file"); }),
         "/data/space"},
        {sized("abc", 4, [](size_t n, char* b) { cs_add_dir_char(n, b); }), "abc"},
        {edited("MiXeD 1", cs_strToUpper), "MIXED 1"},
        {edited("/a/b.txt", cs_remove_last_name_of_path), "/a/"},
        {edited("d.x/file", cs_remove_extension), "d.x/file"},
        {edited("/a/b.txt", cs_remove_extension), "/a/b"},
        {edited("/a/b/", cs_remove_dir_char), "/a/b"},
        {cs_last_name_of_path("/a/b/c", 2), "b/c"},
        {cs_last_directory_of_path("/a/b/"), "b/"},
        {cs_next_name_of_path("/a/b/c"), "b/c"},
        {std::to_string(cs_path_depth("/a/b/")), "3"},
        {cs_find_extension("/a/b.tar.gz"), "gz"},
        {std::to_string(cs_find_extension("/a.d/b") == nullptr), "1"},
        {std::to_string(cs_is_extension("x.html", "htm")), "0"},
        {std::to_string(cs_starts_with("sp", "space")), "0"},
        {std::to_string(cs_ends_with("file.txt", ".TXT")), "0"},
        {std::to_string(cs_fixed_pattern("star\\*")), "1"},
        {std::to_string(cs_fixed_pattern("\\\\*")), "0"},
        {std::to_string(cs_match_patern("*.TXT", "a.txt", true)), "1"},
        {std::to_string(cs_match_patern("*.TXT", "a.txt", false)), "0"},
        {word("0042"), "42"},
        {word("-5"), "err"},
        {word("99999999999999999999"), "err"},
        {value("ff", 16), "255"},
        {value("12s", 10), "err"},
        {value("4294967296", 10), "err"},
        {heap(cs_strdup("hello", 3)), "hel"},
        {heap(cs_strdup(-42)), "-42"},
        {std::string(cs_version()).substr(0, 12), "1.0.0(Built "},
    };
    for (size_t i = 0; i < std::size(cases); i++) EXPECT_EQ(cases[i].got, cases[i].expected) << "row " << i;
}
