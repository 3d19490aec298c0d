// OpenSSL EVP calls behind the decryptor's building blocks.
#include "tools/tool/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace halvern {

namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

const EVP_CIPHER* WrapCipherFor(size_t kekSize) {
  switch (kekSize) {
    case 16:
      return EVP_aes_128_wrap();
    case 24:
      return EVP_aes_192_wrap();
    case 32:
      return EVP_aes_256_wrap();
    default:
      return nullptr;
  }
}

bool IsPadding(const uint8_t* block, size_t size, size_t& padLength) {
  if (size != 16) return false;
  const uint8_t n = block[15];
  if (n < 1 || n > 16) return false;
  for (size_t i = 16 - n; i < 16; ++i) {
    if (block[i] != n) return false;
  }
  padLength = n;
  return true;
}

}  // namespace

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    Wipe();
    bytes_ = other.bytes_;
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Wipe();
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

void SecretBytes::Wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

bool Pbkdf2(Pbkdf2Hash hash, ByteView password, ByteView salt, uint32_t iterations,
            std::span<uint8_t> out) {
  if (iterations == 0 || iterations > 0x7FFFFFFFu || out.empty()) return false;
  const EVP_MD* md = hash == Pbkdf2Hash::kSha1 ? EVP_sha1() : EVP_sha256();
  // OpenSSL wants a non-null pointer even for an empty password or salt.
  static const uint8_t kNothing = 0;
  return PKCS5_PBKDF2_HMAC(
             reinterpret_cast<const char*>(password.empty() ? &kNothing : password.data()),
             static_cast<int>(password.size()), salt.empty() ? &kNothing : salt.data(),
             static_cast<int>(salt.size()), static_cast<int>(iterations), md,
             static_cast<int>(out.size()), out.data()) == 1;
}

std::optional<SecretBytes> AesKeyUnwrap(ByteView kek, ByteView wrapped) {
  const EVP_CIPHER* cipher = WrapCipherFor(kek.size());
  if (!cipher || wrapped.size() < 24 || wrapped.size() % 8 != 0 || wrapped.size() > 4096) {
    return std::nullopt;
  }
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  // Needed by OpenSSL 1.1 for the wrap modes; harmless later.
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, kek.data(), nullptr) != 1) {
    return std::nullopt;
  }
  // The output may briefly hold wrong-key garbage; it is wiped on every path.
  SecretBytes out(wrapped.size());
  int outLength = 0;
  if (EVP_DecryptUpdate(ctx.get(), out.data(), &outLength, wrapped.data(),
                        static_cast<int>(wrapped.size())) != 1 ||
      outLength != static_cast<int>(wrapped.size() - 8)) {
    return std::nullopt;
  }
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out.data() + outLength, &finalLength) != 1) {
    return std::nullopt;
  }
  return SecretBytes(ByteView(out.data(), static_cast<size_t>(outLength)));
}

std::optional<Bytes> AesKeyWrap(ByteView kek, ByteView key) {
  const EVP_CIPHER* cipher = WrapCipherFor(kek.size());
  if (!cipher || key.size() < 16 || key.size() % 8 != 0 || key.size() > 4088) return std::nullopt;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, kek.data(), nullptr) != 1) {
    return std::nullopt;
  }
  Bytes out(key.size() + 16);
  int outLength = 0;
  if (EVP_EncryptUpdate(ctx.get(), out.data(), &outLength, key.data(),
                        static_cast<int>(key.size())) != 1 ||
      outLength != static_cast<int>(key.size() + 8)) {
    return std::nullopt;
  }
  int finalLength = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), out.data() + outLength, &finalLength) != 1) {
    return std::nullopt;
  }
  out.resize(static_cast<size_t>(outLength));
  return out;
}

std::string Sha1Hex(std::string_view bytes) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
    return {};
  }
  return ToHex(ByteView(digest, length));
}

std::string ToHex(ByteView bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::optional<Bytes> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = digit(hex[2 * i]);
    const int lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return out;
}

struct CbcStreamDecryptor::Context {
  CipherCtx ctx{EVP_CIPHER_CTX_new()};
};

CbcStreamDecryptor::CbcStreamDecryptor() : ctx_(std::make_unique<Context>()) {}

CbcStreamDecryptor::~CbcStreamDecryptor() { OPENSSL_cleanse(held_, sizeof held_); }

bool CbcStreamDecryptor::Start(ByteView key) {
  heldSize_ = 0;
  cipherBytes_ = 0;
  plainBytes_ = 0;
  if (key.size() != 32 || !ctx_->ctx) return false;
  static const uint8_t kZeroIv[16] = {};
  if (EVP_DecryptInit_ex(ctx_->ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1) {
    return false;
  }
  // The padding is checked here, not by OpenSSL: with bad padding OpenSSL would drop the
  // whole last block.
  EVP_CIPHER_CTX_set_padding(ctx_->ctx.get(), 0);
  return true;
}

bool CbcStreamDecryptor::Update(ByteView in, Bytes& out) {
  if (in.empty()) return true;
  if (in.size() > static_cast<size_t>(INT32_MAX - 32)) return false;
  cipherBytes_ += in.size();
  scratch_.resize(in.size() + 16);
  int produced = 0;
  if (EVP_DecryptUpdate(ctx_->ctx.get(), scratch_.data(), &produced, in.data(),
                        static_cast<int>(in.size())) != 1) {
    return false;
  }
  const size_t fresh = static_cast<size_t>(produced);
  if (fresh == 0) return true;
  // Everything but the newest 16 bytes can go out: the held block first, then the fresh
  // bytes up to the last whole block, which becomes the new held block.
  out.insert(out.end(), held_, held_ + heldSize_);
  plainBytes_ += heldSize_;
  const size_t keep = fresh >= 16 ? 16 : fresh;  // fresh output comes in whole blocks
  out.insert(out.end(), scratch_.begin(), scratch_.begin() + static_cast<long>(fresh - keep));
  plainBytes_ += fresh - keep;
  std::memcpy(held_, scratch_.data() + (fresh - keep), keep);
  heldSize_ = keep;
  OPENSSL_cleanse(scratch_.data(), fresh);
  return true;
}

bool CbcStreamDecryptor::Finish(Bytes& out, CbcEnding& ending) {
  ending = {};
  ending.cipherBytes = cipherBytes_;
  ending.truncated = cipherBytes_ % 16 != 0;
  size_t give = heldSize_;
  size_t padLength = 0;
  if (!ending.truncated && cipherBytes_ > 0) {
    if (IsPadding(held_, heldSize_, padLength)) {
      give = heldSize_ - padLength;
    } else {
      ending.badPadding = true;
    }
  }
  // A truncated stream's trailing partial block cannot be decrypted; every whole block is kept.
  out.insert(out.end(), held_, held_ + give);
  plainBytes_ += give;
  OPENSSL_cleanse(held_, sizeof held_);
  heldSize_ = 0;
  ending.plainBytes = plainBytes_;
  return true;
}

bool AesCbcDecryptAll(ByteView key, ByteView cipher, Bytes& plain, CbcEnding& ending) {
  CbcStreamDecryptor decryptor;
  plain.clear();
  plain.reserve(cipher.size());
  return decryptor.Start(key) && decryptor.Update(cipher, plain) && decryptor.Finish(plain, ending);
}

}  // namespace halvern
