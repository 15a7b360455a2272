// A zero-filled character buffer of fixed size that frees itself.
//
// Not shared: one owner, one thread at a time.
#pragma once

#include <cstddef>
#include <memory>

class SmartBuffer {
  public:
    explicit SmartBuffer(std::size_t size) : mData(std::make_unique<char[]>(size)), mnSize(size) {}

    char* Get() { return mData.get(); }
    const char* Get() const { return mData.get(); }
    std::size_t Size() const { return mnSize; }

  private:
    std::unique_ptr<char[]> mData;
    std::size_t mnSize;
};
