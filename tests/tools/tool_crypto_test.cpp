// The decryptor's building blocks against published vectors: PBKDF2 (RFC 6070, RFC 7914),
// AES key wrap (RFC 3394), public backup keybag records with known passwords, and a
// file-level vector; plus the keybag parser's format checks and the streaming decryptor's
// handling of padding, truncation and chunk boundaries.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tools/tool/crypto.h"
#include "tools/tool/keybag.h"

namespace halvern {
namespace {

Bytes Hex(std::string_view hex) {
  std::string clean;
  for (char c : hex) {
    if (c != ' ') clean += c;
  }
  auto bytes = FromHex(clean);
  EXPECT_TRUE(bytes.has_value()) << hex;
  return bytes.value_or(Bytes{});
}

ByteView Text(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(Pbkdf2, PublishedVectors) {
  struct Case {
    Pbkdf2Hash hash;
    std::string password, salt;
    uint32_t iterations;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {Pbkdf2Hash::kSha1, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {Pbkdf2Hash::kSha1, "password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {Pbkdf2Hash::kSha1, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {Pbkdf2Hash::kSha1, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {Pbkdf2Hash::kSha1, std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
       "56fa6aa75548099dcc37d7f03425e0c3"},
      {Pbkdf2Hash::kSha256, "passwd", "salt", 1,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b39"
       "d77ef317c71b845b1e30bd509112041d3a19783"},
      {Pbkdf2Hash::kSha256, "Password", "NaCl", 80000,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b"
       "51c9b3176a272bdebba1d078478f62b397f33c8d"},
      {Pbkdf2Hash::kSha256, "password", "salt", 1,
       "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
      {Pbkdf2Hash::kSha256, "password", "salt", 2,
       "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
      {Pbkdf2Hash::kSha256, "password", "salt", 4096,
       "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(c.expected.size() / 2);
    ASSERT_TRUE(Pbkdf2(c.hash, Text(c.password), Text(c.salt), c.iterations, out));
    EXPECT_EQ(ToHex(out), c.expected) << c.password << " / " << c.iterations;
  }
  std::vector<uint8_t> out(32);
  EXPECT_FALSE(Pbkdf2(Pbkdf2Hash::kSha1, Text("p"), Text("s"), 0, out));
}

// RFC 3394 section 4: KEK 000102.., key 00112233..EEFF followed by 0001.. as needed.
TEST(AesKeyWrap, Rfc3394Vectors) {
  struct Case {
    size_t kekBits, keyBits;
    std::string wrapped;
  };
  const std::vector<Case> cases = {
      {128, 128, "1FA68B0A8112B447 AEF34BD8FB5A7B82 9D3E862371D2CFE5"},
      {192, 128, "96778B25AE6CA435 F92B5B97C050AED2 468AB8A17AD84E5D"},
      {256, 128, "64E8C3F9CE0F5BA2 63E9777905818A2A 93C8191E7D6E8AE7"},
      {192, 192, "031D33264E15D332 68F24EC260743EDC E1C6C7DDEE725A93 6BA814915C6762D2"},
      {256, 192, "A8F9BC1612C68B3F F6E6F4FBE30E71E4 769C8B80A32CB895 8CD5D17D6B254DA1"},
      {256, 256,
       "28C9F404C4B810F4 CBCCB35CFB87F826 3F5786E2D80ED326 CBC7F0E71A99F43B FB988B9B7A02DD21"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.kekBits) + "/" + std::to_string(c.keyBits));
    Bytes kek(c.kekBits / 8);
    for (size_t i = 0; i < kek.size(); ++i) kek[i] = static_cast<uint8_t>(i);
    Bytes key = Hex("00112233445566778899AABBCCDDEEFF");
    for (size_t i = 0; key.size() < c.keyBits / 8; ++i) key.push_back(static_cast<uint8_t>(i));
    const Bytes wrapped = Hex(c.wrapped);

    const auto unwrapped = AesKeyUnwrap(kek, wrapped);
    ASSERT_TRUE(unwrapped.has_value());
    EXPECT_EQ(ToHex(unwrapped->view()), ToHex(key));
    EXPECT_EQ(AesKeyWrap(kek, key), wrapped);

    // Any flipped bit, of the wrapped key or of the KEK, fails the integrity check.
    for (size_t bit = 0; bit < wrapped.size() * 8; bit += 7) {
      Bytes damaged = wrapped;
      damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(AesKeyUnwrap(kek, damaged).has_value()) << "bit " << bit;
    }
    Bytes otherKek = kek;
    otherKek.back() ^= 0x80;
    EXPECT_FALSE(AesKeyUnwrap(otherKek, wrapped).has_value());
  }
  // Sizes that are no key wrap.
  const Bytes kek(32, 1);
  EXPECT_FALSE(AesKeyUnwrap(kek, Bytes(16, 0)).has_value());
  EXPECT_FALSE(AesKeyUnwrap(kek, Bytes(41, 0)).has_value());
  EXPECT_FALSE(AesKeyUnwrap(Bytes(20, 0), Bytes(40, 0)).has_value());
}

// A keybag with one class record built from a public record: version*WPKY*ITER*SALT*DPIC*DPSL.
Bytes BagFromRecord(const std::string& wpky, uint32_t iter, const std::string& salt, uint32_t dpic,
                    const std::string& dpsl) {
  Bytes bag;
  auto tag = [&](const char* t, const Bytes& v) {
    bag.insert(bag.end(), t, t + 4);
    for (int s = 24; s >= 0; s -= 8) bag.push_back(static_cast<uint8_t>(v.size() >> s));
    bag.insert(bag.end(), v.begin(), v.end());
  };
  auto num = [](uint32_t v) {
    return Bytes{static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  };
  tag("VERS", num(3));
  tag("TYPE", num(1));
  tag("UUID", Bytes(16, 0xAB));
  tag("WRAP", num(0));
  tag("SALT", Hex(salt));
  tag("ITER", num(iter));
  if (dpic) {
    tag("DPWT", num(1));
    tag("DPIC", num(dpic));
    tag("DPSL", Hex(dpsl));
  }
  tag("UUID", Bytes(16, 0xCD));
  tag("CLAS", num(3));
  tag("WRAP", num(2));
  tag("KTYP", num(0));
  tag("WPKY", Hex(wpky));
  return bag;
}

TEST(Keybag, PublicRecordsUnlockWithTheirPasswordOnly) {
  struct Case {
    std::string password, wpky, salt;
    uint32_t dpic;
    std::string dpsl;
  };
  const std::vector<Case> cases = {
      {"123456", "bc707ac0151660426c8114d04caad9d9ee2678a7b7ab05c18ee50cafb2613c31c8978e8b1e9cad2a",
       "266343aaf99102ba7f6af64a3a2d62637793f753", 0, ""},
      {"test123",
       "06dc04bca4eeea2fbc1bc7356fa758243bead479673640a668db285c8f48c402cc435539d935509e",
       "37d2bd7caefbb24a9729e41a3257ef06188dc01e", 0, ""},
      {"hashcat",
       "17a3b858e79bc273be43a9f113b71efe7ec8e7e401396b350180b4592ef45db67ffef7b2d64329a5",
       "2721336781705041205314422175267631184867", 1000,
       "99fafc983e732998adb9fadc162a2e382143f115"},
      {"855632538858211",
       "31021f9c5a705c3625af21739d397082d90f7a00718a9307687625abc35fc3e4d78371e95cc708b6",
       "8840233131165307147445064802216857558435", 1000,
       "c77a159b325d10efee51a1c05701ef63fb85b599"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    Keybag bag;
    std::string error;
    ASSERT_TRUE(ParseKeybag(BagFromRecord(c.wpky, 10000, c.salt, c.dpic, c.dpsl), bag, &error))
        << error;
    EXPECT_EQ(bag.DoubleDerivation(), c.dpic != 0);
    const auto kek = DeriveKek(bag, Text(c.password));
    ASSERT_TRUE(kek.has_value());
    std::map<uint32_t, SecretBytes> keys;
    EXPECT_EQ(UnlockClassKeys(bag, *kek, keys), UnlockStatus::kOk);
    EXPECT_EQ(keys.count(3), 1u);

    const auto wrong = DeriveKek(bag, Text(c.password + "x"));
    EXPECT_EQ(UnlockClassKeys(bag, *wrong, keys), UnlockStatus::kWrongPassword);
    EXPECT_TRUE(keys.empty());
    if (c.dpic) {
      // The single derivation alone does not open a double-derivation bag.
      Keybag single = bag;
      single.dpIterations.reset();
      EXPECT_EQ(UnlockClassKeys(bag, *DeriveKek(single, Text(c.password)), keys),
                UnlockStatus::kWrongPassword);
    }
  }
}

TEST(Keybag, IntermediateValuesOfTheHashcatRecord) {
  Bytes first(32);
  ASSERT_TRUE(Pbkdf2(Pbkdf2Hash::kSha256, Text("hashcat"),
                     Hex("99fafc983e732998adb9fadc162a2e382143f115"), 1000, first));
  EXPECT_EQ(ToHex(first), "9cc8d5a8d95a97a42b32441226c36939138d7d75dd1994360161dc2aaad32a3e");
  Keybag bag;
  ASSERT_TRUE(ParseKeybag(
      BagFromRecord(
          "17a3b858e79bc273be43a9f113b71efe7ec8e7e401396b350180b4592ef45db67ffef7b2d64329a5", 10000,
          "2721336781705041205314422175267631184867", 1000,
          "99fafc983e732998adb9fadc162a2e382143f115"),
      bag));
  bool stopped = true;
  const auto kek = DeriveKekWithProgress(
      bag, Text("hashcat"), [](int) { return true; }, stopped);
  ASSERT_TRUE(kek.has_value());
  EXPECT_FALSE(stopped);
  EXPECT_EQ(ToHex(kek->view()), "ca1bdd8196307fe1e2ed421321267d96e2988bf12f736035192cfed20ec823ea");
}

// The real iOS 10.2+ record at its real cost (10,000,000 SHA-256 iterations, seconds).
TEST(Keybag, RealRecordAtRealCost) {
  Keybag bag;
  ASSERT_TRUE(ParseKeybag(
      BagFromRecord(
          "deff6d646eb1fa2b6741efee8b70eda84341a838cef2bb10e582669759d7e33c399a0ba2a52cb9ec", 10000,
          "f09cfa82cc1695657cb2c347ee127c2523795fda", 10000000,
          "66f159e15f3ddbbdd4057f8babef7ad4472fac10"),
      bag));
  std::vector<int> ticks;
  bool stopped = false;
  const auto kek = DeriveKekWithProgress(
      bag, Text("test123"),
      [&](int percent) {
        ticks.push_back(percent);
        return true;
      },
      stopped);
  ASSERT_TRUE(kek.has_value());
  EXPECT_EQ(ToHex(kek->view()), "14b002704b801f2f6afabd38cd5bee2b2a8151071f93375cc76cfc7e19539e69");
  std::map<uint32_t, SecretBytes> keys;
  ASSERT_EQ(UnlockClassKeys(bag, *kek, keys), UnlockStatus::kOk);
  EXPECT_EQ(ToHex(keys.at(3).view()),
            "c92b6a58e988a31c65fff965911147f624567facbfce602efc1a1da2374de238");
  // The estimate moves forward and never claims to be done before it is.
  ASSERT_FALSE(ticks.empty());
  EXPECT_TRUE(std::is_sorted(ticks.begin(), ticks.end()));
  EXPECT_LE(ticks.back(), 99);
}

TEST(Keybag, AbandonedDerivationReportsStopped) {
  Keybag bag;
  ASSERT_TRUE(ParseKeybag(
      BagFromRecord(
          "deff6d646eb1fa2b6741efee8b70eda84341a838cef2bb10e582669759d7e33c399a0ba2a52cb9ec", 10000,
          "f09cfa82cc1695657cb2c347ee127c2523795fda", 3000000,
          "66f159e15f3ddbbdd4057f8babef7ad4472fac10"),
      bag));
  bool stopped = false;
  const auto start = std::chrono::steady_clock::now();
  const auto kek = DeriveKekWithProgress(
      bag, Text("test123"), [](int) { return false; }, stopped);
  EXPECT_FALSE(kek.has_value());
  EXPECT_TRUE(stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(Keybag, FormatErrors) {
  const Bytes good = BagFromRecord(
      "bc707ac0151660426c8114d04caad9d9ee2678a7b7ab05c18ee50cafb2613c31c8978e8b1e9cad2a", 10000,
      "266343aaf99102ba7f6af64a3a2d62637793f753", 0, "");
  Keybag bag;
  std::string error;
  ASSERT_TRUE(ParseKeybag(good, bag, &error));
  EXPECT_EQ(bag.version, 3u);
  EXPECT_EQ(bag.type, 1u);
  EXPECT_EQ(bag.iterations, 10000u);
  ASSERT_EQ(bag.classes.size(), 1u);
  EXPECT_EQ(bag.classes[0].protectionClass, 3u);
  EXPECT_EQ(bag.classes[0].wrappedKey.size(), 40u);

  // A bag cut anywhere but between two items is refused, and no cut reads past the end.
  std::vector<size_t> boundaries;
  for (size_t at = 0; at < good.size();) {
    boundaries.push_back(at);
    at += 8 + ((size_t{good[at + 4]} << 24) | (size_t{good[at + 5]} << 16) |
               (size_t{good[at + 6]} << 8) | good[at + 7]);
  }
  for (size_t cut = 1; cut < good.size(); ++cut) {
    const Bytes shorter(good.begin(), good.begin() + static_cast<long>(cut));
    Keybag partial;
    if (std::find(boundaries.begin(), boundaries.end(), cut) == boundaries.end()) {
      EXPECT_FALSE(ParseKeybag(shorter, partial, &error)) << "cut at " << cut;
    }
  }
  Bytes cut = good;
  cut.resize(cut.size() - 1);
  EXPECT_FALSE(ParseKeybag(cut, bag, &error));
  EXPECT_NE(error.find("past the end"), std::string::npos);

  Bytes longNumber = good;  // ITER with a 5-byte value
  const Bytes iterTag = {'I', 'T', 'E', 'R', 0, 0, 0, 4};
  auto at = std::search(longNumber.begin(), longNumber.end(), iterTag.begin(), iterTag.end());
  ASSERT_NE(at, longNumber.end());
  at[7] = 5;
  longNumber.insert(at + 8, 0);
  EXPECT_FALSE(ParseKeybag(longNumber, bag, &error));
  EXPECT_NE(error.find("not 4 bytes"), std::string::npos);

  Bytes noClass = good;  // CLAS renamed to an unknown tag
  const Bytes clasTag = {'C', 'L', 'A', 'S'};
  auto clas = std::search(noClass.begin(), noClass.end(), clasTag.begin(), clasTag.end());
  ASSERT_NE(clas, noClass.end());
  clas[0] = 'X';
  EXPECT_FALSE(ParseKeybag(noClass, bag, &error));
  EXPECT_NE(error.find("without CLAS"), std::string::npos);
}

TEST(FileDecryption, PublishedFileVector) {
  const Bytes blob = Hex(
      "0200000097317494343807e690fd1e431413963dc0e3deb4907fb89fa36ce65126d0ea1301381fb3a2941e2f");
  const Bytes classKey(32, 0);
  const auto fileKey = AesKeyUnwrap(classKey, ByteView(blob).subspan(4));
  ASSERT_TRUE(fileKey.has_value());
  Bytes plain;
  CbcEnding ending;
  ASSERT_TRUE(
      AesCbcDecryptAll(fileKey->view(), Hex("78b51ca5374c3ad575174288688cda49"), plain, ending));
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "Test data");
  EXPECT_FALSE(ending.badPadding);
  EXPECT_FALSE(ending.truncated);
  EXPECT_EQ(Sha1Hex("HomeDomain-Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
}

Bytes Encrypt(const Bytes& key, const Bytes& plain, bool pad) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const uint8_t iv[16] = {};
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv);
  EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
  Bytes out(plain.size() + 16);
  int n = 0, m = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

// Stream decryption in pieces of every awkward size gives back exactly the plaintext; damage
// keeps every decrypted byte.
TEST(FileDecryption, StreamedInPiecesAndDamaged) {
  const Bytes key(32, 0x5A);
  for (size_t size : {0, 1, 15, 16, 17, 31, 32, 4096, 70000}) {
    Bytes plain(size);
    for (size_t i = 0; i < size; ++i) plain[i] = static_cast<uint8_t>(i * 7 + 3);
    const Bytes cipher = Encrypt(key, plain, true);
    ASSERT_EQ(cipher.size(), 16 * (size / 16 + 1));
    for (size_t piece : {1, 5, 16, 17, 4096}) {
      SCOPED_TRACE(std::to_string(size) + " in pieces of " + std::to_string(piece));
      CbcStreamDecryptor decryptor;
      ASSERT_TRUE(decryptor.Start(key));
      Bytes out;
      for (size_t at = 0; at < cipher.size(); at += piece) {
        ASSERT_TRUE(decryptor.Update(
            ByteView(cipher).subspan(at, std::min(piece, cipher.size() - at)), out));
      }
      CbcEnding ending;
      decryptor.Finish(out, ending);
      EXPECT_EQ(out, plain);
      EXPECT_FALSE(ending.badPadding || ending.truncated);
      EXPECT_EQ(ending.plainBytes, size);
    }
  }

  Bytes plain(100, 'a');
  // Bad padding: all 112 decrypted bytes stay.
  Bytes cipher = Encrypt(key, Bytes(112, 'a'), false);
  Bytes out;
  CbcEnding ending;
  AesCbcDecryptAll(key, cipher, out, ending);
  EXPECT_TRUE(ending.badPadding);
  EXPECT_EQ(out, Bytes(112, 'a'));
  // Truncated inside a block: every whole block stays, unpadded.
  cipher = Encrypt(key, plain, true);
  cipher.resize(cipher.size() - 5);
  AesCbcDecryptAll(key, cipher, out, ending);
  EXPECT_TRUE(ending.truncated);
  EXPECT_EQ(out, Bytes(96, 'a'));
  // No ciphertext at all: an empty file, not a damaged one.
  AesCbcDecryptAll(key, {}, out, ending);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ending.badPadding || ending.truncated);
}

}  // namespace
}  // namespace halvern
