// Locked notes (see note_crypto.h).
#include "extractors/note_crypto.h"

#include <openssl/evp.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <memory>
#include <vector>

namespace halvern::notes {
namespace {

// The salt and count the phone uses stay far below these; larger values are damage.
constexpr int64_t kMaxIterations = 10'000'000;

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::optional<std::string> NormalizedPassword(std::string_view password) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::nullopt;
  int32_t units = 0;
  u_strFromUTF8(nullptr, 0, &units, password.data(), int32_t(password.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  status = U_ZERO_ERROR;
  std::vector<UChar> wide(size_t(units) + 1);
  u_strFromUTF8(wide.data(), int32_t(wide.size()), &units, password.data(),
                int32_t(password.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  std::vector<UChar> normal(size_t(units) * 4 + 4);
  const int32_t normalUnits =
      unorm2_normalize(nfc, wide.data(), units, normal.data(), int32_t(normal.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  int32_t bytes = 0;
  u_strToUTF8(nullptr, 0, &bytes, normal.data(), normalUnits, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  status = U_ZERO_ERROR;
  std::string out(size_t(bytes), '\0');
  u_strToUTF8(out.data(), bytes, &bytes, normal.data(), normalUnits,
              &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  return out;
}

std::optional<std::string> UnwrapNoteKey(std::string_view password, std::string_view salt,
                                         int64_t iterations, std::string_view wrappedKey) {
  if (salt.empty() || iterations <= 0 || iterations > kMaxIterations) return std::nullopt;
  if (wrappedKey.size() != 24 && wrappedKey.size() != 40) return std::nullopt;
  const std::optional<std::string> normal = NormalizedPassword(password);
  if (!normal) return std::nullopt;
  unsigned char kek[16];
  if (PKCS5_PBKDF2_HMAC(normal->data(), int(normal->size()), Bytes(salt), int(salt.size()),
                        int(iterations), EVP_sha256(), sizeof kek, kek) != 1) {
    return std::nullopt;
  }
  Cipher ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  std::string key(wrappedKey.size(), '\0');
  int length = 0, tail = 0;
  auto* out = reinterpret_cast<unsigned char*>(key.data());
  const bool ok =
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_wrap(), nullptr, kek, nullptr) == 1 &&
      EVP_DecryptUpdate(ctx.get(), out, &length, Bytes(wrappedKey), int(wrappedKey.size())) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), out + length, &tail) == 1;
  OPENSSL_cleanse(kek, sizeof kek);
  if (!ok) {
    OPENSSL_cleanse(key.data(), key.size());
    return std::nullopt;
  }
  key.resize(size_t(length + tail));
  return key;
}

std::optional<std::string> OpenNoteData(std::string_view key, std::string_view iv,
                                        std::string_view tag, std::string_view data) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_gcm()
                             : key.size() == 32 ? EVP_aes_256_gcm()
                                                : nullptr;
  if (cipher == nullptr || iv.empty() || tag.size() != 16 || data.size() > INT32_MAX)
    return std::nullopt;
  Cipher ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  std::string plain(data.size() + 16, '\0');
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  int length = 0, tail = 0;
  const bool ok =
      EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int(iv.size()), nullptr) == 1 &&
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, Bytes(key), Bytes(iv)) == 1 &&
      EVP_DecryptUpdate(ctx.get(), out, &length, Bytes(data), int(data.size())) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(tag.size()),
                          const_cast<char*>(tag.data())) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), out + length, &tail) == 1;
  if (!ok) return std::nullopt;
  plain.resize(size_t(length + tail));
  return plain;
}

}  // namespace halvern::notes
