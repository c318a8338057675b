#pragma once

// Deleter for C library handles held in std::unique_ptr:
//   using X509Ptr = std::unique_ptr<X509, CFree<X509_free>>;
template <auto Free>
struct CFree {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p) Free(p);
  }
};
