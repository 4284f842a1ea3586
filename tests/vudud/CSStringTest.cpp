#include <gtest/gtest.h>

#include <string>

#include "CSException.h"
#include "CSString.h"

TEST(CSStringTest, KeysAndComparisonsIgnoreCase) {
    auto a = CSString::newString("Space");
    auto b = CSString::newString("SPACE");
    EXPECT_EQ(0, a->compare(b.get()));
    EXPECT_EQ(0, a->compareKey(b->getKey()));
    EXPECT_EQ(a->hashKey(), b->hashKey());
    EXPECT_LT(a->compare("SPACEX"), 0);
    EXPECT_GT(a->compare("spab"), 0);
    EXPECT_EQ(0, a->compare("spaXX", 3));
}
