// libcrypto as the Windows build links it (static, built from Debian's source): a
// SHA-256 through EVP, whose default provider is found inside the program.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>

#include <string>

namespace {

std::string Hex(const unsigned char* d, unsigned n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += kDigits[d[i] >> 4];
    s += kDigits[d[i] & 15];
  }
  return s;
}

// The SHA-256 of `text` fed to EVP in pieces of `piece` bytes.
std::string Sha256(const std::string& text, size_t piece) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EXPECT_NE(ctx, nullptr);
  EXPECT_EQ(EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr), 1);
  for (size_t at = 0; at < text.size(); at += piece)
    EXPECT_EQ(EVP_DigestUpdate(ctx, text.data() + at, std::min(piece, text.size() - at)), 1);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EXPECT_EQ(EVP_DigestFinal_ex(ctx, digest, &n), 1);
  EVP_MD_CTX_free(ctx);
  return Hex(digest, n);
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha256("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256(std::string(1000000, 'a'), 4096),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, FetchedByNameFromTheDefaultProvider) {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  ASSERT_EQ(EVP_Digest("abc", 3, digest, &n, md, nullptr), 1);
  EXPECT_EQ(Hex(digest, n), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EVP_MD_free(md);
}

}  // namespace
