// The cipher text form: IV in front, PKCS #7 padding, pieces, and how damage is detected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto/CbcStream.h"
#include "platform/crypto/HexKey.h"
#include "platform/rtl/Stream.h"

namespace qorvin {
namespace {

const CipherAlgorithm kAll[] = {CipherAlgorithm::TripleDES, CipherAlgorithm::Blowfish,
                                CipherAlgorithm::Twofish, CipherAlgorithm::AES};
const std::vector<uint8_t> kKey =
    HexKeyBytes("00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210");

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + i / 7) & 0xff);
  return s;
}

std::string Encrypt(CipherAlgorithm algorithm, const std::vector<uint8_t>& key,
                    const std::string& plain) {
  TBlockCipher cipher(algorithm, key);
  TMemoryStream in, out;
  in.WriteBytes(plain);
  in.SetPosition(0);
  CbcEncryptStream(cipher, in, in.Size(), out);
  return std::string(out.View());
}

std::string Decrypt(CipherAlgorithm algorithm, const std::vector<uint8_t>& key,
                    const std::string& text) {
  TBlockCipher cipher(algorithm, key);
  TMemoryStream in, out;
  in.WriteBytes(text);
  in.SetPosition(0);
  CbcDecryptStream(cipher, in, in.Size(), out);
  return std::string(out.View());
}

TEST(CbcStream, RoundTripsEverySizeAroundBlockAndPieceBoundaries) {
  for (CipherAlgorithm algorithm : kAll) {
    const size_t b = CipherBlockSize(algorithm);
    for (size_t n : {size_t(0), size_t(1), b - 1, b, b + 1, size_t(65535), size_t(65536),
                     size_t(65537), size_t(200003)}) {
      SCOPED_TRACE(testing::Message() << "block " << b << " size " << n);
      const std::string plain = Pattern(n);
      const std::string text = Encrypt(algorithm, kKey, plain);
      EXPECT_EQ(text.size(), b + (n / b + 1) * b);
      EXPECT_EQ(Decrypt(algorithm, kKey, text), plain);
    }
  }
}

TEST(CbcStream, LayoutIsRandomIvThenCbcOfTextAndPadding) {
  for (CipherAlgorithm algorithm : kAll) {
    const size_t b = CipherBlockSize(algorithm);
    const std::string plain = Pattern(2 * b + 3);
    const std::string text = Encrypt(algorithm, kKey, plain);
    // Decrypt by hand: the first block is the IV, the rest plain CBC.
    TBlockCipher cipher(algorithm, kKey);
    cipher.SetIV(std::vector<uint8_t>(text.begin(), text.begin() + b));
    std::vector<uint8_t> body(text.begin() + b, text.end());
    cipher.DecryptBlocks(body);
    std::string expected = plain + std::string(b - 3, char(b - 3));
    EXPECT_EQ(std::string(body.begin(), body.end()), expected);
    // A fresh IV every time: the same text never encrypts the same way twice.
    EXPECT_NE(Encrypt(algorithm, kKey, plain).substr(0, b), text.substr(0, b));
  }
}

TEST(CbcStream, WrongKeyNeverYieldsTheText) {
  std::vector<uint8_t> other = kKey;
  other[0] ^= 0x80;  // not bit 0: DES ignores the lowest bit of every key byte (parity)
  for (CipherAlgorithm algorithm : kAll) {
    const std::string plain = Pattern(1000);
    const std::string text = Encrypt(algorithm, kKey, plain);
    try {
      EXPECT_TRUE(Decrypt(algorithm, other, text) != plain);
    } catch (const ECipherError& e) {
      EXPECT_STREQ(e.what(), "Decryption failed: wrong key or corrupt data");
    }
  }
}

TEST(CbcStream, RejectsCutShortAndBadlyPaddedTexts) {
  const CipherAlgorithm aes = CipherAlgorithm::AES;
  const std::string text = Encrypt(aes, kKey, Pattern(40));  // IV + 3 blocks
  ASSERT_EQ(text.size(), 64u);
  EXPECT_THROW(Decrypt(aes, kKey, text.substr(0, 63)), ECipherError);
  EXPECT_THROW(Decrypt(aes, kKey, text.substr(0, 16)), ECipherError);  // IV only
  EXPECT_THROW(Decrypt(aes, kKey, ""), ECipherError);

  // Texts whose last block decrypts to chosen bytes: zero IV, one block encrypted by hand.
  auto withLastBlock = [&](std::vector<uint8_t> last) {
    TBlockCipher cipher(aes, kKey);
    cipher.EncryptBlocks(last);
    return std::string(16, '\0') + std::string(last.begin(), last.end());
  };
  std::vector<uint8_t> good(16, 0x41);
  good[15] = 2;
  good[14] = 2;
  EXPECT_EQ(Decrypt(aes, kKey, withLastBlock(good)), std::string(14, 'A'));
  std::vector<uint8_t> zeroPad(16, 0);
  EXPECT_THROW(Decrypt(aes, kKey, withLastBlock(zeroPad)), ECipherError);
  std::vector<uint8_t> tooLong(16, 17);
  EXPECT_THROW(Decrypt(aes, kKey, withLastBlock(tooLong)), ECipherError);
  std::vector<uint8_t> mismatch(16, 3);
  mismatch[13] = 4;
  EXPECT_THROW(Decrypt(aes, kKey, withLastBlock(mismatch)), ECipherError);
}

TEST(CbcStream, EncryptFailsWhenTheSourceHoldsFewerBytes) {
  TBlockCipher cipher(CipherAlgorithm::Blowfish, kKey);
  TMemoryStream in, out;
  in.WriteBytes("short");
  in.SetPosition(0);
  EXPECT_THROW(CbcEncryptStream(cipher, in, 6, out), EReadError);
}

}  // namespace
}  // namespace qorvin
