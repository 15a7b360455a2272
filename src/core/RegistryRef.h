// A registry entry held for a scope. `Get(id)` returns the entry with the
// registry left locked (or null with it unlocked); the guard calls `Release`
// when it ends, on every path, and holds nothing when there was no entry.
// CallRef and SubscriptionRef are the two registries' guards.
//
// Threads: a guard lives on the thread that made it (the registry locks are
// re-entrant, held by that thread).
#pragma once

template <typename T, T* (*Get)(unsigned long long), void (*Release)()>
class RegistryRef {
  public:
    explicit RegistryRef(unsigned long long id) : mpEntry(Get(id)) {}
    ~RegistryRef() {
        if (mpEntry != nullptr) {
            Release();
        }
    }
    RegistryRef(const RegistryRef&) = delete;
    RegistryRef& operator=(const RegistryRef&) = delete;

    T* operator->() const { return mpEntry; }
    explicit operator bool() const { return mpEntry != nullptr; }

  private:
    T* const mpEntry;
};
