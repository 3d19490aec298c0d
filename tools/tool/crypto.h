// Cryptographic building blocks of the decryptor, all through OpenSSL's EVP interface:
// PBKDF2, AES key wrap (RFC 3394) and streaming AES-256-CBC decryption whose padding is
// handled here, so that a damaged file never loses a decrypted byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvern {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// A byte buffer for keys and passwords: wiped with OPENSSL_cleanse when destroyed or
// overwritten. Its size is fixed at construction, so the bytes never move.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t size) : bytes_(size) {}
  explicit SecretBytes(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  explicit SecretBytes(std::string_view text) : bytes_(text.begin(), text.end()) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes() { Wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  ByteView view() const { return {bytes_.data(), bytes_.size()}; }
  bool operator==(const SecretBytes& other) const { return bytes_ == other.bytes_; }

 private:
  void Wipe();
  std::vector<uint8_t> bytes_;
};

enum class Pbkdf2Hash { kSha1, kSha256 };

// PBKDF2 (RFC 8018) with HMAC over `hash`; fills `out`. False only when OpenSSL refuses.
bool Pbkdf2(Pbkdf2Hash hash, ByteView password, ByteView salt, uint32_t iterations,
            std::span<uint8_t> out);

// RFC 3394 key unwrap with the default initial value A6A6A6A6A6A6A6A6. The KEK is 16, 24
// or 32 bytes; `wrapped` is n+1 64-bit blocks (n >= 2). nullopt when the integrity check
// fails (wrong KEK or damaged input) or the sizes are not those of a key wrap.
std::optional<SecretBytes> AesKeyUnwrap(ByteView kek, ByteView wrapped);
// The reverse: n 64-bit blocks (n >= 2) in, n+1 out. nullopt on bad sizes.
std::optional<Bytes> AesKeyWrap(ByteView kek, ByteView key);

// SHA-1 of `bytes` as 40 lower-case hex digits (the backup's file ids).
std::string Sha1Hex(std::string_view bytes);

// Lower-case hex of `bytes` and back (tests, key files). FromHex gives nullopt on a bad digit
// or an odd length.
std::string ToHex(ByteView bytes);
std::optional<Bytes> FromHex(std::string_view hex);

// How a decrypted stream ended.
struct CbcEnding {
  bool truncated = false;    // the ciphertext was not a whole number of 16-byte blocks
  bool badPadding = false;   // the last block did not end in valid PKCS#7 padding
  uint64_t cipherBytes = 0;  // ciphertext bytes fed in
  uint64_t plainBytes = 0;   // plaintext bytes handed out
};

// AES-256-CBC decryption with a zero IV of one stream fed in pieces. The last 16 plaintext
// bytes are held back until Finish, which strips valid PKCS#7 padding and otherwise hands
// out everything that could be decrypted (a truncated or damaged file keeps all its bytes).
class CbcStreamDecryptor {
 public:
  CbcStreamDecryptor();
  ~CbcStreamDecryptor();
  CbcStreamDecryptor(const CbcStreamDecryptor&) = delete;
  CbcStreamDecryptor& operator=(const CbcStreamDecryptor&) = delete;

  // Starts a stream with a 32-byte key. False when the key has another size.
  bool Start(ByteView key);
  // Decrypts `in`; appends the plaintext known not to be padding to `out`.
  bool Update(ByteView in, Bytes& out);
  // Ends the stream; appends the rest of the plaintext to `out`.
  bool Finish(Bytes& out, CbcEnding& ending);

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
  uint8_t held_[16] = {};
  size_t heldSize_ = 0;
  Bytes scratch_;
  uint64_t cipherBytes_ = 0;
  uint64_t plainBytes_ = 0;
};

// Decrypts a whole buffer (Manifest.db, small files) with the stream decryptor above.
bool AesCbcDecryptAll(ByteView key, ByteView cipher, Bytes& plain, CbcEnding& ending);

}  // namespace halvern
