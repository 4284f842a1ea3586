#include <gtest/gtest.h>

#include <string>

#include "CSException.h"
#include "CSMemory.h"
#include "CSString.h"

TEST(CSStringTest, KeysAreCaseInsensitiveButEqualsIsExact) {
    auto a = CSString::newString("Space");
    auto b = CSString::newString("SPACE");
    EXPECT_EQ(0, a->compare(b.get()));
    EXPECT_EQ(0, a->compareKey(b->getKey()));
    EXPECT_EQ(a->hashKey(), b->hashKey());
    EXPECT_FALSE(a->equals("SPACE"));
    EXPECT_TRUE(a->equals("Space"));
    EXPECT_LT(a->compare("SPACEX"), 0);
    EXPECT_GT(a->compare("spab"), 0);
    EXPECT_EQ(0, a->compare("spaXX", 3));
}

TEST(CSStringTest, BufferFormatsAndHandsOverItsData) {
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
    auto str = CSString::newString(&buffer);
    EXPECT_STREQ("  key = value  ", str->getCString());
    EXPECT_EQ(0u, buffer.length());
}
