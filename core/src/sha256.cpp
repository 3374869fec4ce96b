#include "kelvora/sha256.hpp"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <new>

#include "kelvora/error.hpp"

namespace kelvora::serialization {

namespace {

// Fetched once: an explicit fetch spares every initialisation the lookup.
const EVP_MD* sha256_md() {
  static const EVP_MD* md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? static_cast<const EVP_MD*>(fetched) : EVP_sha256();
  }();
  return md;
}

struct ContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// A context that cannot be made is memory the process does not have.
EVP_MD_CTX* new_context() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) throw std::bad_alloc();
  return ctx;
}

}  // namespace

class Sha256Midstate {
 public:
  explicit Sha256Midstate(const EVP_MD_CTX* from) : ctx_(new_context()) {
    if (EVP_MD_CTX_copy_ex(ctx_.get(), from) != 1) {
      internal_fault("SHA-256 midstate copy failed");
    }
  }
  const EVP_MD_CTX* context() const { return ctx_.get(); }

 private:
  std::unique_ptr<EVP_MD_CTX, ContextFree> ctx_;
};

Sha256Stream::Sha256Stream() : ctx_(new_context()) {
  if (EVP_DigestInit_ex(ctx_, sha256_md(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    internal_fault("SHA-256 initialisation failed");
  }
}

Sha256Stream::Sha256Stream(const Sha256Midstate& midstate) : ctx_(new_context()) {
  if (EVP_MD_CTX_copy_ex(ctx_, midstate.context()) != 1) {
    EVP_MD_CTX_free(ctx_);
    internal_fault("SHA-256 initialisation failed");
  }
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(ctx_); }

void Sha256Stream::update(const void* data, std::size_t n) {
  if (EVP_DigestUpdate(ctx_, data, n) != 1) internal_fault("SHA-256 update failed");
}

std::shared_ptr<const Sha256Midstate> Sha256Stream::midstate() {
  flush();
  return std::make_shared<const Sha256Midstate>(ctx_);
}

Hash Sha256Stream::finish() {
  flush();
  Hash h;
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx_, h.bytes.data(), &n) != 1 || n != 32) {
    internal_fault("SHA-256 finalisation failed");
  }
  return h;
}

Hash compute_hash(std::string_view bytes) {
  // Made on first use, and again after a use that could not make it.
  thread_local std::unique_ptr<EVP_MD_CTX, ContextFree> ctx;
  if (ctx == nullptr) ctx.reset(new_context());
  Hash out;
  unsigned int out_len = 0;
  if (EVP_DigestInit_ex2(ctx.get(), sha256_md(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out.bytes.data(), &out_len) != 1 ||
      out_len != out.bytes.size()) {
    internal_fault("SHA-256 should never fail");
  }
  return out;
}

Uuid derive_uuid(std::string_view label, std::span<const std::string_view> parts) {
  Sha256Stream stream;
  auto feed_part = [&](std::string_view part) {
    const auto n = static_cast<std::uint32_t>(part.size());
    const char len[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                         static_cast<char>(n >> 8), static_cast<char>(n)};
    stream.feed(std::string_view(len, 4));
    stream.feed(part);
  };
  feed_part(label);
  for (std::string_view part : parts) feed_part(part);
  Hash digest = stream.finish();
  Uuid u;
  std::memcpy(u.bytes.data(), digest.bytes.data(), 16);
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x80);
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

}  // namespace kelvora::serialization
