// Which library context the rule-set ciphers come from. This program's first
// OpenSSL work is a decryption with a legacy cipher, the case where loading legacy
// into the default context would keep the default provider out: afterwards the
// default context must still give SHA-256, and must have no legacy provider. One
// test only, so that nothing runs before it in this process.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ac/ruleset_reader.h"
#include "platform/digest.h"

namespace {

using namespace acdc;

std::string FromHex(const char* hex) {
  std::string out;
  for (const char* p = hex; p[0] != '\0' && p[1] != '\0'; p += 2) out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  return out;
}

TEST(CipherProviders, ALegacyCipherFirstLeavesTheDefaultContextAsItWas) {
  // "rule set\n" enciphered with bf-cbc, key 00112233445566778899aabbccddeeff, IV 0001020304050607.
  std::string key = FromHex("00112233445566778899aabbccddeeff"), iv = FromHex("0001020304050607");
  std::string file = FromHex("be2a4d7b91457d6356191c7cbaf58dd6");
  ac::RulesetOptions o{};
  o.encalg = "bf-cbc";
  o.encalg_len = 6;
  o.key = key.data();
  o.key_len = key.size();
  o.iv = iv.data();
  o.iv_len = iv.size();
  ac::RulesetText text{};
  ac::RulesetResult result;
  ac::ReadRulesetBio(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())), o, &text, &result);
  EXPECT_EQ(result.status, ac::RulesetStatus::kOk);
  EXPECT_EQ(std::string(text.data, text.size), "rule set\n");
  std::free(text.data);

  EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
  EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "bf-cbc", nullptr);
  EXPECT_EQ(bf, nullptr) << "a legacy cipher fetched from the default context";
  EVP_CIPHER_free(bf);

  void* ctx = platform::OsNewDigestContext();
  ASSERT_NE(ctx, nullptr);
  uint8_t digest[platform::kSha256Bytes];
  uint32_t len = 0;
  ASSERT_TRUE(platform::OsSha256(ctx, "abc", 3, digest, &len));
  platform::OsFreeDigestContext(ctx);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), len),
            FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

}  // namespace
