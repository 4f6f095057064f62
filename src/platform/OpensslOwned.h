#pragma once
// For the files built on OpenSSL only: OpenSSL objects owned by unique_ptr, each freed with its
// own free function on every path.

#include <memory>

namespace vt {

template <typename T, void (*Free)(T*)>
struct TOpensslDeleter {
  void operator()(T* Object) const { Free(Object); }
};

template <typename T, void (*Free)(T*)>
using TOpensslOwned = std::unique_ptr<T, TOpensslDeleter<T, Free>>;

}  // namespace vt
