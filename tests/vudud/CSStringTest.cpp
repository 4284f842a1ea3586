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
    EXPECT_EQ(65u * 16 + 68, CSString::newString("ad")->hashKey());  // upper-cased: (A << 4) + D
    EXPECT_FALSE(a->equals("SPACE"));
    EXPECT_TRUE(a->equals("Space"));
    EXPECT_LT(a->compare("SPACEX"), 0);
    EXPECT_GT(a->compare("spab"), 0);
    EXPECT_EQ(0, a->compare("spaXX", 3));
}

// The string operations the server does not call, one row each.
TEST(CSStringTest, LibraryOperationsGiveTheirDocumentedResults) {
    auto s = [](const char* t) { return CSString::newString(t); };
    auto n = [](int64 v) { return std::to_string(v); };
    auto padded = s("abc")->clone(1, 4);  // two copied characters, two left zero
    struct Case {
        std::string got, expected;
    } cases[] = {
        {n(s("a/b/c")->locate("/", -2)), "1"},
        {n(s("a/b/c")->locate("/", -3)), "-1"},
        {n(s("a/b/c")->locate("/", 3)), "5"},
        {n(s("ab")->locate("abc", 1)), "2"},
        {n(s("xx::yy")->locate("::", -1)), "2"},
        {n(s("aa  bb")->skip(2, ' ')), "4"},
        {n(s("aa  bb")->locate(1u, "bb")), "4"},
        {text(s("a.b.c")->left(".", -1)) + "|" + text(s("a.b.c")->right(".", -1)), "a.b|c"},
        {text(s("k=v=w")->left("=", 2)) + "|" + text(s("k=v=w")->right("=", 2)), "k=v|w"},
        {text(s("name")->left(".", -1)) + "|" + text(s("name")->right(".", 1)), "|"},
        {text(s("abc")->substr(10)), ""},  // past the end: empty, not a wrapped length
        {text(s("abc")->substr(1, 2)), "bc"},
        {n(padded->length()) + padded->getCString(), "4bc"},
        {n(s("ab/x")->upperCharAt(99)) + n(s("ab/x")->upperCharAt(1)), "066"},
        {n(s("ab/x")->startsWith(2, "/x")) + n(s("ab")->endsWith("long ab")), "10"},
        {text(s("ab")->concat("x")->toUpper()), "ABX"},
        {text(CSString::newString("abcdef", 2)), "ab"},
    };
    for (size_t i = 0; i < std::size(cases); i++) EXPECT_EQ(cases[i].got, cases[i].expected) << "row " << i;
    // right() without a match backwards hands back the string itself, with a new reference.
    auto name = s("name");
    {
        auto same = name->right(".", -1);
        EXPECT_EQ(name.get(), same.get());
        EXPECT_EQ(2u, name->getRefCount());
    }
    EXPECT_EQ(1u, name->getRefCount());
}

TEST(CSStringTest, BufferFormatsScansAndHandsOverItsData) {
    CSStringBuffer buffer;
    buffer.append("n=");
    buffer.append(static_cast<int32>(-5));
    buffer.append(' ');
    buffer.append(static_cast<uint64>(18446744073709551615ull));
    char* taken = buffer.take();
    EXPECT_STREQ("n=-5 18446744073709551615", taken);
    cs_free(taken);
    EXPECT_EQ(0u, buffer.length());
    EXPECT_STREQ("", buffer.getCString());

    buffer.append("  key = value  ");
    EXPECT_EQ(2u, buffer.ignore(0, ' '));
    EXPECT_EQ(6u, buffer.find(2, '='));
    EXPECT_EQ(15u, buffer.find(0, '#'));
    EXPECT_EQ(13u, buffer.trim(buffer.length(), ' '));
    EXPECT_EQ("e  ", text(buffer.substr(12, 100)));
    auto str = CSString::newString(&buffer);
    EXPECT_STREQ("  key = value  ", str->getCString());
    EXPECT_EQ(0u, buffer.length());
}
