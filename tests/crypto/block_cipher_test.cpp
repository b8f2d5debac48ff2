// Known-answer vectors from the ciphers' published test sets, key fitting and key text parsing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto/BlockCipher.h"
#include "platform/crypto/HexKey.h"

namespace qorvin {
namespace {

std::vector<uint8_t> Hex(std::string_view text) {
  return HexKeyBytes(text);
}

// Encrypts one block with a zero chaining value (CBC over one block is the bare cipher).
std::vector<uint8_t> EncryptBlock(CipherAlgorithm algorithm, std::string_view key,
                                  std::string_view plain) {
  TBlockCipher cipher(algorithm, Hex(key));
  std::vector<uint8_t> block = Hex(plain);
  cipher.EncryptBlocks(block);
  return block;
}

struct Vector {
  CipherAlgorithm algorithm;
  const char* key;
  const char* plain;
  const char* cipher;
};

TEST(BlockCipher, KnownAnswerVectors) {
  const Vector vectors[] = {
      // AES, FIPS-197 appendix C (128, 192, 256-bit keys).
      {CipherAlgorithm::AES, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {CipherAlgorithm::AES, "000102030405060708090a0b0c0d0e0f1011121314151617",
       "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {CipherAlgorithm::AES, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      // Blowfish, the author's published vectors (8-byte keys and a 1-byte key).
      {CipherAlgorithm::Blowfish, "0000000000000000", "0000000000000000", "4ef997456198dd78"},
      {CipherAlgorithm::Blowfish, "ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
      {CipherAlgorithm::Blowfish, "f0", "fedcba9876543210", "f9ad597c49db005e"},
      // Twofish, the submission's tables (all-zero 128- and 256-bit keys, zero block).
      {CipherAlgorithm::Twofish, "00000000000000000000000000000000",
       "00000000000000000000000000000000", "9f589f5cf6122c32b6bfec2f2ae8c35a"},
      {CipherAlgorithm::Twofish, "0000000000000000000000000000000000000000000000000000000000000000",
       "00000000000000000000000000000000", "57ff739d4dc92c1bd7fc01700cc8216f"},
      // Triple DES with K1 = K2 = K3 is single DES: the classic worked DES example.
      {CipherAlgorithm::TripleDES, "133457799bbcdff1133457799bbcdff1133457799bbcdff1",
       "0123456789abcdef", "85e813540f0ab405"},
      // Triple DES with three distinct keys (NIST SP 800-67 example).
      {CipherAlgorithm::TripleDES, "0123456789abcdef23456789abcdef01456789abcdef0123",
       "5468652071756663", "a826fd8ce53b855f"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.key);
    EXPECT_EQ(EncryptBlock(v.algorithm, v.key, v.plain), Hex(v.cipher));
    TBlockCipher cipher(v.algorithm, Hex(v.key));
    std::vector<uint8_t> block = Hex(v.cipher);
    cipher.DecryptBlocks(block);
    EXPECT_EQ(block, Hex(v.plain));
  }
}

TEST(BlockCipher, ChainsAcrossCallsInCbcMode) {
  // NIST SP 800-38A F.2.1 (CBC-AES128), the two blocks given in two separate calls.
  TBlockCipher cipher(CipherAlgorithm::AES, Hex("2b7e151628aed2a6abf7158809cf4f3c"));
  cipher.SetIV(Hex("000102030405060708090a0b0c0d0e0f"));
  std::vector<uint8_t> first = Hex("6bc1bee22e409f96e93d7e117393172a");
  std::vector<uint8_t> second = Hex("ae2d8a571e03ac9c9eb76fac45af8e51");
  cipher.EncryptBlocks(first);
  cipher.EncryptBlocks(second);
  EXPECT_EQ(first, Hex("7649abac8119b246cee98e9b12e9197d"));
  EXPECT_EQ(second, Hex("5086cb9b507219ee95db113a917678b2"));

  cipher.SetIV(Hex("000102030405060708090a0b0c0d0e0f"));
  cipher.DecryptBlocks(first);
  cipher.DecryptBlocks(second);
  EXPECT_EQ(first, Hex("6bc1bee22e409f96e93d7e117393172a"));
  EXPECT_EQ(second, Hex("ae2d8a571e03ac9c9eb76fac45af8e51"));
}

TEST(BlockCipher, KeysAreCutToTheLargestSizeAndZeroExtendedToTheNextAccepted) {
  const std::string k40 =
      "00112233445566778899aabbccddeeff0011223344556677"
      "8899aabbccddeeff0123456789abcdef";  // 40 bytes
  const std::string plain16 = "00112233445566778899aabbccddeeff";
  // AES: 40 bytes use the first 32; 20 bytes become AES-192 with four zero bytes.
  EXPECT_EQ(EncryptBlock(CipherAlgorithm::AES, k40, plain16),
            EncryptBlock(CipherAlgorithm::AES, k40.substr(0, 64), plain16));
  EXPECT_EQ(EncryptBlock(CipherAlgorithm::AES, k40.substr(0, 40), plain16),
            EncryptBlock(CipherAlgorithm::AES, k40.substr(0, 40) + "00000000", plain16));
  EXPECT_NE(EncryptBlock(CipherAlgorithm::AES, k40.substr(0, 40), plain16),
            EncryptBlock(CipherAlgorithm::AES, k40.substr(0, 32), plain16));
  // Twofish: 24 bytes run as the 32-byte key with eight zero bytes.
  EXPECT_EQ(
      EncryptBlock(CipherAlgorithm::Twofish, k40.substr(0, 48), plain16),
      EncryptBlock(CipherAlgorithm::Twofish, k40.substr(0, 48) + std::string(16, '0'), plain16));
  // Blowfish uses up to 56 bytes as given.
  const std::string k60 = k40 + k40.substr(0, 40);
  EXPECT_EQ(EncryptBlock(CipherAlgorithm::Blowfish, k60, "0011223344556677"),
            EncryptBlock(CipherAlgorithm::Blowfish, k60.substr(0, 112), "0011223344556677"));
  EXPECT_NE(EncryptBlock(CipherAlgorithm::Blowfish, k60.substr(0, 112), "0011223344556677"),
            EncryptBlock(CipherAlgorithm::Blowfish, k60.substr(0, 110), "0011223344556677"));
  // Triple DES: 30 bytes use the first 24.
  EXPECT_EQ(EncryptBlock(CipherAlgorithm::TripleDES, k40.substr(0, 60), "0011223344556677"),
            EncryptBlock(CipherAlgorithm::TripleDES, k40.substr(0, 48), "0011223344556677"));
}

TEST(BlockCipher, RefusesUnusableKeysAndPartialBlocks) {
  EXPECT_THROW(TBlockCipher(CipherAlgorithm::AES, {}), ECipherError);
  // An 8-byte triple DES key is zero-extended: its second and third keys are weak.
  try {
    TBlockCipher cipher(CipherAlgorithm::TripleDES, Hex("0123456789abcdef"));
    FAIL() << "weak key accepted";
  } catch (const ECipherError& e) {
    EXPECT_NE(std::string(e.what()).find("Weak"), std::string::npos) << e.what();
  }
  TBlockCipher cipher(CipherAlgorithm::Blowfish, Hex("0011"));
  std::vector<uint8_t> partial(12);
  EXPECT_THROW(cipher.EncryptBlocks(partial), ECipherError);
  EXPECT_THROW(cipher.DecryptBlocks(partial), ECipherError);
  EXPECT_THROW(cipher.SetIV(Hex("00112233445566778899aabbccddeeff")), ECipherError);
}

TEST(HexKey, ConvertsPairsOfDigitsAndRejectsOtherCharacters) {
  EXPECT_EQ(HexKeyBytes("0aFf10"), (std::vector<uint8_t>{0x0a, 0xff, 0x10}));
  EXPECT_EQ(HexKeyBytes("abc"), (std::vector<uint8_t>{0xab}));  // the lone last digit is dropped
  EXPECT_TRUE(HexKeyBytes("").empty());
  try {
    HexKeyBytes("12G4");
    FAIL() << "invalid digit accepted";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(),
                 "Encryption key is not hexadecimal text: character 3 is not a hexadecimal digit");
  }
  EXPECT_THROW(HexKeyBytes("12 4"), EConvertError);
  EXPECT_THROW(HexKeyBytes("123x"), EConvertError);  // even in the dropped last digit
}

}  // namespace
}  // namespace qorvin
