// The containers of the foundation library. Each holds one reference to every object stored in it:
// storing takes over the caller's reference (a raw pointer is adopted, a CSRef is moved in), and
// the container releases it when the object is replaced, removed or cleared, or the container is
// destroyed. Getters lend their result. Objects are identified by their own key operations
// (getKey, compareKey, hashKey); CSLinkedList links through the objects' next/previous links.
// No container is synchronised: its owner locks it.
#pragma once

#include <utility>
#include <vector>

#include "CSDefs.h"
#include "CSObject.h"

// Hash table keyed by getKey()/hashKey()/compareKey(). setSize() must be called before adding.
class CSHashTable : public CSObject {
public:
    CSHashTable() = default;
    explicit CSHashTable(uint32 size) { setSize(size); }
    ~CSHashTable() override;

    // Allocates `size` empty buckets, releasing anything stored; 0 frees them.
    void setSize(uint32 size);
    uint32 getSize() const { return static_cast<uint32>(iBuckets.size()); }
    // Replaces (and releases) any object with an equal key.
    void add(CSObject* obj);
    void add(CSRef<CSObject> obj) { add(obj.take()); }
    CSObject* find(CSObject* key) const;
    // Releases the object with that key; returns whether there was one.
    bool remove(CSObject* key);
    void clear();
    uint32 getCount() const { return iCount; }

    // Calls fn(CSObject*) for every stored object. fn must not change the table.
    template <class Fn>
    void forEach(Fn fn) const {
        for (const auto& bucket : iBuckets)
            for (CSObject* obj : bucket) fn(obj);
    }

private:
    std::vector<std::vector<CSObject*>> iBuckets;
    uint32 iCount = 0;
};

// Sorted by the objects' keys. For positions i < j, item(i)->compareKey(item(j)->getKey()) > 0:
// with string keys the list is in descending case-insensitive order.
class CSSortedList : public CSObject {
public:
    ~CSSortedList() override { clear(); }

    // Replaces (and releases) an object with an equal key, else inserts.
    void add(CSObject* obj);
    void add(CSRef<CSObject> obj) { add(obj.take()); }
    CSObject* find(CSObject* key) const;
    bool remove(CSObject* key);
    // The object with that key and its index, or null and the index where it would be inserted.
    CSObject* search(CSObject* key, uint32& index) const;
    CSObject* itemAt(uint32 i) const { return i < iItems.size() ? iItems[i] : nullptr; }
    // Removes without releasing: the caller receives the list's reference (null out of range).
    CSObject* takeItemAt(uint32 i);
    void clear();
    uint32 getSize() const { return static_cast<uint32>(iItems.size()); }

private:
    std::vector<CSObject*> iItems;
};

// The key of a CSOrderedList entry. Subclasses implement compareKey(CSObject* other) against
// another CSOrderKey.
class CSOrderKey : public CSRefObject {
public:
    int compareKey(CSObject* key) override = 0;
};

// (key, value) pairs sorted by the keys with the same rule as CSSortedList.
class CSOrderedList : public CSObject {
public:
    ~CSOrderedList() override { clear(); }

    // Takes over both references. On an equal key, the previous key and value are released.
    void add(CSOrderKey* key, CSObject* value);
    void add(CSRef<CSOrderKey> key, CSRef<CSObject> value) { add(key.take(), value.take()); }
    CSObject* find(CSOrderKey* key) const;
    // Releases key and value; returns whether there was one.
    bool remove(CSOrderKey* key);
    // The value for that key and its index, or null and the insertion index.
    CSObject* search(CSOrderKey* key, uint32* index) const;
    CSObject* itemAt(uint32 i) const { return i < iItems.size() ? iItems[i].second : nullptr; }
    CSOrderKey* keyAt(uint32 i) const { return i < iItems.size() ? iItems[i].first : nullptr; }
    void clear();
    uint32 getSize() const { return static_cast<uint32>(iItems.size()); }

private:
    std::vector<std::pair<CSOrderKey*, CSObject*>> iItems;
};

// Doubly linked list through the stored objects' next/previous links (an object is in at most
// one such list at a time).
class CSLinkedList : public CSObject {
public:
    ~CSLinkedList() override { clear(); }

    // Links obj at the front (moving it if it is already in the list; if it already is the front,
    // the extra reference is released).
    void addFront(CSObject* obj);
    void addBack(CSObject* obj);
    // Unlinks and releases obj; false when it was not in the list.
    bool remove(CSObject* obj);
    // Unlink and hand the list's reference to the caller; null when empty.
    CSRef<CSObject> removeFront();
    CSRef<CSObject> removeBack();
    CSObject* getFront() const { return iFront; }
    CSObject* getBack() const { return iBack; }
    void clear();
    uint32 getSize() const { return iCount; }

private:
    bool contains(CSObject* obj) const;

    uint32 iCount = 0;
    CSObject* iFront = nullptr;
    CSObject* iBack = nullptr;
};

// Objects by position; entries may be null.
class CSVector : public CSObject {
public:
    explicit CSVector(uint32 growth = 5) : iGrowth(growth ? growth : 1) {}
    ~CSVector() override { clear(); }

    void add(CSObject* obj);
    void add(CSRef<CSObject> obj) { add(obj.take()); }
    // Stores at i (releasing what was there); positions up to i that did not exist become null.
    void set(uint32 i, CSObject* obj);
    CSObject* get(uint32 i) const { return i < iItems.size() ? iItems[i] : nullptr; }
    // Removes without releasing (the caller receives the reference) and closes the gap.
    CSObject* take(uint32 i);
    // Removes, releases and closes the gap.
    void remove(uint32 i);
    // Releases all, from the back.
    void clear();
    void free();
    uint32 size() const { return static_cast<uint32>(iItems.size()); }

private:
    void reserveFor(size_t count);

    uint32 iGrowth;
    std::vector<CSObject*> iItems;
};

// Objects by a sparse uint32 index, kept ascending by index.
class CSSparseArray : public CSObject {
public:
    explicit CSSparseArray(uint32 growth = 5) : iGrowth(growth ? growth : 1) {}
    ~CSSparseArray() override { clear(); }

    // Replaces (and releases) the object at that index, else inserts.
    void set(uint32 index, CSObject* obj);
    void set(uint32 index, CSRef<CSObject> obj) { set(index, obj.take()); }
    CSObject* get(uint32 index) const;
    // The position of the index, or the position where it would be inserted.
    uint32 getIndex(uint32 index) const;
    // Removes without releasing; the caller receives the reference (null when absent).
    CSObject* take(uint32 index);
    void remove(uint32 index);
    void removeFirst();
    CSObject* first() const { return iItems.empty() ? nullptr : iItems.front().second; }
    CSObject* last() const { return iItems.empty() ? nullptr : iItems.back().second; }
    CSObject* itemAt(uint32 pos) const { return pos < iItems.size() ? iItems[pos].second : nullptr; }
    uint32 indexAt(uint32 pos) const { return pos < iItems.size() ? iItems[pos].first : 0; }
    void clear();
    void free();
    uint32 size() const { return static_cast<uint32>(iItems.size()); }

private:
    bool search(uint32 index, uint32& pos) const;

    uint32 iGrowth;
    std::vector<std::pair<uint32, CSObject*>> iItems;
};
