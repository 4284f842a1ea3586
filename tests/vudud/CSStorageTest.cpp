#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CSStorage.h"
#include "CSString.h"

namespace {

// Counts what happens to the items of one test.
struct Tracker {
    int releases = 0;
    std::vector<std::string> deleted;
};

// A keyed, reference-counted item that reports its releases and deletion.
class Item : public CSRefObject {
public:
    Item(Tracker& tracker, const char* key, const char* tag = "")
        : iTracker(tracker), iKey(CSString::newString(key)), iTag(tag) {}
    ~Item() override { iTracker.deleted.push_back(std::string(iKey->getCString()) + iTag); }

    void release() override {
        iTracker.releases++;
        CSRefObject::release();
    }
    CSObject* getKey() override { return iKey.get(); }
    int compareKey(CSObject* key) override { return iKey->compareKey(key); }
    uint32 hashKey() override { return iKey->hashKey(); }

    std::string name() const { return std::string(iKey->getCString()) + iTag; }

private:
    Tracker& iTracker;
    CSRef<CSString> iKey;
    std::string iTag;
};

class NumberKey : public CSOrderKey {
public:
    NumberKey(Tracker& tracker, int value) : iTracker(tracker), iValue(value) {}
    void release() override {
        iTracker.releases++;
        CSOrderKey::release();
    }
    int compareKey(CSObject* key) override { return static_cast<NumberKey*>(key)->iValue - iValue; }

private:
    Tracker& iTracker;
    int iValue;
};

std::string nameOf(CSObject* obj) { return obj ? static_cast<Item*>(obj)->name() : "null"; }

}  // namespace

// Storing an object under a key already present releases the stored one exactly once and keeps the
// new one; a removal releases its object, and dropping the table releases the rest.
TEST(CSStorageTest, HashTableFindsWithoutRegardToCaseAndReleasesWhatItReplacesRemovesOrDrops) {
    Tracker t;
    CSHashTable table(3);  // few buckets: chains hold several items
    for (const char* key : {"a", "b", "space", "d", "e", "f", "g"}) table.add(new Item(t, key));
    table.add(new Item(t, "SPACE", "-new"));
    EXPECT_EQ(7u, table.getCount());
    EXPECT_EQ((std::vector<std::string>{"space"}), t.deleted);
    const std::pair<const char*, const char*> found[] = {{"A", "a"}, {"Space", "SPACE-new"}, {"G", "g"}};
    for (const auto& [key, name] : found)
        EXPECT_EQ(name, nameOf(table.find(CSString::newString(key).get()))) << key;
    auto d = CSString::newString("D");
    EXPECT_TRUE(table.remove(d.get()));
    EXPECT_FALSE(table.remove(d.get()));
    EXPECT_EQ(nullptr, table.find(d.get()));
    EXPECT_EQ(2, t.releases);
    table.setSize(0);
    EXPECT_EQ(8, t.releases);
}

TEST(CSStorageTest, SparseArrayGetsByIndexAndReleasesWhatItReplacesOrRemoves) {
    Tracker t;
    {
        CSSparseArray array;
        for (uint32 index : {50u, 7u, 4000000000u, 12u})
            array.set(index, new Item(t, std::to_string(index).c_str()));
        array.set(7, new Item(t, "7", "-new"));
        EXPECT_EQ(4u, array.size());
        EXPECT_EQ((std::vector<std::string>{"7"}), t.deleted);
        for (uint32 index : {50u, 4000000000u, 12u})
            EXPECT_EQ(std::to_string(index), nameOf(array.get(index)));
        EXPECT_EQ("7-new", nameOf(array.get(7)));
        EXPECT_EQ(nullptr, array.get(13));
        array.remove(50);
        EXPECT_EQ(nullptr, array.get(50));
        EXPECT_EQ("12", nameOf(array.get(12)));
        EXPECT_EQ(2, t.releases);
    }
    EXPECT_EQ(5, t.releases);
}

TEST(CSStorageTest, OrderedListReplacesKeyAndValueAndReleasesBothOnce) {
    Tracker t;
    {
        CSOrderedList list;
        list.add(new NumberKey(t, 5), new Item(t, "five", "-old"));
        list.add(new NumberKey(t, 1), new Item(t, "one"));
        list.add(new NumberKey(t, 5), new Item(t, "five", "-new"));
        EXPECT_EQ(2, t.releases);  // old key and old value
        NumberKey probe(t, 5), one(t, 1), three(t, 3);
        EXPECT_EQ("five-new", nameOf(list.find(&probe)));
        EXPECT_EQ("one", nameOf(list.find(&one)));
        EXPECT_EQ(nullptr, list.find(&three));
    }
    EXPECT_EQ(6, t.releases);
}
