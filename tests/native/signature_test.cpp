// The posix signature backend piece by piece: the PE layout and the certificate
// table, the image digest, DER object identifiers, names in Windows' X.500 form, the
// Base64 text of a certificate, the publisher information, serial numbers, the
// signer's record, and the chain, time and usage judgements.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/authenticode.h"
#include "platform/posix/der.h"
#include "platform/posix/pe_image.h"
#include "platform/posix/signed_image.h"
#include "platform/posix/trust_rules.h"
#include "platform/posix/x500_name.h"

namespace {

namespace platform = acdc::platform;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A PE image of `size` bytes: e_lfanew 0x80, optional header of `magic` with
// `directories` entries, the security entry pointing at `table_offset`/`table_size`.
struct PeSpec {
  uint16_t magic = 0x20B;
  uint32_t directories = 16;
  uint32_t table_offset = 0;
  uint32_t table_size = 0;
  size_t size = 0x400;
};
Bytes MakePe(const PeSpec& s) {
  Bytes b(s.size, 0x11);
  b[0] = 'M', b[1] = 'Z';
  Put32(&b, 0x3C, 0x80);
  std::memcpy(&b[0x80], "PE\0\0", 4);
  bool plus = s.magic == 0x20B;
  uint16_t optional_size = static_cast<uint16_t>((plus ? 112 : 96) + 8 * s.directories);
  Put16(&b, 0x80 + 20, optional_size);
  size_t optional = 0x80 + 24;
  Put16(&b, optional, s.magic);
  Put32(&b, optional + (plus ? 108 : 92), s.directories);
  size_t entry = optional + (plus ? 112 : 96) + 32;
  if (s.directories > 4) {
    Put32(&b, entry, s.table_offset);
    Put32(&b, entry + 4, s.table_size);
  }
  return b;
}

platform::PeForm Layout(const Bytes& image, platform::PeLayout* layout) {
  platform::MemoryBytes bytes{image.data(), image.size()};
  return platform::ReadPeLayout(platform::MemorySource(&bytes), layout);
}

TEST(PeLayout, FindsTheChecksumTheSecurityEntryAndTheTableOfBothKinds) {
  for (uint16_t magic : {0x20B, 0x10B}) {
    platform::PeLayout layout;
    ASSERT_EQ(platform::PeForm::kPe, Layout(MakePe({magic, 16, 0x300, 0x100}), &layout)) << magic;
    EXPECT_EQ(0x80u + 24 + 64, layout.checksum_offset);
    EXPECT_EQ(0x80u + 24 + (magic == 0x20B ? 112 : 96) + 32, layout.security_entry_offset);
    EXPECT_EQ(0x300u, layout.table_offset);
    EXPECT_EQ(0x100u, layout.table_size);
  }
}

TEST(PeLayout, TellsImagesWithoutATableFromOtherFilesAndFromCutOnes) {
  platform::PeLayout layout;
  ASSERT_EQ(platform::PeForm::kPe, Layout(MakePe({}), &layout));
  EXPECT_EQ(0u, layout.table_offset);  // an empty entry
  ASSERT_EQ(platform::PeForm::kPe, Layout(MakePe({0x20B, 4}), &layout));  // no security entry at all
  EXPECT_EQ(0u, layout.security_entry_offset);

  Bytes dos = MakePe({}), unknown = MakePe({});
  dos[0x80] = 'N';  // a DOS program: MZ, but no PE signature where e_lfanew points
  Put16(&unknown, 0x80 + 24, 0x107);
  for (const Bytes& other : {Bytes(200, 'x'), Bytes{'M'}, dos, unknown}) {
    EXPECT_EQ(platform::PeForm::kNotPe, Layout(other, &layout)) << other.size();
  }
  Bytes image = MakePe({});
  for (size_t cut : {size_t{40}, size_t{100}, size_t{0x80 + 24}, size_t{0x80 + 24 + 100}, size_t{0x80 + 24 + 140}}) {
    EXPECT_EQ(platform::PeForm::kTruncated, Layout(Bytes(image.begin(), image.begin() + cut), &layout)) << cut;
  }
}

TEST(CertificateTable, TakesTheFirstEntryOfPkcs7SignedData) {
  Bytes table(24, 0);
  const uint8_t* der = nullptr;
  size_t size = 0;
  // Length, revision and type of the entry; 0x0100 and 0x0200 are both revisions in use.
  struct Case {
    uint32_t length;
    uint16_t revision, type;
    bool taken;
  } cases[] = {{20, 0x0200, 2, true}, {20, 0x0100, 2, true}, {7, 0x0200, 2, false},
               {25, 0x0200, 2, false}, {20, 0x0300, 2, false}, {20, 0x0200, 1, false}};
  for (const Case& c : cases) {
    Put32(&table, 0, c.length);
    Put16(&table, 4, c.revision);
    Put16(&table, 6, c.type);
    EXPECT_EQ(c.taken, platform::FirstCertificate(table.data(), table.size(), &der, &size)) << c.length;
    if (c.taken) {
      EXPECT_TRUE(der == table.data() + 8 && size == 12u);
    }
  }
  EXPECT_FALSE(platform::FirstCertificate(table.data(), 7, &der, &size));
}

TEST(ImageDigest, LeavesOutTheChecksumTheEntryAndTheTable) {
  Bytes image = MakePe({0x20B, 16, 0x300, 0x80});  // 0x80 bytes after the table, hashed too
  for (size_t i = 0x200; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  platform::PeLayout layout;
  ASSERT_EQ(platform::PeForm::kPe, Layout(image, &layout));
  Bytes kept;
  for (size_t i = 0; i < image.size(); ++i) {
    bool hole = (i >= layout.checksum_offset && i < layout.checksum_offset + 4) ||
                (i >= layout.security_entry_offset && i < layout.security_entry_offset + 8) ||
                (i >= 0x300 && i < 0x380);
    if (!hole) kept.push_back(image[i]);
  }
  uint8_t want[EVP_MAX_MD_SIZE], got[EVP_MAX_MD_SIZE];
  unsigned want_size = 0, got_size = 0;
  ASSERT_EQ(1, EVP_Digest(kept.data(), kept.size(), want, &want_size, EVP_sha256(), nullptr));
  platform::MemoryBytes bytes{image.data(), image.size()};
  auto same = [&] {
    EXPECT_TRUE(platform::ImageDigest(platform::MemorySource(&bytes), layout, EVP_sha256(), got, &got_size));
    return got_size == want_size && std::memcmp(want, got, got_size) == 0;
  };
  EXPECT_TRUE(same());
  // Changing a byte inside a hole leaves the digest; outside one changes it.
  image[layout.checksum_offset + 1] ^= 0xFF;
  image[0x310] ^= 0xFF;
  EXPECT_TRUE(same());
  image[0x3F0] ^= 0xFF;
  EXPECT_FALSE(same());
  // A table that overlaps the headers is no layout to hash.
  layout.table_offset = 0x20;
  EXPECT_FALSE(platform::ImageDigest(platform::MemorySource(&bytes), layout, EVP_sha256(), got, &got_size));
}

TEST(ImageSignature, SaysWhyThereIsNoSignatureToRead) {
  platform::PeLayout layout;
  PKCS7* p7 = nullptr;
  auto read = [&](const Bytes& image) {
    platform::MemoryBytes bytes{image.data(), image.size()};
    return platform::ReadImageSignature(platform::MemorySource(&bytes), &layout, &p7);
  };
  EXPECT_EQ(platform::ImageSignature::kNoSignature, read(MakePe({})));
  PeSpec spec{0x20B, 16, 0x380, 0x100};
  EXPECT_EQ(platform::ImageSignature::kTableCut, read(MakePe(spec)));
  spec.table_size = 0x80;  // an entry of 0x11 bytes throughout: no PKCS#7
  EXPECT_EQ(platform::ImageSignature::kUnreadable, read(MakePe(spec)));
  Bytes garbage = MakePe(spec);  // a well-formed entry around bytes that are no DER
  Put32(&garbage, 0x380, 0x80);
  Put16(&garbage, 0x384, 0x0200);
  Put16(&garbage, 0x386, 0x0002);
  EXPECT_EQ(platform::ImageSignature::kUnreadable, read(garbage));
  EXPECT_EQ(platform::ImageSignature::kNotPe, read(Bytes(100, 0)));
  EXPECT_EQ(platform::ImageSignature::kHeadersCut, read(Bytes(garbage.begin(), garbage.begin() + 0x90)));
  EXPECT_EQ(nullptr, p7);
}

TEST(Der, WritesObjectIdentifiersAndRefusesWhatIsNotDer) {
  struct Case {
    Bytes content;
    const char* text;  // nullptr: refused
  } cases[] = {
      {{0x55, 0x04, 0x03}, "2.5.4.3"},
      {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, "1.2.840.113549.1.9.1"},
      {{0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}, "0.9.2342.19200300.100.1.25"},
      {{0x88, 0x37, 0x03}, "2.999.3"},
      {{0x55, 0x84}, nullptr},                          // unfinished
      {{0x55, 0x80, 0x01}, nullptr},                    // padded
      {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D}, nullptr},  // "1.2.840.113549": too long for 8
  };
  for (const Case& c : cases) {
    char out[64];
    size_t room = c.text != nullptr ? sizeof out : 8;
    ASSERT_EQ(c.text != nullptr, platform::der::OidToText(c.content.data(), c.content.size(), out, room)) << c.content.size();
    if (c.text != nullptr) {
      EXPECT_STREQ(c.text, out);
    }
  }

  platform::der::Element e;
  auto next = [&](Bytes b) { return platform::der::Reader(b.data(), b.size()).Next(&e); };
  EXPECT_EQ(platform::der::Status::kTruncated, next({0x30, 0x05, 0x01}));       // past the end
  EXPECT_EQ(platform::der::Status::kCorrupt, next({0x30, 0x80, 0x00, 0x00}));   // indefinite length
  EXPECT_EQ(platform::der::Status::kCorrupt, next({0x1F, 0x81, 0x00}));        // high tag number
  ASSERT_EQ(platform::der::Status::kOk, next({0x04, 0x81, 0x02, 0xAA, 0xBB}));  // long form
  EXPECT_EQ(2u, e.content_size);
  EXPECT_EQ(5u, e.encoded_size);
}

// ---- Names ----

// One attribute of a name: its type (a short name or a dotted OID), the universal tag
// of its value and the value's bytes, and whether it opens a new RDN.
struct Entry {
  const char* field;
  uint8_t tag;
  std::string value;
  bool joins = false;  // a further value of the RDN before it
};

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    for (uint8_t b : {size_t{0x82}, content.size() >> 8, content.size() & 0xFF}) out.push_back(b);
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// The name's DER, built here byte by byte so that any value can be tried.
Bytes NameDer(const std::vector<Entry>& entries) {
  std::vector<Bytes> rdns;
  for (const Entry& e : entries) {
    ASN1_OBJECT* obj = OBJ_txt2obj(e.field, 0);
    EXPECT_NE(nullptr, obj) << e.field;
    unsigned char* oid = nullptr;
    int n = i2d_ASN1_OBJECT(obj, &oid);
    Bytes ava = Tlv(0x30, Concat(Bytes(oid, oid + n), Tlv(e.tag, Bytes(e.value.begin(), e.value.end()))));
    OPENSSL_free(oid);
    ASN1_OBJECT_free(obj);
    if (e.joins && !rdns.empty()) {
      rdns.back().insert(rdns.back().end(), ava.begin(), ava.end());
    } else {
      rdns.push_back(ava);
    }
  }
  Bytes all;
  for (const Bytes& r : rdns) {
    Bytes set = Tlv(0x31, r);
    all.insert(all.end(), set.begin(), set.end());
  }
  return Tlv(0x30, all);
}

std::u16string Render(const std::vector<Entry>& entries) {
  Bytes der = NameDer(entries);
  size_t units = platform::X500NameToString(der.data(), der.size(), nullptr, 0);
  std::u16string out(units, u'?');
  EXPECT_EQ(units, platform::X500NameToString(der.data(), der.size(), out.data(), out.size()));
  EXPECT_EQ(u'\0', out.back());
  out.pop_back();
  return out;
}

constexpr uint8_t kUtf8 = 0x0C, kPrintable = 0x13, kT61 = 0x14, kIa5 = 0x16, kUniversal = 0x1C, kBmp = 0x1E;

TEST(X500Name, UsesWindowsKeysSeparatorsAndEncodedOrder) {
  EXPECT_EQ(u"C=US, S=Oregon, L=Portland, O=Org, OU=Unit, CN=Name, E=a@b.test",
            Render({{"C", kPrintable, "US"}, {"ST", kUtf8, "Oregon"}, {"L", kUtf8, "Portland"}, {"O", kUtf8, "Org"},
                    {"OU", kUtf8, "Unit"}, {"CN", kUtf8, "Name"}, {"emailAddress", kIa5, "a@b.test"}}));
  EXPECT_EQ(u"STREET=Main 1, T=Dr, G=Ann, I=AB, SN=Lee, DC=test, SERIALNUMBER=42, OID.1.2.3.4=x",
            Render({{"street", kUtf8, "Main 1"}, {"title", kUtf8, "Dr"}, {"GN", kUtf8, "Ann"},
                    {"initials", kUtf8, "AB"}, {"SN", kUtf8, "Lee"}, {"DC", kIa5, "test"},
                    {"serialNumber", kPrintable, "42"}, {"1.2.3.4", kUtf8, "x"}}));
  EXPECT_EQ(u"CN=x, OU=One + OU=Two + O=y",
            Render({{"CN", kUtf8, "x"}, {"OU", kUtf8, "One"}, {"OU", kUtf8, "Two", true}, {"O", kUtf8, "y", true}}));
  EXPECT_EQ(u"Description=d, PostalCode=1, dnQualifier=q",
            Render({{"description", kUtf8, "d"}, {"postalCode", kUtf8, "1"}, {"dnQualifier", kPrintable, "q"}}));
}

TEST(X500Name, QuotesValuesAsWindowsDoes) {
  for (const char* value : {"a,b", "a+b", "a=b", "a<b", "a>b", "a#b", "a;b", "a\nb", "a\rb", " lead", "trail ", "\ttab", ""}) {
    std::string v(value);
    EXPECT_EQ(u"CN=\"" + std::u16string(v.begin(), v.end()) + u"\"", Render({{"CN", kUtf8, v}})) << value;
  }
  EXPECT_EQ(u"CN=\"say \"\"hi\"\"\"", Render({{"CN", kUtf8, "say \"hi\""}}));
  EXPECT_EQ(u"CN=in  side", Render({{"CN", kUtf8, "in  side"}}));
  EXPECT_EQ(u"CN=a/b\\c", Render({{"CN", kUtf8, "a/b\\c"}}));
}

TEST(X500Name, DecodesEachStringTypeAndWritesOthersInHex) {
  EXPECT_EQ(u"CN=\u00e9\u20ac\U0001F600", Render({{"CN", kUtf8, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}}));
  EXPECT_EQ(u"CN=\u00fc\U0001F600", Render({{"CN", kBmp, std::string("\x00\xFC\xD8\x3D\xDE\x00", 6)}}));
  EXPECT_EQ(u"CN=\U0001F600", Render({{"CN", kUniversal, std::string("\x00\x01\xF6\x00", 4)}}));
  // T61String: UTF-8 when it reads as UTF-8, Latin-1 otherwise.
  EXPECT_EQ(u"CN=\u00e9", Render({{"CN", kT61, "\xC3\xA9"}}));
  EXPECT_EQ(u"CN=\u00c3x", Render({{"CN", kT61, "\xC3x"}}));
  EXPECT_EQ(u"CN=\ufffdx", Render({{"CN", kUtf8, "\xC3x"}}));
  EXPECT_EQ(u"C=\u00e9", Render({{"C", kPrintable, "\xE9"}}));
  EXPECT_EQ(u"OID.1.2.3.4=#0AFF", Render({{"1.2.3.4", 0x04, "\x0A\xFF"}}));
  EXPECT_EQ(u"OID.1.2.3.4=#020105", Render({{"1.2.3.4", 0x02, "\x05"}}));
}

TEST(X500Name, CutsToTheBufferAndCountsTheWhole) {
  const uint8_t der[] = {0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x00};
  char16_t out[8];
  EXPECT_EQ(6u, platform::X500NameToString(der, sizeof der, out, sizeof out / 2));  // CN="" and the NUL
  EXPECT_EQ(std::u16string(u"CN=\"\""), std::u16string(out));
  EXPECT_EQ(6u, platform::X500NameToString(der, sizeof der, out, 4));
  EXPECT_EQ(std::u16string(u"CN="), std::u16string(out));
  EXPECT_EQ(1u, platform::X500NameToString(der, 5, out, 8));  // cut short: nothing read
  EXPECT_EQ(u'\0', out[0]);
}

// ---- Base64 ----

TEST(Base64Header, MatchesOpenSslsBase64In64ColumnLinesWithCrLf) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{47}, size_t{48}, size_t{49}, size_t{500}}) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    std::string plain(4 * ((n + 2) / 3) + 1, '\0');
    plain.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(plain.data()), data.data(),
                                                     static_cast<int>(n))));
    std::string want = "-----BEGIN CERTIFICATE-----\r\n";
    for (size_t i = 0; i < plain.size(); i += 64) want += plain.substr(i, 64) + "\r\n";
    want += "-----END CERTIFICATE-----\r\n";
    std::vector<char16_t> out(2 * n + 64);
    uint32_t units = static_cast<uint32_t>(out.size());
    ASSERT_EQ(platform::kErrorSuccess,
              platform::CryptBinaryToBase64Header(data.data(), static_cast<uint32_t>(n), out.data(), &units));
    EXPECT_EQ(want, std::string(out.begin(), out.begin() + units)) << n;
    EXPECT_EQ(u'\0', out[units]);
    uint32_t short_units = units;  // no room for the NUL
    EXPECT_EQ(platform::kErrorMoreData,
              platform::CryptBinaryToBase64Header(data.data(), static_cast<uint32_t>(n), out.data(), &short_units));
    EXPECT_EQ(units + 1, short_units);
  }
}

// ---- Publisher information ----

// Each link kind decoded is checked through GetSignedFileInfo in signature_test.lua.
TEST(OpusInfo, RefusesWhatDoesNotDecodeWithTheDecodersCodes) {
  struct Case {
    Bytes der;
    platform::Win32Error code;
  } cases[] = {
      {{0x31, 0x00}, platform::kCryptEAsn1BadTag},                          // not a SEQUENCE
      {{0x30, 0x05, 0xA0, 0x03}, platform::kCryptEAsn1Eod},                 // cut
      {{}, platform::kCryptEAsn1Eod},                                       // nothing
      {{0x30, 0x05, 0xA0, 0x03, 0x85, 0x01, 0x00}, platform::kCryptEAsn1BadTag},  // no SpcString
      {{0x30, 0x0A, 0xA1, 0x03, 0x80, 0x01, 'u', 0xA0, 0x03, 0x81, 0x01, 'p'}, platform::kCryptEAsn1BadTag},  // order
      {{0x30, 0x05, 0xA3, 0x03, 0x80, 0x01, 'u'}, platform::kCryptEAsn1BadTag},  // a fourth field
      {{0x30, 0x05, 0xA0, 0x03, 0x80, 0x01, 'x'}, platform::kCryptEAsn1Corrupt},  // odd BMPString
      {{0x30, 0x08, 0xA0, 0x06, 0x81, 0x01, 'x', 0x81, 0x01, 'y'}, platform::kCryptEAsn1Corrupt},  // two in one
      {{0x30, 0x0A, 0xA1, 0x08, 0xA1, 0x06, 0x04, 0x01, 0x00, 0x04, 0x01, 'd'}, platform::kCryptEAsn1Corrupt},
      {{0x30, 0x05, 0xA1, 0x03, 0x83, 0x01, 'u'}, platform::kCryptEAsn1BadTag},  // no SpcLink
  };
  for (const Case& c : cases) {
    platform::SpcSpOpusInfo* info = nullptr;
    EXPECT_EQ(c.code, platform::DecodeOpusInfo(c.der.data(), c.der.size(), &info)) << c.der.size();
    EXPECT_EQ(nullptr, info);
  }
}

TEST(SerialNumbers, CompareAsNumbersWhateverTheirSignExtension) {
  // Least significant byte first: a and b are 128, c, d and e are -128, f is 32640.
  uint8_t a[] = {0x80, 0x00}, b[] = {0x80, 0x00, 0x00}, c[] = {0x80}, d[] = {0x80, 0xFF, 0xFF}, e[] = {0x80, 0xFF};
  uint8_t f[] = {0x80, 0x7F};
  EXPECT_TRUE(platform::SameInteger({2, a}, {3, b}) && platform::SameInteger({3, d}, {2, e}) &&
              platform::SameInteger({1, c}, {3, d}) && platform::SameInteger({0, nullptr}, {0, nullptr}));
  EXPECT_FALSE(platform::SameInteger({2, a}, {1, c}) || platform::SameInteger({2, f}, {1, c}) ||
               platform::SameInteger({2, f}, {2, a}));
}

// ---- The signer's record, from the signed fixture ----

PKCS7* SignatureOf(const std::string& file) {
  FILE* f = std::fopen((std::string(ACDC_SIGNING) + "/" + file).c_str(), "rb");
  if (f == nullptr) return nullptr;
  std::vector<uint8_t> image;
  int c;
  while ((c = std::fgetc(f)) != EOF) image.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  platform::MemoryBytes bytes{image.data(), image.size()};
  platform::PeLayout layout;
  PKCS7* p7 = nullptr;
  platform::ReadImageSignature(platform::MemorySource(&bytes), &layout, &p7);
  return p7;
}

// The values themselves (serial, issuer, program name) are checked through
// GetSignedFileInfo in signature_test.lua; here the block they are laid out in.
TEST(SignerInfo, LaysTheSignerOutInOneBlockWithTheSerialLeastSignificantFirst) {
  PKCS7* p7 = SignatureOf("signed.exe");
  ASSERT_NE(nullptr, p7);
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  uint32_t size = 0;
  ASSERT_EQ(platform::kErrorSuccess, platform::WriteSignerInfo(si, nullptr, &size));
  std::vector<uint8_t> block(size + 64, 0xEE);
  uint32_t short_size = size - 1, got = size;
  EXPECT_EQ(platform::kErrorMoreData, platform::WriteSignerInfo(si, block.data(), &short_size));
  EXPECT_EQ(size, short_size);
  ASSERT_EQ(platform::kErrorSuccess, platform::WriteSignerInfo(si, block.data(), &got));
  EXPECT_EQ(size, got);
  EXPECT_EQ(0xEE, block[size]);  // nothing past the block
  auto* rec = reinterpret_cast<platform::SignerInfo*>(block.data());
  auto inside = [&](const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    return b >= block.data() && b + n <= block.data() + size;
  };
  EXPECT_EQ(1u, rec->version);
  ASSERT_EQ(5u, rec->serial_number.size);
  EXPECT_EQ(Bytes({0x3D, 0x2C, 0x1B, 0x8A, 0x00}), Bytes(rec->serial_number.data, rec->serial_number.data + 5));
  EXPECT_STREQ("2.16.840.1.101.3.4.2.1", rec->hash_algorithm.oid);
  EXPECT_TRUE(inside(rec->encrypted_hash.data, rec->encrypted_hash.size));
  EXPECT_EQ(256u, rec->encrypted_hash.size);  // RSA 2048
  ASSERT_GT(rec->authenticated.count, 0u);
  for (uint32_t i = 0; i < rec->authenticated.count; ++i) {
    const platform::CryptAttribute& a = rec->authenticated.attributes[i];
    ASSERT_TRUE(inside(&a, sizeof a));
    ASSERT_EQ(1u, a.value_count) << a.oid;
    EXPECT_TRUE(inside(a.values[0].data, a.values[0].size));
  }
  EXPECT_EQ(0u, rec->unauthenticated.count);

  // The signer's certificate by issuer and serial, as CertFindCertificateInStore finds it.
  X509* signer = platform::FindBySignerId(p7->d.sign->cert, rec->issuer, rec->serial_number);
  ASSERT_NE(nullptr, signer);
  EXPECT_EQ(0, ASN1_INTEGER_cmp(X509_get0_serialNumber(signer), si->issuer_and_serial->serial));
  uint8_t other_serial[] = {0x3D, 0x2C, 0x1B, 0x8B, 0x00};
  EXPECT_EQ(nullptr, platform::FindBySignerId(p7->d.sign->cert, rec->issuer, {5, other_serial}));
  PKCS7_free(p7);
}

// ---- Chain, time and usage ----

struct Cert {
  X509* x = nullptr;
  ~Cert() { X509_free(x); }
};

// A certificate signed by its own new key, with the extensions given in openssl's
// configuration syntax and validity from now + `from` to now + `to` seconds.
void MakeCert(Cert* out, std::vector<std::pair<int, const char*>> extensions, long from = -3600, long to = 3600) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("t"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_gmtime_adj(X509_getm_notBefore(x), from);
  X509_gmtime_adj(X509_getm_notAfter(x), to);
  X509_set_pubkey(x, key);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    ASSERT_NE(nullptr, ext) << value;
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, key, EVP_sha256());
  EVP_PKEY_free(key);
  out->x = x;
}

TEST(Usage, AllowsCodeSigningOrAnyUsageWithDigitalSignature) {
  struct Case {
    std::vector<std::pair<int, const char*>> extensions;
    platform::Win32Error code;
  } cases[] = {
      {{}, 0},
      {{{NID_ext_key_usage, "codeSigning"}}, 0},
      {{{NID_ext_key_usage, "serverAuth,codeSigning"}}, 0},
      {{{NID_ext_key_usage, "anyExtendedKeyUsage"}}, 0},
      {{{NID_key_usage, "digitalSignature"}}, 0},
      {{{NID_key_usage, "critical,digitalSignature,keyEncipherment"}, {NID_ext_key_usage, "codeSigning"}}, 0},
      {{{NID_ext_key_usage, "serverAuth"}}, platform::kCertEWrongUsage},
      {{{NID_ext_key_usage, "timeStamping,emailProtection"}}, platform::kCertEWrongUsage},
      {{{NID_key_usage, "keyEncipherment"}}, platform::kCertEWrongUsage},
      {{{NID_key_usage, "keyEncipherment"}, {NID_ext_key_usage, "codeSigning"}}, platform::kCertEWrongUsage},
  };
  for (const Case& c : cases) {
    Cert cert;
    MakeCert(&cert, c.extensions);
    EXPECT_EQ(c.code, platform::UsageCode(cert.x)) << c.extensions.size();
  }
}

TEST(Validity, EveryCertificateOfTheChainMustBeValidNow) {
  Cert now_valid, future, past;
  MakeCert(&now_valid, {});
  MakeCert(&future, {}, 3600, 7200);
  MakeCert(&past, {}, -7200, -3600);
  int64_t now = static_cast<int64_t>(time(nullptr));
  auto code = [](std::vector<X509*> certs, int64_t at) {
    STACK_OF(X509)* chain = sk_X509_new_null();
    for (X509* x : certs) sk_X509_push(chain, x);
    platform::Win32Error c = platform::ValidityCode(chain, at);
    sk_X509_free(chain);
    return c;
  };
  EXPECT_EQ(0u, code({now_valid.x}, now));
  EXPECT_EQ(platform::kCertEExpired, code({now_valid.x}, now + 7200));
  EXPECT_EQ(platform::kCertEExpired, code({now_valid.x}, now - 7200));
  EXPECT_EQ(platform::kCertEExpired, code({now_valid.x, future.x}, now));
  EXPECT_EQ(platform::kCertEExpired, code({now_valid.x, past.x}, now));
}

TEST(ChainErrors, MapToTheTrustProvidersCodes) {
  struct Case {
    int error;
    platform::Win32Error code;
  } cases[] = {
      {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, platform::kCertEChaining},
      {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, platform::kCertEChaining},
      {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, platform::kCertEUntrustedRoot},
      {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, platform::kCertEUntrustedRoot},
      {X509_V_ERR_CERT_SIGNATURE_FAILURE, platform::kTrustECertSignature},
      {X509_V_ERR_INVALID_CA, platform::kTrustEBasicConstraints},
      {X509_V_ERR_PATH_LENGTH_EXCEEDED, platform::kTrustEBasicConstraints},
      {X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION, platform::kCertECritical},
      {X509_V_ERR_CERT_REJECTED, platform::kTrustEExplicitDistrust},
      {X509_V_ERR_OUT_OF_MEM, platform::kCertEChaining},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, platform::ChainErrorCode(c.error)) << c.error;
}

}  // namespace
