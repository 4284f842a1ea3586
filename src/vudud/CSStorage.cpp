#include "CSStorage.h"

#include <algorithm>

#include "CSException.h"

namespace {

// Makes room for one more entry, growing the capacity by `growth` entries at a time.
template <class V>
void growFor(V& items, size_t growth) {
    if (items.size() == items.capacity()) items.reserve(items.capacity() + growth);
}

void releaseAll(std::vector<CSObject*>& items, bool fromBack) {
    std::vector<CSObject*> old;
    old.swap(items);  // the container is consistent before any destructor runs
    if (fromBack) std::reverse(old.begin(), old.end());
    for (CSObject* obj : old)
        if (obj) obj->release();
}

// Binary search shared by the sorted containers: `cmp(i)` compares the item at i with the key.
// Returns whether it hit; `index` is the hit or the insertion position.
template <class Cmp>
bool binarySearch(size_t count, Cmp cmp, uint32& index) {
    uint32 lower = 0;
    uint32 upper = static_cast<uint32>(count);
    while (lower < upper) {
        uint32 mid = (upper + lower - 1) / 2;
        int r = cmp(mid);
        if (r == 0) {
            index = mid;
            return true;
        }
        if (r > 0)
            lower = mid + 1;
        else
            upper = mid;
    }
    index = lower;
    return false;
}

}  // namespace

// ---- CSHashTable ----

CSHashTable::~CSHashTable() { clear(); }

void CSHashTable::setSize(uint32 size) {
    clear();
    std::vector<std::vector<CSObject*>> buckets(size);
    iBuckets.swap(buckets);
}

void CSHashTable::add(CSObject* obj) {
    CSRef<CSObject> ref(obj);
    if (!obj) CSException::throwAssertion(CS_CONTEXT, "null object added to a hash table");
    if (iBuckets.empty()) CSException::throwAssertion(CS_CONTEXT, "hash table used before its size was set");
    CSObject* key = obj->getKey();
    auto& bucket = iBuckets[key->hashKey() % iBuckets.size()];
    CSObject* old = nullptr;
    for (auto& slot : bucket) {
        if (slot->compareKey(key) == 0) {
            old = std::exchange(slot, ref.take());
            break;
        }
    }
    if (old) {
        old->release();
        return;
    }
    bucket.insert(bucket.begin(), ref.get());
    (void)ref.take();
    iCount++;
}

CSObject* CSHashTable::find(CSObject* key) const {
    if (iBuckets.empty() || !key) return nullptr;
    uint32 hash = key->hashKey();
    for (CSObject* obj : iBuckets[hash % iBuckets.size()]) {
        if (obj->hashKey() == hash && obj->compareKey(key) == 0) return obj;
    }
    return nullptr;
}

bool CSHashTable::remove(CSObject* key) {
    if (iBuckets.empty() || !key) return false;
    auto& bucket = iBuckets[key->hashKey() % iBuckets.size()];
    for (auto it = bucket.begin(); it != bucket.end(); ++it) {
        if ((*it)->compareKey(key) == 0) {
            CSObject* obj = *it;
            bucket.erase(it);
            iCount--;
            obj->release();
            return true;
        }
    }
    return false;
}

void CSHashTable::clear() {
    std::vector<CSObject*> all;
    all.reserve(iCount);
    for (auto& bucket : iBuckets) {
        all.insert(all.end(), bucket.begin(), bucket.end());
        bucket.clear();
    }
    iCount = 0;
    releaseAll(all, false);
}

// ---- CSSortedList ----

CSObject* CSSortedList::search(CSObject* key, uint32& index) const {
    if (binarySearch(
            iItems.size(), [&](uint32 i) { return iItems[i]->compareKey(key); }, index))
        return iItems[index];
    return nullptr;
}

void CSSortedList::add(CSObject* obj) {
    CSRef<CSObject> ref(obj);
    if (!obj) CSException::throwAssertion(CS_CONTEXT, "null object added to a sorted list");
    uint32 index;
    if (search(obj->getKey(), index)) {
        CSObject* old = std::exchange(iItems[index], ref.take());
        old->release();
        return;
    }
    growFor(iItems, 20);
    iItems.insert(iItems.begin() + index, ref.get());
    (void)ref.take();
}

CSObject* CSSortedList::find(CSObject* key) const {
    uint32 index;
    return search(key, index);
}

bool CSSortedList::remove(CSObject* key) {
    uint32 index;
    if (!search(key, index)) return false;
    CSObject* obj = iItems[index];
    iItems.erase(iItems.begin() + index);
    obj->release();
    return true;
}

CSObject* CSSortedList::takeItemAt(uint32 i) {
    if (i >= iItems.size()) return nullptr;
    CSObject* obj = iItems[i];
    iItems.erase(iItems.begin() + i);
    return obj;
}

void CSSortedList::clear() { releaseAll(iItems, false); }

// ---- CSOrderedList ----

CSObject* CSOrderedList::search(CSOrderKey* key, uint32* index) const {
    uint32 pos;
    bool hit = binarySearch(
        iItems.size(), [&](uint32 i) { return iItems[i].first->compareKey(key); }, pos);
    if (index) *index = pos;
    return hit ? iItems[pos].second : nullptr;
}

void CSOrderedList::add(CSOrderKey* key, CSObject* value) {
    CSRef<CSOrderKey> keyRef(key);
    CSRef<CSObject> valueRef(value);
    if (!key) CSException::throwAssertion(CS_CONTEXT, "null key added to an ordered list");
    uint32 pos;
    bool hit = binarySearch(
        iItems.size(), [&](uint32 i) { return iItems[i].first->compareKey(key); }, pos);
    if (hit) {
        auto old = std::exchange(iItems[pos], {keyRef.take(), valueRef.take()});
        old.first->release();
        if (old.second) old.second->release();
        return;
    }
    growFor(iItems, 20);
    iItems.insert(iItems.begin() + pos, {key, value});
    (void)keyRef.take();
    (void)valueRef.take();
}

CSObject* CSOrderedList::find(CSOrderKey* key) const { return search(key, nullptr); }

bool CSOrderedList::remove(CSOrderKey* key) {
    uint32 pos;
    if (!binarySearch(
            iItems.size(), [&](uint32 i) { return iItems[i].first->compareKey(key); }, pos))
        return false;
    auto old = iItems[pos];
    iItems.erase(iItems.begin() + pos);
    old.first->release();
    if (old.second) old.second->release();
    return true;
}

void CSOrderedList::clear() {
    std::vector<std::pair<CSOrderKey*, CSObject*>> old;
    old.swap(iItems);
    for (auto& [key, value] : old) {
        key->release();
        if (value) value->release();
    }
}

// ---- CSLinkedList ----

bool CSLinkedList::contains(CSObject* obj) const {
    return obj == iFront || obj == iBack || obj->getNextLink() || obj->getPrevLink();
}

void CSLinkedList::addFront(CSObject* obj) {
    if (!obj) return;
    if (obj == iFront) {
        obj->release();
        return;
    }
    // The caller's reference keeps the object alive while the list gives back its old one.
    remove(obj);
    obj->setPrevLink(nullptr);
    obj->setNextLink(iFront);
    if (iFront)
        iFront->setPrevLink(obj);
    else
        iBack = obj;
    iFront = obj;
    iCount++;
}

void CSLinkedList::addBack(CSObject* obj) {
    if (!obj) return;
    if (obj == iBack) {
        obj->release();
        return;
    }
    remove(obj);
    obj->setNextLink(nullptr);
    obj->setPrevLink(iBack);
    if (iBack)
        iBack->setNextLink(obj);
    else
        iFront = obj;
    iBack = obj;
    iCount++;
}

bool CSLinkedList::remove(CSObject* obj) {
    if (!obj || !contains(obj)) return false;
    CSObject* next = obj->getNextLink();
    CSObject* prev = obj->getPrevLink();
    if (prev) prev->setNextLink(next);
    if (next) next->setPrevLink(prev);
    if (iFront == obj) iFront = next;
    if (iBack == obj) iBack = prev;
    obj->setNextLink(nullptr);
    obj->setPrevLink(nullptr);
    iCount--;
    obj->release();
    return true;
}

CSRef<CSObject> CSLinkedList::removeFront() {
    if (!iFront) return nullptr;
    auto obj = CSRef<CSObject>::retained(iFront);
    remove(obj.get());
    return obj;
}

CSRef<CSObject> CSLinkedList::removeBack() {
    if (!iBack) return nullptr;
    auto obj = CSRef<CSObject>::retained(iBack);
    remove(obj.get());
    return obj;
}

void CSLinkedList::clear() {
    while (iFront) remove(iFront);
}

// ---- CSVector ----

void CSVector::reserveFor(size_t count) {
    if (count > iItems.capacity()) iItems.reserve(std::max(count, iItems.capacity() + iGrowth));
}

void CSVector::add(CSObject* obj) {
    CSRef<CSObject> ref(obj);
    reserveFor(iItems.size() + 1);
    iItems.push_back(ref.take());
}

void CSVector::set(uint32 i, CSObject* obj) {
    CSRef<CSObject> ref(obj);
    if (i >= iItems.size()) {
        reserveFor(static_cast<size_t>(i) + 1);
        iItems.resize(static_cast<size_t>(i) + 1, nullptr);
    }
    CSObject* old = std::exchange(iItems[i], ref.take());
    if (old) old->release();
}

CSObject* CSVector::take(uint32 i) {
    if (i >= iItems.size()) return nullptr;
    CSObject* obj = iItems[i];
    iItems.erase(iItems.begin() + i);
    return obj;
}

void CSVector::remove(uint32 i) {
    if (CSObject* obj = take(i)) obj->release();
}

void CSVector::clear() {
    std::vector<CSObject*> old(std::move(iItems));
    iItems.clear();
    iItems.reserve(old.capacity());
    releaseAll(old, true);
}

void CSVector::free() {
    clear();
    iItems.shrink_to_fit();
}

// ---- CSSparseArray ----

bool CSSparseArray::search(uint32 index, uint32& pos) const {
    return binarySearch(
        iItems.size(),
        [&](uint32 i) {
            // Ascending indexes: an item below the searched index sends the search upwards.
            uint32 at = iItems[i].first;
            return at < index ? 1 : (at > index ? -1 : 0);
        },
        pos);
}

void CSSparseArray::set(uint32 index, CSObject* obj) {
    CSRef<CSObject> ref(obj);
    uint32 pos;
    if (search(index, pos)) {
        CSObject* old = std::exchange(iItems[pos].second, ref.take());
        if (old) old->release();
        return;
    }
    growFor(iItems, iGrowth);
    iItems.insert(iItems.begin() + pos, {index, ref.get()});
    (void)ref.take();
}

CSObject* CSSparseArray::get(uint32 index) const {
    uint32 pos;
    return search(index, pos) ? iItems[pos].second : nullptr;
}

uint32 CSSparseArray::getIndex(uint32 index) const {
    uint32 pos;
    search(index, pos);
    return pos;
}

CSObject* CSSparseArray::take(uint32 index) {
    uint32 pos;
    if (!search(index, pos)) return nullptr;
    CSObject* obj = iItems[pos].second;
    iItems.erase(iItems.begin() + pos);
    return obj;
}

void CSSparseArray::remove(uint32 index) {
    if (CSObject* obj = take(index)) obj->release();
}

void CSSparseArray::removeFirst() {
    if (iItems.empty()) return;
    CSObject* obj = iItems.front().second;
    iItems.erase(iItems.begin());
    if (obj) obj->release();
}

void CSSparseArray::clear() {
    std::vector<std::pair<uint32, CSObject*>> old;
    old.swap(iItems);
    iItems.reserve(old.capacity());
    for (auto it = old.rbegin(); it != old.rend(); ++it)
        if (it->second) it->second->release();
}

void CSSparseArray::free() {
    clear();
    iItems.shrink_to_fit();
}
