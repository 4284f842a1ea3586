#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CSException.h"
#include "CSStorage.h"
#include "CSString.h"

namespace {

// Counts what happens to the items of one test.
struct Tracker {
    int releases = 0;
    std::vector<std::string> deleted;
};

// A keyed, linkable, reference-counted item that reports its releases and deletion.
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
    CSObject* getNextLink() override { return iNext; }
    CSObject* getPrevLink() override { return iPrev; }
    void setNextLink(CSObject* link) override { iNext = link; }
    void setPrevLink(CSObject* link) override { iPrev = link; }

    std::string name() const { return std::string(iKey->getCString()) + iTag; }

private:
    Tracker& iTracker;
    CSRef<CSString> iKey;
    std::string iTag;
    CSObject* iNext = nullptr;
    CSObject* iPrev = nullptr;
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

// One table-driven check of the replacement rule across the keyed containers the server uses: storing an
// object under a key already present releases the stored one exactly once and keeps the new one.
TEST(CSStorageTest, ReplacingAnEqualKeyReleasesTheOldObjectExactlyOnce) {
    struct Container {
        const char* name;
        std::function<void(Tracker&)> run;
    } containers[] = {
        {"hash table",
         [](Tracker& t) {
             CSHashTable table(7);
             table.add(new Item(t, "space", "-old"));
             table.add(new Item(t, "SPACE", "-new"));
             EXPECT_EQ(1u, table.getCount());
             auto key = CSString::newString("Space");
             EXPECT_EQ("SPACE-new", nameOf(table.find(key.get())));
         }},
        {"sparse array",
         [](Tracker& t) {
             CSSparseArray array;
             array.set(9, new Item(t, "space", "-old"));
             array.set(9, new Item(t, "SPACE", "-new"));
             EXPECT_EQ(1u, array.size());
             EXPECT_EQ("SPACE-new", nameOf(array.get(9)));
         }},
    };
    for (auto& c : containers) {
        Tracker t;
        c.run(t);  // the container goes out of scope inside: the new object is released too
        EXPECT_EQ(2, t.releases) << c.name;
        EXPECT_EQ((std::vector<std::string>{"space-old", "SPACE-new"}), t.deleted) << c.name;
    }
}

TEST(CSStorageTest, OrderedListReplacesKeyAndValueAndReleasesBothOnce) {
    Tracker t;
    {
        CSOrderedList list;
        list.add(new NumberKey(t, 5), new Item(t, "five", "-old"));
        list.add(new NumberKey(t, 1), new Item(t, "one"));
        list.add(new NumberKey(t, 5), new Item(t, "five", "-new"));
        EXPECT_EQ(2, t.releases);  // old key and old value
        EXPECT_EQ(2u, list.getSize());
        NumberKey probe(t, 5);
        EXPECT_EQ("five-new", nameOf(list.find(&probe)));
        // Ascending numbers: the item at i compared with the item at j > i is positive.
        EXPECT_EQ("one", nameOf(list.itemAt(0)));
        uint32 index = 99;
        NumberKey three(t, 3);
        EXPECT_EQ(nullptr, list.search(&three, &index));
        EXPECT_EQ(1u, index);
        EXPECT_TRUE(list.remove(&probe));
        EXPECT_FALSE(list.remove(&probe));
        EXPECT_EQ(4, t.releases);
    }
    EXPECT_EQ(6, t.releases);
}

TEST(CSStorageTest, HashTableFindsCaseInsensitivelyAndRemovesWithRelease) {
    Tracker t;
    CSHashTable table(3);  // few buckets: chains hold several items
    for (const char* key : {"a", "b", "c", "d", "e", "f", "g"}) table.add(new Item(t, key));
    EXPECT_EQ(7u, table.getCount());
    for (const char* key : {"A", "b", "G"}) {
        auto k = CSString::newString(key);
        ASSERT_NE(nullptr, table.find(k.get())) << key;
        EXPECT_EQ(0, k->compare(static_cast<CSString*>(table.find(k.get())->getKey())));
    }
    auto d = CSString::newString("D");
    EXPECT_TRUE(table.remove(d.get()));
    EXPECT_FALSE(table.remove(d.get()));
    EXPECT_EQ(nullptr, table.find(d.get()));
    EXPECT_EQ(1, t.releases);
    int seen = 0;
    table.forEach([&](CSObject*) { seen++; });
    EXPECT_EQ(6, seen);
    table.setSize(0);
    EXPECT_EQ(7, t.releases);
    EXPECT_EQ(nullptr, table.find(d.get()));

    CSHashTable unsized;  // refuses to add, and releases the object it refused
    EXPECT_THROW(unsized.add(new Item(t, "x")), CSException);
    EXPECT_EQ("x", t.deleted.back());
}

TEST(CSStorageTest, SparseArrayKeepsIndexesAscending) {
    Tracker t;
    CSSparseArray array;
    for (uint32 index : {50u, 7u, 4000000000u, 12u})
        array.set(index, new Item(t, std::to_string(index).c_str()));
    std::vector<uint32> indexes;
    for (uint32 i = 0; i < array.size(); i++) indexes.push_back(array.indexAt(i));
    EXPECT_EQ((std::vector<uint32>{7, 12, 50, 4000000000u}), indexes);
    EXPECT_EQ("7", nameOf(array.first()));
    EXPECT_EQ("4000000000", nameOf(array.last()));
    EXPECT_EQ(2u, array.getIndex(50));
    EXPECT_EQ(2u, array.getIndex(13));  // insertion position
    EXPECT_EQ(nullptr, array.get(13));

    CSRef<CSObject> taken(array.take(12));
    EXPECT_EQ("12", nameOf(taken.get()));
    EXPECT_EQ(nullptr, array.take(12));
    array.remove(50);
    array.removeFirst();
    EXPECT_EQ(2, t.releases);
    EXPECT_EQ(1u, array.size());
    EXPECT_EQ("4000000000", nameOf(array.first()));
}
