#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CSMemory.h"
#include "CSStrUtil.h"

namespace {

// A buffer with guard bytes after the given size, to catch writes past it.
struct Guarded {
    explicit Guarded(size_t size, const char* init = "") : size(size), bytes(size + 8, '#') {
        if (size) cs_strcpy(size, bytes.data(), init);
    }
    char* data() { return bytes.data(); }
    std::string text() const { return std::string(bytes.data()); }
    bool guardIntact() const {
        for (size_t i = size; i < bytes.size(); i++)
            if (bytes[i] != '#') return false;
        return true;
    }
    size_t size;
    std::vector<char> bytes;
};

}  // namespace

TEST(CSStrUtilTest, VersionNamesLibraryVersionAndBuildStamp) {
    std::string version = cs_version();
    EXPECT_EQ(version.rfind("1.0.0(Built ", 0), 0u) << version;
    EXPECT_EQ(version.back(), ')');
    EXPECT_EQ(cs_version(), cs_version());
}

TEST(CSStrUtilTest, CopiesTruncateAndTerminateWithinTheSize) {
    struct Case {
        size_t size;
        std::string (*run)(size_t, Guarded&);
        std::string expected;
    };
    const Case cases[] = {
        {4,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "abcdef");
             return g.text();
         },
         "abc"},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "abcdef", 2);
             return g.text();
         },
         "ab"},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_left(n, g.data(), "key=value", '=');
             return g.text();
         },
         "key"},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_left(n, g.data(), "novalue", '=');
             return g.text();
         },
         "novalue"},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_right(n, g.data(), "a/b/c", '/');
             return g.text();
         },
         "b"},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_right(n, g.data(), "abc", '/');
             return g.text();
         },
         ""},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_dottt(n, g.data(), "0123456789abcdefghij", 20);
             return g.text();
         },
         "012345..."},
        {10,
         [](size_t n, Guarded& g) {
             cs_strcpy_dottt(n, g.data(), "012345678", 9);
             return g.text();
         },
         "012345678"},
        {3,
         [](size_t n, Guarded& g) {
             cs_strcpy_dottt(n, g.data(), "0123456789", 10);
             return g.text();
         },
         ".."},
        {6,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "ab");
             cs_strcat(n, g.data(), "cdefgh");
             return g.text();
         },
         "abcde"},
        {20,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "n");
             cs_strcat(n, g.data(), int32(-5));
             cs_strcat(n, g.data(), uint32(4000000000u));
             cs_strcat(n, g.data(), ',');
             cs_strcat_hex(n, g.data(), 0xBEEF);
             return g.text();
         },
         "n-54000000000,beef"},
        {30,
         [](size_t n, Guarded& g) {
             cs_strcat(n, g.data(), uint64(18446744073709551615ull));
             return g.text();
         },
         "18446744073709551615"},
        {8,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "x:");
             cs_strcat_left(n, g.data(), "left|right", '|');
             return g.text();
         },
         "x:left"},
        {20,
         [](size_t n, Guarded& g) {
             cs_strcpy(n, g.data(), "x:");
             cs_strcat_right(n, g.data(), "left|right|more", '|');
             return g.text();
         },
         "x:right"},
    };
    for (const Case& c : cases) {
        Guarded buffer(c.size);
        EXPECT_EQ(c.run(c.size, buffer), c.expected);
        EXPECT_TRUE(buffer.guardIntact()) << c.expected;
    }
}

TEST(CSStrUtilTest, ZeroSizeWritesNothing) {
    char byte = '#';
    cs_strcpy(0, &byte, "abc");
    cs_strcpy_dottt(0, &byte, "abc", 3);
    cs_strcat(0, &byte, "abc");
    cs_bin_to_hex(0, &byte, 1, "\x01");
    cs_make_absolute_path(0, &byte, "x", "/a");
    cs_format_context(0, &byte, "f()", "file", 1);
    EXPECT_EQ(byte, '#');
}

TEST(CSStrUtilTest, HeapStringsGrowAndCopy) {
    char* text = nullptr;
    cs_strcat(&text, "abc");
    cs_strcat(&text, "def");
    EXPECT_STREQ(text, "abcdef");
    cs_free(text);

    EXPECT_EQ(cs_strdup(static_cast<const char*>(nullptr)), nullptr);
    char* copies[] = {cs_strdup("hello"), cs_strdup("hello", 3), cs_strdup(-42)};
    EXPECT_STREQ(copies[0], "hello");
    EXPECT_STREQ(copies[1], "hel");
    EXPECT_STREQ(copies[2], "-42");
    for (char* copy : copies) cs_free(copy);
}

TEST(CSStrUtilTest, ReplaceStringChangesFirstOccurrenceOnly) {
    char text[12] = "a-b-c";
    EXPECT_EQ(cs_replace_string(sizeof(text), text, "-", "+++"), text);
    EXPECT_STREQ(text, "a+++b-c");
    EXPECT_EQ(cs_replace_string(sizeof(text), text, '-', "======"), text);
    EXPECT_STREQ(text, "a+++b======");  // truncated to the 12-byte buffer
    EXPECT_EQ(cs_replace_string(sizeof(text), text, "zz", "y"), nullptr);
    EXPECT_EQ(cs_replace_string(sizeof(text), text, '?', "y"), nullptr);
    EXPECT_STREQ(text, "a+++b======");
}

TEST(CSStrUtilTest, CaseMappingAndAffixTests) {
    char text[] = "MiXeD 1";
    cs_strToUpper(text);
    EXPECT_STREQ(text, "MIXED 1");
    cs_strToLower(text);
    EXPECT_STREQ(text, "mixed 1");

    EXPECT_TRUE(cs_starts_with("space-db", "space"));
    EXPECT_TRUE(cs_starts_with("space-db", ""));
    EXPECT_FALSE(cs_starts_with("space-db", "Space"));
    EXPECT_FALSE(cs_starts_with("sp", "space"));
    EXPECT_TRUE(cs_ends_with("file.txt", ".txt"));
    EXPECT_FALSE(cs_ends_with("file.txt", ""));
    EXPECT_FALSE(cs_ends_with("file.txt", ".TXT"));
    EXPECT_FALSE(cs_ends_with("t", "file.t"));
}

TEST(CSStrUtilTest, DecimalParsersFlagTextsThatAreNoNumbers) {
    struct Case {
        const char* text;
        uint64 word;
        bool wordErr;
        int64 integer;
        bool intErr;
    };
    const Case cases[] = {
        {"000", 0, false, 0, false},
        {"", 0, false, 0, false},
        {"0042", 42, false, 42, false},
        {"abc", 0, true, 0, true},
        {"-5", 0, true, -5, false},
        {"18446744073709551615", 18446744073709551615ull, false, 0, true},
        {"99999999999999999999", 0, true, 0, true},
    };
    for (const Case& c : cases) {
        bool wordErr = false;
        bool intErr = false;
        EXPECT_EQ(cs_str_to_word8(c.text, &wordErr), c.word) << c.text;
        EXPECT_EQ(wordErr, c.wordErr) << c.text;
        EXPECT_EQ(cs_str_to_int8(c.text, &intErr), c.integer) << c.text;
        EXPECT_EQ(intErr, c.intErr) << c.text;
    }
    EXPECT_EQ(cs_str_to_word8("7", nullptr), 7u);
    bool shared = true;
    cs_str_to_word8("7", &shared);
    EXPECT_TRUE(shared) << "a successful parse must not clear an earlier error";
}

TEST(CSStrUtilTest, StrToValueRequiresTheWholeTextAnd32Bits) {
    struct Case {
        const char* text;
        int base;
        bool ok;
        uint32 value;
    };
    const Case cases[] = {
        {"120", 10, true, 120},
        {"", 10, true, 0},
        {"12s", 10, false, 0},
        {"ff", 16, true, 255},
        {"-1", 10, false, 0},
        {"4294967296", 10, false, 0},
        {"4294967295", 10, true, 4294967295u},
    };
    for (const Case& c : cases) {
        uint32 value = 0;
        EXPECT_EQ(cs_str_to_value(c.text, &value, c.base), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(CSStrUtilTest, HexConversionsRoundTripAndRespectSizes) {
    const unsigned char bytes[] = {0x0A, 0xFF};
    char hex[5];
    cs_bin_to_hex(sizeof(hex), hex, sizeof(bytes), bytes);
    EXPECT_STREQ(hex, "0AFF");

    Guarded small(4);
    cs_bin_to_hex(4, small.data(), sizeof(bytes), bytes);
    EXPECT_EQ(small.text(), "0A");  // only whole bytes
    EXPECT_TRUE(small.guardIntact());

    unsigned char out[4] = {};
    EXPECT_EQ(cs_hex_to_bin(sizeof(out), out, "aff"), 2u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);

    EXPECT_EQ(cs_hex_to_bin(sizeof(out), out, "0aFfzz"), 3u);
    EXPECT_EQ(out[2], 0x00);  // non-digits count as 0

    unsigned char capped[2] = {0, 0};
    EXPECT_EQ(cs_hex_to_bin(1, capped, "1234"), 1u);
    EXPECT_EQ(capped[0], 0x12);
    EXPECT_EQ(capped[1], 0x00);

    EXPECT_EQ(cs_hex_to_bin(sizeof(out), out, 2, "abcd"), 1u);
    EXPECT_EQ(out[0], 0xAB);
}

TEST(CSStrUtilTest, ByteSizesWithUnits) {
    struct Case {
        const char* text;
        int64 value;
        bool err;
    };
    const Case cases[] = {
        {"10GB", 10737418240LL, false},
        {"  512 mb  ", 536870912, false},
        {"100", 100, false},
        {"10M", 10485760, false},
        {"1.5G", 1073741824, false},  // the fraction goes before the unit applies
        {"9.99GB", 9663676416LL, false},
        {"2k", 2048, false},
        {"1 P", 1125899906842624LL, false},
        {"100B", 0, true},
        {"12X", 0, true},
        {"abc", 0, true},
        {"", 0, true},
        {"-5M", 0, true},
        {".", 0, true},
        {"10MBx", 0, true},
        {"10 M B", 0, true},
        {"0x10", 0, true},
        {"100000P", 0, true},  // does not fit in 63 bits
        {"99999999999999999999", 0, true},
    };
    for (const Case& c : cases) {
        bool err = !c.err;
        EXPECT_EQ(cs_byte_size_to_int8(c.text, &err), c.value) << c.text;
        EXPECT_EQ(err, c.err) << c.text;
    }
    EXPECT_EQ(cs_byte_size_to_int8("1K", nullptr), 1024);
}

TEST(CSStrUtilTest, PathComponentQueries) {
    EXPECT_TRUE(cs_is_absolute("/a"));
    EXPECT_FALSE(cs_is_absolute("a/"));
    EXPECT_EQ(cs_path_depth("/a/b/"), 3u);
    EXPECT_EQ(cs_path_depth("name"), 0u);

    struct Case {
        const char* path;
        std::string last, last2, lastDir, next;
    };
    const Case cases[] = {
        {"/a/b/c", "c", "b/c", "c", "b/c"},
        {"/a/b/", "", "b/", "b/", "b/"},
        {"name", "name", "name", "name", ""},
        {"a/b", "b", "a/b", "b", "b"},
        {"/", "", "/", "/", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cs_last_name_of_path(c.path), c.last) << c.path;
        EXPECT_EQ(cs_last_name_of_path(c.path, 2), c.last2) << c.path;
        EXPECT_EQ(cs_last_directory_of_path(c.path), c.lastDir) << c.path;
        EXPECT_EQ(cs_next_name_of_path(c.path), c.next) << c.path;
    }
}

TEST(CSStrUtilTest, PathEditing) {
    struct Case {
        const char* path;
        std::string removedLast, withDirChar, withoutDirChar, noExtension;
    };
    const Case cases[] = {
        {"/a/b.txt", "/a/", "/a/b.txt/", "/a/b.txt", "/a/b"},
        {"/a/b/", "/a/b/", "/a/b/", "/a/b", "/a/b/"},
        {"name", "", "name/", "name", "name"},
        {"/", "/", "/", "/", "/"},
        {"", "", "", "", ""},
        {"d.x/file", "d.x/", "d.x/file/", "d.x/file", "d.x/file"},
    };
    for (const Case& c : cases) {
        char buf[32];
        cs_strcpy(sizeof(buf), buf, c.path);
        cs_remove_last_name_of_path(buf);
        EXPECT_EQ(std::string(buf), c.removedLast) << c.path;
        cs_strcpy(sizeof(buf), buf, c.path);
        cs_add_dir_char(sizeof(buf), buf);
        EXPECT_EQ(std::string(buf), c.withDirChar) << c.path;
        cs_strcpy(sizeof(buf), buf, c.path);
        cs_remove_dir_char(buf);
        EXPECT_EQ(std::string(buf), c.withoutDirChar) << c.path;
        cs_strcpy(sizeof(buf), buf, c.path);
        cs_remove_extension(buf);
        EXPECT_EQ(std::string(buf), c.noExtension) << c.path;
    }

    char full[4] = "abc";
    cs_add_dir_char(sizeof(full), full);
    EXPECT_STREQ(full, "abc") << "no room for the separator";

    char path[16] = "/data";
    cs_add_name_to_path(sizeof(path), path, "/space/file");
    EXPECT_STREQ(path, "/data/space");
    cs_add_name_to_path(sizeof(path), path, "verylongname");
    EXPECT_STREQ(path, "/data/space/ver");
}

TEST(CSStrUtilTest, ExtensionsAndPatterns) {
    EXPECT_STREQ(cs_find_extension("/a/b.tar.gz"), "gz");
    EXPECT_EQ(cs_find_extension("/a.d/b"), nullptr);
    EXPECT_TRUE(cs_is_extension("x.html", "html"));
    EXPECT_FALSE(cs_is_extension("x.html", "htm"));
    EXPECT_FALSE(cs_is_extension("x", ""));

    EXPECT_TRUE(cs_fixed_pattern("plain.txt"));
    EXPECT_TRUE(cs_fixed_pattern("star\\*"));
    EXPECT_FALSE(cs_fixed_pattern("*.txt"));
    EXPECT_FALSE(cs_fixed_pattern("a?c"));
    EXPECT_FALSE(cs_fixed_pattern("\\\\*"));  // the escape is escaped, the star is not

    EXPECT_TRUE(cs_match_patern("*.TXT", "a.txt", true));
    EXPECT_FALSE(cs_match_patern("*.TXT", "a.txt", false));
    EXPECT_TRUE(cs_match_patern("a?c", "abc", false));
}

TEST(CSStrUtilTest, MakeAbsolutePathResolvesDotsAgainstTheBase) {
    struct Case {
        const char* path;
        const char* base;
        const char* expected;
    };
    const Case cases[] = {
        {"../c", "/a/b", "/a/c"}, {"./x/", "/a", "/a/x"},    {"/etc/", "/ignored", "/etc"},
        {"..x", "/a", "/a/..x"},  {"x//y", "/a/", "/a/x/y"}, {"../../..", "/a/b", "/"},
        {"../x", "/", "/x"},      {".", "/a/b/", "/a/b"},    {"b", "", "b"},
        {"..", "/a/b/", "/a"},
    };
    for (const Case& c : cases) {
        char out[64];
        cs_make_absolute_path(sizeof(out), out, c.path, c.base);
        EXPECT_STREQ(out, c.expected) << c.path << " against " << c.base;
    }

    Guarded small(8);
    cs_make_absolute_path(8, small.data(), "name/other", "/base");
    EXPECT_EQ(small.text(), "/base/n");
    EXPECT_TRUE(small.guardIntact());
}

TEST(CSStrUtilTest, FormatContextCutsFunctionAndFile) {
    char out[300];
    cs_format_context(sizeof(out), out, "virtual void CSFile::close()", "src/vudud/CSFile", 12);
    EXPECT_STREQ(out, "virtual void CSFile::close(CSFile:12)");
    cs_format_context(sizeof(out), out, "f", "file.cpp", 0);
    EXPECT_STREQ(out, "f(file.cpp)");

    Guarded small(10);
    cs_format_context(10, small.data(), "int longFunctionName(int)", "a.cpp", 7);
    EXPECT_EQ(small.text(), "int longF");
    EXPECT_TRUE(small.guardIntact());
}
