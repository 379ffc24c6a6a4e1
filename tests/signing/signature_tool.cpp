// The signing fixtures' own tool, for what the signing command cannot do: it re-signs
// the content of an existing Authenticode signature with the signer's key after
// changing the signer's publisher information, and reads a PE image's certificate
// table for the fuzz seeds.
//
//   signature_tool resign IN.pem OUT.pem KEY.pem OPUS [drop-signer-cert] [break-signature]
//     OPUS: keep | none | links | moniker | malformed | empty
//       links:     program name (BMPString), publisher link a URL, more-info link a file
//       moniker:   program name (IA5String), publisher link a file, more-info link a moniker
//       malformed: an attribute whose program name holds a tag no decoder knows
//       empty:     an attribute with nothing in it
//     drop-signer-cert: leaves the signer's certificate out of the signature
//     break-signature:  flips a bit of the signature value after signing
//   signature_tool cert-table IN.exe OUT.bin
//     writes the certificate table the image's data directory names
//
// Built by tests/signing/make_fixtures.sh with the host compiler and libcrypto.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "signature_tool: %s\n", what.c_str());
  ERR_print_errors_fp(stderr);
  std::exit(1);
}

// ---- DER building ----

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Bmp(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) out.insert(out.end(), {0, static_cast<uint8_t>(c)});
  return out;
}

// SpcString: [0] BMPString or [1] IA5String.
Bytes SpcUnicode(const std::string& s) { return Tlv(0x80, Bmp(s)); }
Bytes SpcAscii(const std::string& s) { return Tlv(0x81, Ascii(s)); }

// SpcLink: url [0] IMPLICIT IA5String, moniker [1] IMPLICIT SpcSerializedObject,
// file [2] EXPLICIT SpcString.
Bytes UrlLink(const std::string& url) { return Tlv(0x80, Ascii(url)); }
Bytes FileLink(const Bytes& spc_string) { return Tlv(0xA2, spc_string); }
Bytes MonikerLink() {
  Bytes class_id = {0xA6, 0xB5, 0x86, 0xD5, 0xB4, 0xA1, 0x24, 0x66, 0xAE, 0x05, 0xA2, 0x17, 0xDA, 0x8E, 0x60, 0xD6};
  return Tlv(0xA1, Concat({Tlv(0x04, class_id), Tlv(0x04, Ascii("serialized moniker data"))}));
}

// SpcSpOpusInfo ::= SEQUENCE { programName [0] EXPLICIT SpcString OPTIONAL,
//   moreInfo [1] EXPLICIT SpcLink OPTIONAL, publisherInfo [2] EXPLICIT SpcLink OPTIONAL }
Bytes OpusInfo(const std::string& kind) {
  if (kind == "links") {
    return Tlv(0x30, Concat({Tlv(0xA0, SpcUnicode("Fixture Program")),
                             Tlv(0xA1, FileLink(SpcUnicode("C:\\docs\\more-info.txt"))),
                             Tlv(0xA2, UrlLink("https://publisher.example.test/"))}));
  }
  if (kind == "moniker") {
    return Tlv(0x30, Concat({Tlv(0xA0, SpcAscii("Moniker Program")), Tlv(0xA1, MonikerLink()),
                             Tlv(0xA2, FileLink(SpcAscii("\\\\server\\share\\publisher.txt")))}));
  }
  if (kind == "malformed") return Tlv(0x30, Tlv(0xA0, Tlv(0x85, {0x00})));
  if (kind == "empty") return Tlv(0x30, {});
  Fail("unknown publisher information kind " + kind);
}

// ---- Files ----

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const uint8_t* data, size_t n) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  if (!out) Fail("cannot write " + path);
}

uint32_t Le32(const Bytes& b, size_t at) {
  if (at + 4 > b.size()) Fail("the image ends inside its headers");
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
}

// ---- Commands ----

void ReplaceOpusInfo(PKCS7_SIGNER_INFO* si, const std::string& kind) {
  ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.12", 1);
  int at = -1;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->auth_attr); ++i) {
    if (OBJ_cmp(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->auth_attr, i)), oid) == 0) at = i;
  }
  if (at < 0) Fail("the signature has no publisher information to replace");
  X509_ATTRIBUTE_free(sk_X509_ATTRIBUTE_delete(si->auth_attr, at));
  if (kind != "none") {
    Bytes der = OpusInfo(kind);
    ASN1_STRING* value = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    ASN1_STRING_set(value, der.data(), static_cast<int>(der.size()));
    X509_ATTRIBUTE* attr = X509_ATTRIBUTE_create_by_OBJ(nullptr, oid, V_ASN1_SEQUENCE, value, -1);
    if (attr == nullptr) Fail("cannot make the attribute");
    // Where the old one was, so the attributes keep their order.
    sk_X509_ATTRIBUTE_insert(si->auth_attr, attr, at);
    ASN1_STRING_free(value);
  }
  ASN1_OBJECT_free(oid);
}

void Resign(PKCS7_SIGNER_INFO* si, EVP_PKEY* key) {
  unsigned char* attrs = nullptr;
  int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t sig_size = 0;
  if (n <= 0 || md == nullptr || EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) != 1 ||
      EVP_DigestSign(ctx, nullptr, &sig_size, attrs, static_cast<size_t>(n)) != 1)
    Fail("cannot sign the attributes");
  Bytes sig(sig_size);
  if (EVP_DigestSign(ctx, sig.data(), &sig_size, attrs, static_cast<size_t>(n)) != 1) Fail("signing failed");
  ASN1_OCTET_STRING_set(si->enc_digest, sig.data(), static_cast<int>(sig_size));
  EVP_MD_CTX_free(ctx);
  OPENSSL_free(attrs);
}

int ResignCommand(int argc, char** argv) {
  if (argc < 6) Fail("usage: resign IN.pem OUT.pem KEY.pem OPUS [drop-signer-cert] [break-signature]");
  std::string in = argv[2], out = argv[3], key_path = argv[4], opus = argv[5];
  bool drop_signer = false, break_signature = false;
  for (int i = 6; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "drop-signer-cert") drop_signer = true;
    else if (option == "break-signature") break_signature = true;
    else Fail("unknown option " + option);
  }
  FILE* f = std::fopen(in.c_str(), "r");
  if (f == nullptr) Fail("cannot read " + in);
  PKCS7* p7 = PEM_read_PKCS7(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  f = std::fopen(key_path.c_str(), "r");
  if (f == nullptr) Fail("cannot read " + key_path);
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (p7 == nullptr || key == nullptr || !PKCS7_type_is_signed(p7)) Fail("no signature or key read");
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  if (opus != "keep") ReplaceOpusInfo(si, opus);
  Resign(si, key);
  if (break_signature) si->enc_digest->data[si->enc_digest->length / 2] ^= 0x01;
  if (drop_signer) {
    X509* signer = X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                                  si->issuer_and_serial->serial);
    if (signer == nullptr) Fail("the signature does not carry its signer's certificate");
    sk_X509_delete_ptr(p7->d.sign->cert, signer);
    X509_free(signer);
  }
  f = std::fopen(out.c_str(), "w");
  if (f == nullptr || PEM_write_PKCS7(f, p7) != 1) Fail("cannot write " + out);
  std::fclose(f);
  PKCS7_free(p7);
  EVP_PKEY_free(key);
  return 0;
}

int CertTableCommand(int argc, char** argv) {
  if (argc != 4) Fail("usage: cert-table IN.exe OUT.bin");
  Bytes image = ReadFile(argv[2]);
  uint32_t pe = Le32(image, 0x3C);
  size_t optional = pe + 24;
  if (optional + 2 > image.size()) Fail("no optional header");
  bool plus = (image[optional] | image[optional + 1] << 8) == 0x20B;
  size_t entry = optional + (plus ? 112 : 96) + 4 * 8;
  uint32_t offset = Le32(image, entry), size = Le32(image, entry + 4);
  if (offset == 0 || uint64_t{offset} + size > image.size()) Fail("no certificate table in the image");
  WriteFile(argv[3], image.data() + offset, size);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "resign") return ResignCommand(argc, argv);
  if (command == "cert-table") return CertTableCommand(argc, argv);
  Fail("usage: signature_tool resign ... | cert-table ...");
}
