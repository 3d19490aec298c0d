// The backup keybag (Manifest.plist "BackupKeyBag") and the keys it yields for a password.
//
// Layout: a run of items, each  tag (4 ASCII bytes) | length (u32 big-endian) | value.
// Numbers are 4-byte big-endian values. The header comes first; its first UUID names the
// bag, and every later UUID starts a class record.
//
//   header tags   VERS  keybag version (3, 4, 5 seen)
//                 TYPE  1 = backup bag
//                 UUID  the bag's id
//                 HMCK  wrapped signing key (zeros in backup bags; unused)
//                 WRAP  0 in backup bags
//                 SALT  salt of the PBKDF2-HMAC-SHA1 stage (20 bytes)
//                 ITER  iterations of that stage
//                 DPWT  (iOS 10.2+) unused
//                 DPIC  (iOS 10.2+) iterations of the PBKDF2-HMAC-SHA256 stage
//                 DPSL  (iOS 10.2+) salt of that stage
//   class record  UUID  starts the record
//                 CLAS  protection class (low 4 bits used by files: 1..4)
//                 WRAP  bit 1: wrapped with the device key; bit 2: wrapped with the password key
//                 KTYP  0 = AES key
//                 WPKY  the wrapped class key (RFC 3394, 40 bytes for a 32-byte key)
//                 PBKY  public key (KTYP 1 only)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/tool/crypto.h"

namespace halvern {

struct KeybagClass {
  Bytes uuid;
  std::optional<uint32_t> protectionClass;  // CLAS
  uint32_t wrap = 0;                        // WRAP
  uint32_t keyType = 0;                     // KTYP
  Bytes wrappedKey;                         // WPKY; empty when absent
};

struct Keybag {
  uint32_t version = 0;                  // VERS
  uint32_t type = 0;                     // TYPE
  Bytes uuid;                            // the header's UUID
  Bytes salt;                            // SALT
  uint32_t iterations = 0;               // ITER
  std::optional<uint32_t> dpIterations;  // DPIC
  Bytes dpSalt;                          // DPSL
  std::vector<KeybagClass> classes;
  std::vector<std::pair<std::string, Bytes>> otherTags;  // tags not used here, in order

  // iOS 10.2 and later derive the key in two stages; the bag says so by DPIC and DPSL.
  bool DoubleDerivation() const { return dpIterations.has_value() && !dpSalt.empty(); }
};

// Parses a keybag. False with `error` set when an item runs past the end, a numeric tag is
// not 4 bytes long, a class record has no CLAS, or the header lacks SALT or ITER.
bool ParseKeybag(ByteView blob, Keybag& out, std::string* error = nullptr);

// The key-encryption key of `password` for `bag`: PBKDF2-HMAC-SHA256 over DPSL/DPIC first
// when the bag has them, then PBKDF2-HMAC-SHA1 over SALT/ITER, 32 bytes each. nullopt when
// OpenSSL refuses the parameters (zero iterations).
std::optional<SecretBytes> DeriveKek(const Keybag& bag, ByteView password);

// The same, with the long SHA-256 stage on a worker thread. `tick` is called about every
// 100 ms with an estimated percentage (0..99); when it answers false the derivation is
// abandoned (the worker finishes on its own copies and is joined at normal exit) and nullopt
// comes back with `stopped` set.
std::optional<SecretBytes> DeriveKekWithProgress(const Keybag& bag, ByteView password,
                                                 const std::function<bool(int)>& tick,
                                                 bool& stopped);

enum class UnlockStatus {
  kOk,
  kWrongPassword,  // a class key protected by the password did not unwrap
  kNoPasswordKeys  // the bag has no class key protected by the password: nothing to check
};

// Unwraps every class key whose record has WPKY and WRAP bit 2 with `kek`. Any failed
// unwrap means a wrong password. Keys usable for files (WRAP exactly 2, KTYP 0) go into
// `keys` by protection class.
UnlockStatus UnlockClassKeys(const Keybag& bag, const SecretBytes& kek,
                             std::map<uint32_t, SecretBytes>& keys);

}  // namespace halvern
