// Keybag parsing, key derivation and class-key unlocking.
#include "tools/tool/keybag.h"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace halvern {

namespace {

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

bool IsNumericTag(const std::string& tag) {
  return tag == "VERS" || tag == "TYPE" || tag == "ITER" || tag == "DPIC" || tag == "DPWT" ||
         tag == "CLAS" || tag == "KTYP" || tag == "WRAP";
}

constexpr size_t kKeySize = 32;

}  // namespace

bool ParseKeybag(ByteView blob, Keybag& out, std::string* error) {
  out = Keybag{};
  size_t offset = 0;
  bool headerUuidSeen = false;
  KeybagClass* record = nullptr;
  while (offset < blob.size()) {
    if (blob.size() - offset < 8) return Fail(error, "keybag: item header cut short");
    const std::string tag(reinterpret_cast<const char*>(blob.data() + offset), 4);
    const uint32_t length = BigEndian32(blob.data() + offset + 4);
    offset += 8;
    if (length > blob.size() - offset) {
      return Fail(error, "keybag: item " + tag + " runs past the end");
    }
    const ByteView value = blob.subspan(offset, length);
    offset += length;
    uint32_t number = 0;
    if (IsNumericTag(tag)) {
      if (length != 4) return Fail(error, "keybag: numeric item " + tag + " is not 4 bytes");
      number = BigEndian32(value.data());
    }
    if (tag == "UUID") {
      if (!headerUuidSeen) {
        headerUuidSeen = true;
        out.uuid.assign(value.begin(), value.end());
      } else {
        if (record && !record->protectionClass) {
          return Fail(error, "keybag: class record without CLAS");
        }
        out.classes.emplace_back();
        record = &out.classes.back();
        record->uuid.assign(value.begin(), value.end());
      }
      continue;
    }
    if (record) {
      if (tag == "CLAS") {
        record->protectionClass = number;
      } else if (tag == "WRAP") {
        record->wrap = number;
      } else if (tag == "KTYP") {
        record->keyType = number;
      } else if (tag == "WPKY") {
        record->wrappedKey.assign(value.begin(), value.end());
      } else {
        out.otherTags.emplace_back(tag, Bytes(value.begin(), value.end()));
      }
      continue;
    }
    if (tag == "VERS") {
      out.version = number;
    } else if (tag == "TYPE") {
      out.type = number;
    } else if (tag == "SALT") {
      out.salt.assign(value.begin(), value.end());
    } else if (tag == "ITER") {
      out.iterations = number;
    } else if (tag == "DPIC") {
      out.dpIterations = number;
    } else if (tag == "DPSL") {
      out.dpSalt.assign(value.begin(), value.end());
    } else {
      out.otherTags.emplace_back(tag, Bytes(value.begin(), value.end()));
    }
  }
  if (record && !record->protectionClass) return Fail(error, "keybag: class record without CLAS");
  if (out.salt.empty() || out.iterations == 0) return Fail(error, "keybag: no SALT or ITER");
  if (out.dpIterations && *out.dpIterations == 0) return Fail(error, "keybag: DPIC is 0");
  return true;
}

namespace {

std::optional<SecretBytes> ShaOneStage(const Keybag& bag, ByteView secret) {
  SecretBytes kek(kKeySize);
  if (!Pbkdf2(Pbkdf2Hash::kSha1, secret, bag.salt, bag.iterations, {kek.data(), kek.size()})) {
    return std::nullopt;
  }
  return kek;
}

}  // namespace

namespace {

// A derivation abandoned on a stop cannot be interrupted: it finishes on its own thread. A
// program that leaves at once (_exit) never waits for it; one that ends normally joins it
// here, before OpenSSL's own clean-up at exit (this object is made after OpenSSL's first use,
// so it is destroyed before that clean-up runs).
class AbandonedDerivations {
 public:
  ~AbandonedDerivations() {
    for (auto& thread : threads_) thread.join();
  }
  void Add(std::thread thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::move(thread));
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

void AbandonDerivation(std::thread worker) {
  static AbandonedDerivations abandoned;
  abandoned.Add(std::move(worker));
}

}  // namespace

std::optional<SecretBytes> DeriveKek(const Keybag& bag, ByteView password) {
  if (!bag.DoubleDerivation()) return ShaOneStage(bag, password);
  SecretBytes first(kKeySize);
  if (!Pbkdf2(Pbkdf2Hash::kSha256, password, bag.dpSalt, *bag.dpIterations,
              {first.data(), first.size()})) {
    return std::nullopt;
  }
  return ShaOneStage(bag, first.view());
}

std::optional<SecretBytes> DeriveKekWithProgress(const Keybag& bag, ByteView password,
                                                 const std::function<bool(int)>& tick,
                                                 bool& stopped) {
  stopped = false;
  if (!bag.DoubleDerivation()) return DeriveKek(bag, password);
  using Clock = std::chrono::steady_clock;
  const uint32_t total = *bag.dpIterations;
  // PKCS5_PBKDF2_HMAC cannot report progress, so a short run of the same derivation gives
  // the rate, and the estimate follows the clock.
  const uint32_t probe = std::min<uint32_t>(total, 20000);
  SecretBytes probeOut(kKeySize);
  const auto probeStart = Clock::now();
  Pbkdf2(Pbkdf2Hash::kSha256, password, bag.dpSalt, probe, {probeOut.data(), probeOut.size()});
  const double probeSeconds =
      std::chrono::duration<double>(Clock::now() - probeStart).count() + 1e-9;
  const double expectedSeconds = probeSeconds * static_cast<double>(total) / probe;

  // The worker owns copies of what it needs, so an abandoned derivation touches nothing of
  // the caller's.
  struct Work {
    Keybag bag;
    SecretBytes password;
  };
  auto work = std::make_shared<Work>(Work{bag, SecretBytes(password)});
  std::packaged_task<std::optional<SecretBytes>()> task(
      [work] { return DeriveKek(work->bag, work->password.view()); });
  auto result = task.get_future();
  std::thread worker(std::move(task));

  const auto start = Clock::now();
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const int percent = static_cast<int>(std::min(99.0, 100.0 * elapsed / expectedSeconds));
    if (tick && !tick(percent)) {
      stopped = true;
      AbandonDerivation(std::move(worker));
      return std::nullopt;
    }
  }
  worker.join();
  return result.get();
}

UnlockStatus UnlockClassKeys(const Keybag& bag, const SecretBytes& kek,
                             std::map<uint32_t, SecretBytes>& keys) {
  keys.clear();
  bool checked = false;
  for (const auto& record : bag.classes) {
    if (record.wrappedKey.empty() || (record.wrap & 2) == 0) continue;
    auto key = AesKeyUnwrap(kek.view(), record.wrappedKey);
    if (!key) {
      keys.clear();
      return UnlockStatus::kWrongPassword;
    }
    checked = true;
    // Keys also bound to the device (WRAP 3) unwrap, but are not usable off the phone.
    if (record.wrap == 2 && record.keyType == 0 && key->size() == kKeySize) {
      keys[*record.protectionClass & 0x0F] = std::move(*key);
    }
  }
  return checked ? UnlockStatus::kOk : UnlockStatus::kNoPasswordKeys;
}

}  // namespace halvern
