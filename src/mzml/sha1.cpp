#include "src/mzml/sha1.hpp"

#include <fcntl.h>
#include <openssl/evp.h>

#include <new>
#include <vector>

#include "src/raw/file.hpp"

namespace kestrane::mzml {

void Sha1::Free::operator()(evp_md_ctx_st* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

Result<Sha1> Sha1::create() {
  std::unique_ptr<evp_md_ctx_st, Free> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  if (EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
    return std::unexpected(Error::io_message("SHA-1 is not available"));
  }
  return Sha1(std::move(ctx));
}

void Sha1::update(std::span<const std::uint8_t> bytes) noexcept {
  if (!failed_ && EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1) failed_ = true;
}

Result<std::string> Sha1::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (failed_ || EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1 || length != 20) {
    return std::unexpected(Error::io_message("SHA-1 computation failed"));
  }
  constexpr char hex[] = "0123456789abcdef";
  std::string out(40, '0');
  for (unsigned int i = 0; i < length; ++i) {
    out[2 * i] = hex[digest[i] >> 4];
    out[2 * i + 1] = hex[digest[i] & 15];
  }
  return out;
}

Result<std::string> sha1_file_hex(const std::string& path) {
  auto fd = raw::open_file(path, O_RDONLY | O_CLOEXEC);
  if (!fd) return std::unexpected(Error::io_os(fd.error(), "cannot read " + path));
  auto sha = Sha1::create();
  if (!sha) return std::unexpected(std::move(sha).error());
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    auto n = fd->read_some(buffer);
    if (!n) return std::unexpected(Error::io_os(n.error(), "cannot read " + path));
    if (*n == 0) break;
    sha->update(std::span(buffer).first(*n));
  }
  return sha->finish_hex();
}

}  // namespace kestrane::mzml
