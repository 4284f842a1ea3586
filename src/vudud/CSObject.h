// The object kinds of the foundation library and the smart pointer that owns them.
// A function that creates an object hands the caller one reference; CSRef<T> holds such a
// reference and gives it back when it goes out of scope, also when an exception passes.
// Reference counts of CSRefObject are not atomic: such objects are used by one thread at a
// time or handed over under a lock. CSSharedRefObject counts atomically.
#pragma once

#include <atomic>
#include <utility>

#include "CSDefs.h"

class CSObject {
public:
    CSObject() = default;
    CSObject(const CSObject&) = delete;
    CSObject& operator=(const CSObject&) = delete;
    virtual ~CSObject() = default;

    // A plain object has no count: retain() is an assertion failure, release() deletes it.
    virtual void retain();
    virtual void release();
    virtual void finalize() {}

    // Key and link operations used by the containers; raise -14010 unless a subclass provides them.
    virtual CSObject* getKey();
    virtual int compareKey(CSObject* key);
    virtual uint32 hashKey();
    virtual CSObject* getHashLink();
    virtual void setHashLink(CSObject* link);
    virtual CSObject* getNextLink();
    virtual CSObject* getPrevLink();
    virtual void setNextLink(CSObject* link);
    virtual void setPrevLink(CSObject* link);
};

// Lives for the whole program (static or embedded); release() only finalizes it.
class CSStaticObject : public CSObject {
public:
    void retain() override {}
    void release() override { finalize(); }
};

class CSRefObject : public CSObject {
public:
    void retain() override;
    void release() override;
    uint32 getRefCount() const { return iRefCount; }

private:
    uint32 iRefCount = 1;
};

// Reference-counted object shared by several threads: the count is changed atomically.
class CSSharedRefObject : public CSObject {
public:
    void retain() override;
    void release() override;
    uint32 getRefCount() const { return iRefCount.load(); }

private:
    std::atomic<uint32> iRefCount{1};
};

// Owns one reference to a CSObject. Constructing from a raw pointer adopts the reference the
// pointer carries (as returned by a creating function); CSRef::retained() takes a new one.
template <class T>
class CSRef {
public:
    CSRef() noexcept = default;
    CSRef(std::nullptr_t) noexcept {}
    explicit CSRef(T* adopted) noexcept : iPtr(adopted) {}
    CSRef(const CSRef& other) : iPtr(other.iPtr) {
        if (iPtr) iPtr->retain();
    }
    CSRef(CSRef&& other) noexcept : iPtr(std::exchange(other.iPtr, nullptr)) {}
    template <class U>
    CSRef(CSRef<U>&& other) noexcept : iPtr(other.take()) {}
    template <class U>
    CSRef(const CSRef<U>& other) : iPtr(other.get()) {
        if (iPtr) iPtr->retain();
    }
    ~CSRef() { reset(); }

    CSRef& operator=(CSRef other) noexcept {
        std::swap(iPtr, other.iPtr);
        return *this;
    }

    static CSRef retained(T* borrowed) {
        if (borrowed) borrowed->retain();
        return CSRef(borrowed);
    }

    void reset(T* adopted = nullptr) noexcept {
        T* old = std::exchange(iPtr, adopted);
        if (old) old->release();
    }
    // Hands the reference to the caller, who becomes responsible for releasing it.
    [[nodiscard]] T* take() noexcept { return std::exchange(iPtr, nullptr); }

    T* get() const noexcept { return iPtr; }
    T* operator->() const noexcept { return iPtr; }
    T& operator*() const noexcept { return *iPtr; }
    explicit operator bool() const noexcept { return iPtr != nullptr; }
    bool operator==(const CSRef& other) const noexcept { return iPtr == other.iPtr; }

private:
    T* iPtr = nullptr;
};

template <class T, class... Args>
CSRef<T> cs_new(Args&&... args) {
    return CSRef<T>(new T(std::forward<Args>(args)...));
}
