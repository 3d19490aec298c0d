// Opening notes locked with a notes password (NoteStore.sqlite).
//
// Each locked object (a note, an attachment) keeps a 16-byte salt (ZCRYPTOSALT), an iteration
// count (ZCRYPTOITERATIONCOUNT) and its own key wrapped (ZCRYPTOWRAPPEDKEY). The password,
// Unicode NFC-normalised and UTF-8 encoded, gives through PBKDF2-HMAC-SHA256 with that salt and
// count a 16-byte key; that key unwraps the object's key with AES key wrap (RFC 3394), whose
// integrity check fails for a wrong password. The object's key opens its data with AES-GCM,
// the data's initialisation vector and tag kept beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvern::notes {

// The password in Unicode normalisation form C; nullopt when it is not valid UTF-8.
std::optional<std::string> NormalizedPassword(std::string_view password);

// The object's key, or nullopt when the password does not unwrap it (wrong password, or key
// material that is damaged).
std::optional<std::string> UnwrapNoteKey(std::string_view password, std::string_view salt,
                                         int64_t iterations, std::string_view wrappedKey);

// The plain data, or nullopt when the key, vector and tag do not authenticate it.
std::optional<std::string> OpenNoteData(std::string_view key, std::string_view iv,
                                        std::string_view tag, std::string_view data);

}  // namespace halvern::notes
