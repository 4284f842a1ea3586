#include <gtest/gtest.h>

#include <string>

#include "CSException.h"
#include "CSMemory.h"
#include "CSString.h"

namespace {

std::string text(const CSRef<CSString>& str) { return std::string(str->view()); }

}  // namespace

TEST(CSStringTest, KeysAreCaseInsensitiveButEqualsIsExact) {
    auto a = CSString::newString("Space");
    auto b = CSString::newString("SPACE");
    EXPECT_EQ(0, a->compare(b.get()));
    EXPECT_EQ(0, a->compareKey(b->getKey()));
    EXPECT_EQ(a->hashKey(), b->hashKey());
    EXPECT_FALSE(a->equals("SPACE"));
    EXPECT_TRUE(a->equals("Space"));
    EXPECT_EQ(0u, CSString::newString("")->hashKey());

    EXPECT_LT(a->compare("SPACEX"), 0);
    EXPECT_GT(a->compare("spab"), 0);
    EXPECT_EQ(0, a->compare("spaXX", 3));
    EXPECT_EQ(0, a->compare(static_cast<const char*>(nullptr)));
}

TEST(CSStringTest, HashIsTheElfHashOfUpperCasedCharacters) {
    // Long enough for the top bits to fold back in.
    const char* sample = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint32 h = 0;
    for (const char* p = sample; *p; p++) {
        h = (h << 4) + static_cast<uint32>(toupper(*p));
        uint32 g = h & 0xF0000000u;
        if (g) h = h ^ (g >> 24) ^ g;
    }
    EXPECT_EQ(h, CSString::newString(sample)->hashKey());
    EXPECT_EQ(65u * 16 + 68, CSString::newString("ad")->hashKey());  // upper-cased: (A << 4) + D
}

TEST(CSStringTest, LocateFindsNthOccurrenceForwardsAndBackwards) {
    struct Case {
        const char* str;
        const char* sep;
        int count;
        int32 expected;
    } cases[] = {
        {"a/b/c", "/", -1, 3}, {"a/b/c", "/", -2, 1}, {"a/b/c", "/", -3, -1},  {"abc", "/", -1, -1},
        {"abc", "/", 1, 3},    {"a/b/c", "/", 1, 1},  {"a/b/c", "/", 2, 3},    {"a/b/c", "/", 3, 5},
        {"ab", "abc", -1, -1}, {"ab", "abc", 1, 2},   {"xx::yy", "::", -1, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, CSString::newString(c.str)->locate(c.sep, c.count))
            << c.str << " " << c.sep << " " << c.count;
    }
    auto s = CSString::newString("aa  bb");
    EXPECT_EQ(2u, s->locate(0u, ' '));
    EXPECT_EQ(4u, s->skip(2, ' '));
    EXPECT_EQ(6u, s->locate(5u, ' '));
    EXPECT_EQ(4u, s->locate(1u, "bb"));
    EXPECT_EQ(6u, s->locate(5u, "bb"));
    EXPECT_EQ(6u, s->skip(6, 'x'));
    EXPECT_EQ(6u, s->nextPos(6));
    EXPECT_EQ(3u, s->nextPos(2));
}

TEST(CSStringTest, LeftAndRightOfASeparator) {
    struct Case {
        const char* str;
        const char* sep;
        int count;
        const char* left;
        const char* right;
    } cases[] = {
        {"/a/b/", "/", -1, "/a/b", ""}, {"name", ".", 1, "name", ""},
        {"name", ".", -1, "", "name"},  {"a.b.c", ".", 1, "a", "b.c"},
        {"a.b.c", ".", -1, "a.b", "c"}, {"k=v=w", "=", 2, "k=v", "w"},
        {"", "/", 1, "", ""},           {"host::port", "::", 1, "host", "port"},
    };
    for (const auto& c : cases) {
        auto s = CSString::newString(c.str);
        EXPECT_EQ(c.left, text(s->left(c.sep, c.count))) << c.str << " " << c.count;
        EXPECT_EQ(c.right, text(s->right(c.sep, c.count))) << c.str << " " << c.count;
    }
    // right() with no match searching backwards hands back the string itself, with a new reference.
    auto name = CSString::newString("name");
    {
        auto same = name->right(".", -1);
        EXPECT_EQ(name.get(), same.get());
        EXPECT_EQ(2u, name->getRefCount());
    }
    EXPECT_EQ(1u, name->getRefCount());
}

TEST(CSStringTest, SubstrAndCloneClampThePosition) {
    auto abc = CSString::newString("abc");
    EXPECT_EQ("c", text(abc->substr(2)));
    EXPECT_EQ("", text(abc->substr(3)));
    EXPECT_EQ("", text(abc->substr(10)));  // past the end: empty, not a wrapped length
    EXPECT_EQ("bc", text(abc->substr(1, 2)));
    EXPECT_EQ("abc", text(abc->clone()));

    auto padded = abc->clone(1, 4);  // two copied characters, two left zero
    EXPECT_EQ(4u, padded->length());
    EXPECT_STREQ("bc", padded->getCString());
    EXPECT_EQ(0, padded->charAt(3));
}

TEST(CSStringTest, CharacterAccessAndTests) {
    auto s = CSString::newString("ab/x");
    EXPECT_EQ('B', s->upperCharAt(1));
    EXPECT_EQ(0, s->charAt(4));
    EXPECT_EQ(0, s->upperCharAt(99));
    s->setCharAt(99, 'z');  // ignored
    s->setCharAt(0, 'A');
    EXPECT_STREQ("Ab/x", s->getCString());
    EXPECT_TRUE(s->startsWith("Ab"));
    EXPECT_FALSE(s->startsWith("ab"));
    EXPECT_TRUE(s->startsWith(2, "/x"));
    EXPECT_TRUE(s->startsWith(99, ""));
    EXPECT_TRUE(s->endsWith("/x"));
    EXPECT_FALSE(s->endsWith("long text /x"));
    s->setLength(2);
    EXPECT_STREQ("Ab", s->getCString());
    EXPECT_EQ("ABX", text(CSString::newString("ab")->concat("x")->toUpper()));
    EXPECT_EQ("abcd", text(CSString::newString("ab")->concat(CSString::newString("cd").get())));
    EXPECT_EQ("ab", text(CSString::newString("abcdef", 2)));
}

TEST(CSStringTest, BufferGrowsByStepOrByTheLargerText) {
    CSStringBuffer buffer;
    EXPECT_EQ(0u, buffer.capacity());
    buffer.append('x');
    EXPECT_EQ(20u, buffer.capacity());
    for (int i = 1; i < 20; i++) buffer.append('x');
    EXPECT_EQ(20u, buffer.capacity());
    buffer.append('x');
    EXPECT_EQ(40u, buffer.capacity());

    CSStringBuffer big;
    big.append(std::string(50, 'y'));
    EXPECT_EQ(50u, big.capacity());
    big.getCString();  // terminator needs one more byte
    EXPECT_EQ(51u, big.capacity());
}

TEST(CSStringTest, BufferFormatsNumbersAndHandsOverItsData) {
    CSStringBuffer buffer;
    buffer.append("n=");
    buffer.append(static_cast<int32>(-5));
    buffer.append(' ');
    buffer.append(static_cast<uint32>(4000000000u));
    buffer.append(' ');
    buffer.append(static_cast<uint64>(18446744073709551615ull));
    EXPECT_STREQ("n=-5 4000000000 18446744073709551615", buffer.getCString());

    char* taken = buffer.take();
    EXPECT_STREQ("n=-5 4000000000 18446744073709551615", taken);
    cs_free(taken);
    EXPECT_EQ(0u, buffer.length());
    EXPECT_EQ(0u, buffer.capacity());
    EXPECT_STREQ("", buffer.getCString());

    buffer.append("abc");
    auto str = CSString::newString(&buffer);
    EXPECT_STREQ("abc", str->getCString());
    EXPECT_EQ(0u, buffer.length());
}

TEST(CSStringTest, BufferScanners) {
    CSStringBuffer buffer;
    buffer.append("  key = value  ");
    EXPECT_EQ(2u, buffer.ignore(0, ' '));
    EXPECT_EQ(6u, buffer.find(2, '='));
    EXPECT_EQ(15u, buffer.find(0, '#'));
    EXPECT_EQ(13u, buffer.trim(buffer.length(), ' '));
    EXPECT_EQ(5u, buffer.trim(6, ' '));
    EXPECT_EQ("key", text(buffer.substr(2, 3)));
    EXPECT_EQ("e  ", text(buffer.substr(12, 100)));
    buffer.setLength(3);
    EXPECT_STREQ("  k", buffer.getCString());
    buffer.setLength(40);
    EXPECT_EQ(40u, buffer.length());
    EXPECT_EQ(0, buffer.charAt(39));
}

TEST(CSStringTest, ComparingWithAnotherKindOfKeyIsAnAssertion) {
    auto s = CSString::newString("x");
    CSObject plain;
    EXPECT_THROW(s->compareKey(&plain), CSException);
}
