// SHA-256: the one digest of the system (state hashes, chain hashes, Merkle
// nodes, derived identifiers), over OpenSSL's EVP interface.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "kelvora/types.hpp"

namespace kelvora::serialization {

// The digest state of a stream after some of its input: a stream can go on
// from it any number of times. Never changes once taken.
class Sha256Midstate;

// SHA-256 over bytes fed in pieces of any size. Small pieces are gathered in
// a buffer so that the digest sees large updates; large pieces go straight
// to it.
class Sha256Stream {
 public:
  Sha256Stream();
  // Goes on from `midstate`, as if the bytes before it had been fed here.
  explicit Sha256Stream(const Sha256Midstate& midstate);
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  ~Sha256Stream();

  void feed(std::string_view bytes) {
    if (bytes.size() >= kDirect) {
      flush();
      update(bytes.data(), bytes.size());
      return;
    }
    if (len_ + bytes.size() > kBuffer) flush();
    std::memcpy(buf_.data() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
  }
  void feed(char c) {
    if (len_ == kBuffer) flush();
    buf_[len_++] = c;
  }

  // The digest state after everything fed so far.
  std::shared_ptr<const Sha256Midstate> midstate();
  // The digest of everything fed; the stream is spent.
  Hash finish();

 private:
  static constexpr std::size_t kBuffer = 16384;
  static constexpr std::size_t kDirect = 4096;

  void flush() {
    if (len_ > 0) update(buf_.data(), len_);
    len_ = 0;
  }
  void update(const void* data, std::size_t n);

  EVP_MD_CTX* ctx_;
  std::size_t len_ = 0;
  std::array<char, kBuffer> buf_;
};

// SHA-256 of the bytes. Made for the many short inputs (chain hashes, Merkle
// nodes): no buffer, and one context per thread, set up once.
Hash compute_hash(std::string_view bytes);

// Version-8 UUID from SHA-256 over the length-prefixed label and parts.
Uuid derive_uuid(std::string_view label, std::span<const std::string_view> parts);

}  // namespace kelvora::serialization
