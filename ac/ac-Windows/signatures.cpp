// Signed files: GetSignedFileInfo (the program name, publisher links and signer's
// certificate of a file's Authenticode signature) and WinVerifyTrust of module ac.
//
// GetSignedFileInfo holds platform resources (the store, the message, the signer's
// block, the certificate) while it builds Lua strings, and any push can raise. So its
// body runs under lua_pcall with the resources in a plain record on this frame; they
// are released after the call returns, and an error is raised again only then.
#include <cstdlib>
#include <cstring>

#include "ac/functions.h"
#include "acdc/lua_number.h"
#include "platform/authenticode.h"
#include "platform/core_library.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;

// What one GetSignedFileInfo call holds; every member is released by Release.
struct InfoWork {
  const char* path;  // the UTF-8 path, borrowed from Lua
  size_t path_size;
  char16_t* path16;
  platform::CertStore* store;
  platform::CryptMsg* msg;
  platform::SignerInfo* signer;  // the zero-filled block of the signer's information
  platform::SpcSpOpusInfo* opus;
  platform::CertContext* cert;
  void* scratch;  // one buffer of the moment
};

void FreeScratch(InfoWork* w) {
  std::free(w->scratch);
  w->scratch = nullptr;
}

void Release(InfoWork* w) {
  FreeScratch(w);
  platform::CertFreeCertificateContext(w->cert);
  if (w->opus != nullptr) platform::FreeDecoded(w->opus);
  std::free(w->signer);
  platform::CryptMsgClose(w->msg);
  platform::CertCloseStore(w->store);
  std::free(w->path16);
  *w = {};
}

// `units` of UTF-16 as a Lua string, converted in a Lua buffer.
void PushUtf16(lua_State* L, const char16_t* text, size_t units) {
  luaL_Buffer b;
  size_t cap = 3 * units + 1;
  char* out = luaL_buffinitsize(L, &b, cap);
  size_t written = 0;
  if (platform::Utf16ToUtf8(text, units, out, cap, &written) != platform::kErrorSuccess) written = 0;
  luaL_pushresultsize(&b, written);
}

size_t Length16(const char16_t* s) {
  size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

void SetText(lua_State* L, const char* field, const char16_t* text) {
  PushUtf16(L, text, Length16(text));
  lua_setfield(L, -2, field);
}

// A link is kept when it is a URL or a file; a moniker is left out.
void SetLink(lua_State* L, const char* field, const platform::SpcLink* link) {
  if (link == nullptr) return;
  if (link->choice == platform::kSpcUrlLinkChoice && link->url != nullptr) SetText(L, field, link->url);
  if (link->choice == platform::kSpcFileLinkChoice && link->file != nullptr) SetText(L, field, link->file);
}

// Logs a publisher information that does not decode, at error level, as the core
// library's log record of this function.
void LogUndecodable(lua_State* L, const InfoWork* w, platform::Win32Error error) {
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  luaL_addstring(&b, "CryptDecodeObjectEx failed for file '");
  luaL_addlstring(&b, w->path, w->path_size);
  luaL_addchar(&b, '\'');
  luaL_pushresult(&b);
  core::LogError(core::kWindowsComponent, __LINE__, "GetProgAndPublisherInfo", error, lua_tostring(L, -1));
  lua_pop(L, 1);
}

// The program name and the publisher and more-information links of the signer's
// first publisher-information attribute, into the table on top.
void GetProgAndPublisherInfo(lua_State* L, InfoWork* w) {
  const platform::CryptAttributes& attrs = w->signer->authenticated;
  for (uint32_t i = 0; i < attrs.count; ++i) {
    const platform::CryptAttribute& a = attrs.attributes[i];
    if (a.oid == nullptr || std::strcmp(a.oid, platform::kSpcSpOpusInfoOid) != 0) continue;
    if (a.value_count == 0) return;
    platform::Win32Error e = platform::CryptDecodeOpusInfo(a.values[0].data, a.values[0].size, &w->opus);
    if (e != platform::kErrorSuccess) {
      w->opus = nullptr;
      return LogUndecodable(L, w, e);
    }
    if (w->opus->program_name != nullptr) SetText(L, "programName", w->opus->program_name);
    SetLink(L, "publisherLink", w->opus->publisher_info);
    SetLink(L, "moreInfoLink", w->opus->more_info);
    return;
  }
}

// The core library's hex rendering of `n` bytes: flag false for serial numbers,
// true for thumbprints.
void PushHex(lua_State* L, const uint8_t* bytes, size_t n, bool flag) {
  luaL_Buffer b;
  size_t cap = core::HexCapacity(n);
  char* out = luaL_buffinitsize(L, &b, cap);
  luaL_pushresultsize(&b, core::ToHexString(bytes, n, flag, out, cap));
}

void SetName(lua_State* L, InfoWork* w, const char* field, bool issuer) {
  uint32_t units = platform::CertGetNameString(w->cert, issuer, nullptr, 0);
  if (units == 0) return;
  w->scratch = platform::Allocate(size_t{units} * sizeof(char16_t));
  if (w->scratch == nullptr) return;
  auto* text = static_cast<char16_t*>(w->scratch);
  uint32_t got = platform::CertGetNameString(w->cert, issuer, text, units);
  if (got > 0) {
    PushUtf16(L, text, got - 1);
    lua_setfield(L, -2, field);
  }
  FreeScratch(w);
}

void SetThumbprint(lua_State* L, InfoWork* w) {
  uint32_t size = 0;
  if (platform::CertGetSha1Hash(w->cert, nullptr, &size) != platform::kErrorSuccess || size == 0) return;
  w->scratch = platform::Allocate(size);
  if (w->scratch == nullptr) return;
  if (platform::CertGetSha1Hash(w->cert, static_cast<uint8_t*>(w->scratch), &size) == platform::kErrorSuccess) {
    PushHex(L, static_cast<uint8_t*>(w->scratch), size, true);
    lua_setfield(L, -2, "thumbprintSha1");
  }
  FreeScratch(w);
}

void SetPem(lua_State* L, InfoWork* w) {
  platform::CryptBlob encoded = platform::CertEncoded(w->cert);
  uint64_t cap = 2 * uint64_t{encoded.size} + 64;
  if (cap > UINT32_MAX) return;
  w->scratch = platform::Allocate(cap * sizeof(char16_t));
  if (w->scratch == nullptr) return;
  auto units = static_cast<uint32_t>(cap);
  auto* text = static_cast<char16_t*>(w->scratch);
  if (platform::CryptBinaryToBase64Header(encoded.data, encoded.size, text, &units) == platform::kErrorSuccess) {
    PushUtf16(L, text, units);
    lua_setfield(L, -2, "certificate");
  }
  FreeScratch(w);
}

void PushSignerCertificate(lua_State* L, InfoWork* w) {
  lua_createtable(L, 0, 6);
  platform::CryptBlob serial = platform::CertSerialNumber(w->cert);
  // The platform keeps the serial least significant byte first; Lua gets it the
  // other way round, as it is written.
  luaL_Buffer b;
  char* bytes = luaL_buffinitsize(L, &b, serial.size);
  for (uint32_t i = 0; i < serial.size; ++i) bytes[i] = static_cast<char>(serial.data[serial.size - 1 - i]);
  luaL_pushresultsize(&b, serial.size);
  size_t n = 0;
  const auto* msb_first = reinterpret_cast<const uint8_t*>(lua_tolstring(L, -1, &n));
  PushHex(L, msb_first, n, false);
  lua_setfield(L, -3, "serialNumber");
  lua_setfield(L, -2, "serialNumberBinary");
  SetName(L, w, "issuer", true);
  SetName(L, w, "subject", false);
  SetThumbprint(L, w);
  SetPem(L, w);
}

// The protected body of GetSignedFileInfo: argument 1 is the InfoWork.
int BuildSignedFileInfo(lua_State* L) {
  auto* w = static_cast<InfoWork*>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  w->path16 = static_cast<char16_t*>(platform::Allocate((w->path_size + 1) * sizeof(char16_t)));
  if (w->path16 == nullptr) return PushSystemError(L, "CryptQueryObject", platform::kErrorNotEnoughMemory);
  size_t units = 0;
  platform::Utf8ToUtf16(w->path, w->path_size, w->path16, w->path_size + 1, &units);
  platform::Win32Error e = platform::CryptQueryEmbeddedSignature(w->path16, &w->store, &w->msg);
  if (e != platform::kErrorSuccess) return PushSystemError(L, "CryptQueryObject", e);
  uint32_t size = 0;
  e = platform::CryptMsgGetSignerInfo(w->msg, 0, nullptr, &size);
  if (e != platform::kErrorSuccess) return PushSystemError(L, "CryptMsgGetParam", e);
  w->signer = static_cast<platform::SignerInfo*>(platform::Allocate(size));
  if (w->signer == nullptr) return 0;
  std::memset(w->signer, 0, size);
  e = platform::CryptMsgGetSignerInfo(w->msg, 0, w->signer, &size);
  if (e != platform::kErrorSuccess) return PushSystemError(L, "CryptMsgGetParam", e);
  lua_createtable(L, 0, 8);
  GetProgAndPublisherInfo(L, w);
  e = platform::CertFindBySignerId(w->store, w->signer->issuer, w->signer->serial_number, &w->cert);
  if (e != platform::kErrorSuccess) {
    lua_pop(L, 1);
    return PushSystemError(L, "CertFindCertificateInStore", e);
  }
  PushSignerCertificate(L, w);
  lua_setfield(L, -2, "signerCertificate");
  return 1;
}

// The result and the thread's last error of one verification.
struct TrustOutcome {
  uint32_t result;
  platform::Win32Error last_error;
};

TrustOutcome VerifyTrust(const char* path, size_t size, uint32_t flags) {
  auto* path16 = static_cast<char16_t*>(platform::Allocate((size + 1) * sizeof(char16_t)));
  // Without memory for the path there is nothing to verify: the provider's own
  // failure, with the allocation's code.
  if (path16 == nullptr) return {platform::kTrustESystemError, platform::kErrorNotEnoughMemory};
  size_t units = 0;
  platform::Utf8ToUtf16(path, size, path16, size + 1, &units);
  platform::WinTrustFileInfo file = {sizeof(platform::WinTrustFileInfo), path16, nullptr, nullptr};
  platform::WinTrustData data = {};
  data.struct_size = sizeof(platform::WinTrustData);
  data.ui_choice = platform::kWtdUiNone;
  data.revocation_checks = platform::kWtdRevokeNone;
  data.union_choice = platform::kWtdChoiceFile;
  data.file = &file;
  data.state_action = platform::kWtdStateActionVerify;
  data.provider_flags = flags;
  TrustOutcome o;
  o.result = platform::WinVerifyTrust(platform::kGenericVerifyV2, &data);
  o.last_error = platform::TrustLastError();
  // Releases the provider's state; its answer changes nothing.
  data.state_action = platform::kWtdStateActionClose;
  platform::WinVerifyTrust(platform::kGenericVerifyV2, &data);
  std::free(path16);
  return o;
}

}  // namespace

int l_GetSignedFileInfo(lua_State* L) {
  size_t n = 0;
  const char* path = luaL_checklstring(L, 1, &n);
  InfoWork w = {};
  w.path = path;
  w.path_size = n;
  lua_pushcfunction(L, BuildSignedFileInfo);
  lua_pushlightuserdata(L, &w);
  int base = lua_gettop(L) - 2;
  int status = lua_pcall(L, 1, LUA_MULTRET, 0);
  Release(&w);
  if (status != LUA_OK) return lua_error(L);
  return lua_gettop(L) - base;
}

int l_WinVerifyTrust(lua_State* L) {
  size_t n = 0;
  const char* path = luaL_checklstring(L, 1, &n);
  uint32_t flags = lua_isnumber(L, 2) ? NumberToU32(lua_tonumber(L, 2)) : 0;
  TrustOutcome o = VerifyTrust(path, n, flags);
  lua_pushboolean(L, o.result == 0);
  lua_pushinteger(L, static_cast<int32_t>(o.result));
  lua_pushinteger(L, static_cast<int32_t>(o.last_error));
  PushSystemMessage(L, o.result);
  return 4;
}

}  // namespace acdc::ac
