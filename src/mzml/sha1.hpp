// SHA-1 digests through OpenSSL's EVP interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "src/error.hpp"

struct evp_md_ctx_st;

namespace kestrane::mzml {

class Sha1 {
 public:
  // A fresh digest; Error "SHA-1 is not available" when the library cannot provide it.
  [[nodiscard]] static Result<Sha1> create();

  void update(std::span<const std::uint8_t> bytes) noexcept;
  // The digest of everything passed to update, as 40 lowercase hex digits; the object is spent.
  [[nodiscard]] Result<std::string> finish_hex();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const noexcept;
  };
  explicit Sha1(std::unique_ptr<evp_md_ctx_st, Free> ctx) : ctx_(std::move(ctx)) {}

  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
  bool failed_ = false;  // an update failed; reported by finish_hex
};

}  // namespace kestrane::mzml
