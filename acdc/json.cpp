// The JSON decoder (json.h) and the glue of acdc.decode.
//
// Three layers in one loop: the tokenizer (Next and its Scan helpers) cuts the text
// into tokens, the state switch in Run checks the structure token by token, and the
// builder (Value, Open, Close, Stored) pushes each value as it is read.
//
// The builder leaves the elements of a container on the stack and makes its table at
// the closing bracket, sized for them: a Lua 5.2 table grown one key at a time is
// rebuilt at every power of two, which costs more than the rest of the decoding. A
// container that reaches kPendingSlots is moved into its table there and then stores
// each further element directly, so a level never holds more than that many slots
// and the stack stays bounded by depth. The count of each enclosing container waits
// in a fixed array indexed by depth.
//
// Nothing in these frames owns memory: strings are pushed straight from the text, or
// unescaped in a luaL_Buffer, so a memory error raised by any push frees everything.
#include "acdc/json.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

extern "C" {
#include <lauxlib.h>
}

#include "acdc/functions.h"

namespace acdc::json {

namespace {

enum class Token {
  kNull, kFalse, kTrue, kNumber, kString, kComma, kColon,
  kArrayOpen, kArrayClose, kObjectOpen, kObjectClose, kEnd, kError,
};

enum class State {
  kFailed = -1,
  kDone = 0,      // the top-level value is complete
  kTop,           // expecting the top-level value
  kArrayFirst,    // after "[": a value or "]"
  kArrayNext,     // after "," in an array: a value
  kArrayAfter,    // after an element: "," or "]"
  kObjectFirst,   // after "{": a key or "}"
  kObjectNext,    // after "," in an object: a key
  kAfterKey,      // ":"
  kObjectValue,   // after ":": a value
  kObjectAfter,   // after a member: "," or "}"
};

// Elements (arrays) or keys and values (objects) a container keeps on the stack
// before its table is made. Even, so that an object reaches it after a value.
constexpr uint32_t kPendingSlots = 128;

// Stack room one level asks for when it opens: its pending slots, the value in hand,
// and two for a string or number being built.
constexpr int kLevelRoom = static_cast<int>(kPendingSlots) + 8;

inline bool IsDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

struct ByteSet {
  bool has[256];
};

// A number token runs over everything strtod might take for part of a number, so a
// malformed one (1-2, 1.2.3) stays one token and converts as a whole.
constexpr ByteSet MakeNumberBytes() {
  ByteSet s{};
  for (const char* c = "0123456789eE-+."; *c != '\0'; ++c) s.has[static_cast<unsigned char>(*c)] = true;
  return s;
}
constexpr ByteSet kNumberBytes = MakeNumberBytes();

// Eight bytes at a time, the string scanner looks for the bytes that end a run of
// plain string bytes: '"', '\\' and NUL. The classic zero-byte test may also flag a
// byte above a real match, never below one, so the lowest flag is exact.
// Little-endian order puts the first byte lowest.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the string scan reads words little-endian");
constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;
inline uint64_t ZeroBytes(uint64_t v) { return (v - kOnes) & ~v & kHighs; }
inline uint64_t StringStops(uint64_t w) {
  return ZeroBytes(w) | ZeroBytes(w ^ (kOnes * '"')) | ZeroBytes(w ^ (kOnes * '\\'));
}

// 10^0 to 10^22 are exact doubles.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kTwo53 = uint64_t{1} << 53;

class Decoder {
 public:
  Decoder(lua_State* L, const char* text, size_t len)
      : L_(L), start_(text), end_(text + len), cur_(text), token_(text), token_end_(text) {}

  // Decodes to the end of the top-level value; true leaves it on the stack. Expects
  // the text to hold a NUL within its length.
  bool Run();
  void Report(JsonError* err) const {
    err->message = message_;
    err->token_start = static_cast<size_t>(token_ - start_) + 1;
    err->current = static_cast<size_t>(cur_ - start_) + 1;
  }

 private:
  Token Next();
  Token ScanString(const char* p);
  Token ScanNumber(const char* p);
  Token ScanWord(const char* p, const char* word, size_t n, Token t);
  Token Took(const char* p, const char* q, Token t) {
    token_ = p;
    token_end_ = q;
    cur_ = q;
    return t;
  }
  Token Refuse(const char* at, const char* message) {
    cur_ = at;
    message_ = message;
    return Token::kError;
  }

  State Fail(const char* message) {
    message_ = message;
    return State::kFailed;
  }
  State Value(Token t, const char* expected);
  State Key();
  State Open(bool array);
  State Close();
  State Stored();
  State StoredNull();
  void MakeTable(bool array);
  bool PushString();
  bool PushUnescaped(const char* s, const char* e);
  void PushNumber();
  bool ConvertNumber(double* out);
  bool DotIsDecimalPoint();

  lua_State* L_;
  const char* start_;       // first byte of the text
  const char* end_;         // one past the last byte the caller handed over
  const char* cur_;         // next byte to read
  const char* token_;       // first byte of the last token read
  const char* token_end_;   // one past it
  const char* message_ = "";
  bool escaped_ = false;    // the last string token holds a backslash
  int dot_ = -1;            // whether strtod takes '.' as decimal point; -1 not asked yet
  // One bit per open container, innermost in bit 0.
  uint64_t containers_ = 0;  // 1 array, 0 object
  uint64_t direct_ = 0;      // 1 once its table exists and takes elements directly
  unsigned depth_ = 0;       // open containers
  // Innermost container: slots pending on the stack; for a direct array, elements stored.
  uint32_t count_ = 0;
  uint32_t parked_[kMaxDepth];  // [d]: count_ of the container that was innermost at depth d
};
// The decoder lives in a frame where every push can raise with longjmp.
static_assert(std::is_trivially_destructible_v<Decoder>, "no destructor may be skipped");
static_assert(std::is_trivially_destructible_v<JsonError>, "no destructor may be skipped");

// ===== Tokenizer =====

Token Decoder::Next() {
  const char* p = cur_;
  while (IsSpace(*p)) ++p;
  cur_ = p;
  switch (*p) {
    case '\0':
      return Token::kEnd;
    case '"':
      return ScanString(p);
    case ',':
      return Took(p, p + 1, Token::kComma);
    case ':':
      return Took(p, p + 1, Token::kColon);
    case '[':
      return Took(p, p + 1, Token::kArrayOpen);
    case ']':
      return Took(p, p + 1, Token::kArrayClose);
    case '{':
      return Took(p, p + 1, Token::kObjectOpen);
    case '}':
      return Took(p, p + 1, Token::kObjectClose);
    case 't':
      return ScanWord(p, "true", 4, Token::kTrue);
    case 'f':
      return ScanWord(p, "false", 5, Token::kFalse);
    case 'n':
      return ScanWord(p, "null", 4, Token::kNull);
    case '-': case '0': case '1': case '2': case '3':
    case '4': case '5': case '6': case '7': case '8': case '9':
      return ScanNumber(p);
    default:
      return Refuse(p, "Expected value");
  }
}

// The word is checked byte by byte, so a NUL ends the comparison before anything past
// the text is read. What follows the word is left to the parser.
Token Decoder::ScanWord(const char* p, const char* word, size_t n, Token t) {
  for (size_t i = 1; i < n; ++i)
    if (p[i] != word[i]) return Refuse(p + i, "Expected value");
  return Took(p, p + n, t);
}

Token Decoder::ScanNumber(const char* p) {
  const char* q = p;
  if (*q == '-' && !IsDigit(*++q)) return Refuse(q, "Negative without number");
  if (*q == '0' && IsDigit(q[1])) return Refuse(q + 1, "Leading zero");
  do ++q;
  while (kNumberBytes.has[static_cast<unsigned char>(*q)]);
  return Took(p, q, Token::kNumber);
}

// A backslash takes the next byte into the string whatever it is, except the NUL that
// ends the text: reading on would leave the caller's buffer.
Token Decoder::ScanString(const char* p) {
  const char* q = p + 1;
  bool escaped = false;
  for (;;) {
    while (end_ - q >= 8) {
      uint64_t w;
      std::memcpy(&w, q, sizeof w);
      uint64_t stops = StringStops(w);
      if (stops != 0) {
        q += __builtin_ctzll(stops) >> 3;
        break;
      }
      q += 8;
    }
    char c = *q;
    if (c == '"') break;
    if (c == '\\') {
      if (q[1] == '\0') return Refuse(q + 1, "Truncated string");
      escaped = true;
      q += 2;
    } else if (c == '\0') {
      return Refuse(q, "Truncated string");
    } else {
      ++q;
    }
  }
  escaped_ = escaped;
  return Took(p, q + 1, Token::kString);
}

// ===== Builder =====

State Decoder::Value(Token t, const char* expected) {
  switch (t) {
    case Token::kNull:
      return StoredNull();
    case Token::kFalse:
    case Token::kTrue:
      lua_pushboolean(L_, t == Token::kTrue);
      return Stored();
    case Token::kNumber:
      PushNumber();
      return Stored();
    case Token::kString:
      return PushString() ? Stored() : State::kFailed;
    case Token::kArrayOpen:
      return Open(true);
    case Token::kObjectOpen:
      return Open(false);
    default:
      return Fail(expected);
  }
}

State Decoder::Open(bool array) {
  if (depth_ == kMaxDepth) return Fail("Max structure depth reached");
  luaL_checkstack(L_, kLevelRoom, "JSON nesting");
  parked_[depth_] = count_;
  count_ = 0;
  containers_ = containers_ << 1 | (array ? 1u : 0u);
  direct_ <<= 1;
  ++depth_;
  return array ? State::kArrayFirst : State::kObjectFirst;
}

// Only reached from states inside a container, so depth is at least 1.
State Decoder::Close() {
  if ((direct_ & 1) == 0) MakeTable(containers_ & 1);
  --depth_;
  containers_ >>= 1;
  direct_ >>= 1;
  count_ = parked_[depth_];
  return Stored();
}

State Decoder::Key() {
  if (!PushString()) return State::kFailed;
  ++count_;
  return State::kAfterKey;
}

// The value on top is complete: it is the result, waits in its container's pending
// slots, or goes into its container's table. Array indexes are ints in the Lua 5.2
// API; no text that fits in memory reaches 2^31 elements.
State Decoder::Stored() {
  if (depth_ == 0) return State::kDone;
  bool array = containers_ & 1;
  if (direct_ & 1) {
    if (array) {
      lua_rawseti(L_, -2, static_cast<int>(++count_));
      return State::kArrayAfter;
    }
    lua_rawset(L_, -3);
    return State::kObjectAfter;
  }
  if (++count_ == kPendingSlots) {
    MakeTable(array);
    direct_ |= 1;
  }
  return array ? State::kArrayAfter : State::kObjectAfter;
}

// A null element only takes up its index. A null member is stored all the same, so
// that it removes an earlier member of the same name.
State Decoder::StoredNull() {
  if (depth_ != 0 && (containers_ & direct_ & 1)) {
    ++count_;
    return State::kArrayAfter;
  }
  lua_pushnil(L_);
  return Stored();
}

// Replaces the count_ pending slots on top by the table made of them. An array's
// elements are popped into it from the last one; an object's members go in in text
// order, so that a repeated key keeps its last value.
void Decoder::MakeTable(bool array) {
  int n = static_cast<int>(count_);
  if (n == 0) {
    lua_newtable(L_);
  } else if (array) {
    lua_createtable(L_, n, 0);
    lua_insert(L_, -n - 1);
    int table = lua_gettop(L_) - n;
    for (int i = n; i > 0; --i) lua_rawseti(L_, table, i);
  } else {
    lua_createtable(L_, 0, n / 2);
    int table = lua_gettop(L_);
    int first = table - n;
    for (int i = first; i < table; i += 2) {
      lua_pushvalue(L_, i);
      lua_pushvalue(L_, i + 1);
      lua_rawset(L_, table);
    }
    lua_replace(L_, first);
    lua_settop(L_, first);
  }
}

bool Decoder::PushString() {
  const char* s = token_ + 1;
  const char* e = token_end_ - 1;
  if (escaped_) return PushUnescaped(s, e);
  lua_pushlstring(L_, s, static_cast<size_t>(e - s));
  return true;
}

// Kept out of line: the luaL_Buffer carries a page of stack, which the common path of
// strings without escapes should not pay for. The unescaped text is never longer than
// the escaped one, so the buffer is sized once. On a refused escape the buffer may
// have left a box on the stack; Run's caller drops it with everything else.
__attribute__((noinline)) bool Decoder::PushUnescaped(const char* s, const char* e) {
  luaL_Buffer b;
  char* out = luaL_buffinitsize(L_, &b, static_cast<size_t>(e - s));
  char* o = out;
  for (;;) {
    const void* found = std::memchr(s, '\\', static_cast<size_t>(e - s));
    const char* bs = found != nullptr ? static_cast<const char*>(found) : e;
    std::memcpy(o, s, static_cast<size_t>(bs - s));
    o += bs - s;
    if (bs == e) break;
    // The scanner stepped over the byte after every backslash, so it lies before e.
    switch (bs[1]) {
      case '"': case '\\': case '/': *o++ = bs[1]; break;
      case 'b': *o++ = '\b'; break;
      case 'f': *o++ = '\f'; break;
      case 'n': *o++ = '\n'; break;
      case 'r': *o++ = '\r'; break;
      case 't': *o++ = '\t'; break;
      case 'u': message_ = "Unicode unsupported"; return false;
      default: message_ = "Unsupported escape"; return false;
    }
    s = bs + 2;
  }
  luaL_pushresultsize(&b, static_cast<size_t>(o - out));
  return true;
}

// Numbers read as Lua 5.2 reads a string: strtod must take the whole token, else the
// value is 0. Most tokens take the exact fast path below; the rest go through Lua's
// own conversion, which settles every case the fast path leaves open.
void Decoder::PushNumber() {
  double v;
  if (ConvertNumber(&v)) {
    lua_pushnumber(L_, v);
    return;
  }
  lua_pushlstring(L_, token_, static_cast<size_t>(token_end_ - token_));
  v = lua_tonumber(L_, -1);
  lua_pop(L_, 1);
  lua_pushnumber(L_, v);
}

// strtod reads the decimal point of the current C locale, which the host may change.
bool Decoder::DotIsDecimalPoint() {
  if (dot_ < 0) {
    const char* point = std::localeconv()->decimal_point;
    dot_ = point[0] == '.' && point[1] == '\0';
  }
  return dot_ != 0;
}

// The fast path: with at most 19 significant digits forming a mantissa m <= 2^53 and
// a power of ten |k| <= 22, m and 10^k are exact doubles, so one multiplication or
// division rounds once, exactly as a correctly rounded strtod does. Returns false
// when the token needs the full conversion. The grammar checked here is strtod's,
// limited to the bytes of a number token: -?D+(.D*)?([eE][+-]?D+)?; anything else is
// a token strtod cannot take whole, which converts to 0.
bool Decoder::ConvertNumber(double* out) {
  const char* p = token_;
  const char* end = token_end_;
  bool negative = *p == '-';
  if (negative) ++p;
  uint64_t m = 0;
  int digits = 0;  // significant digits in m
  int64_t k = 0;   // power of ten applied to m; one step per fraction digit
  for (; p < end && IsDigit(*p); ++p) {
    if (m == 0 && *p == '0') continue;
    if (++digits > 19) return false;
    m = m * 10 + static_cast<unsigned>(*p - '0');
  }
  if (p < end && *p == '.') {
    if (!DotIsDecimalPoint()) return false;
    for (++p; p < end && IsDigit(*p); ++p) {
      --k;
      if (m == 0 && *p == '0') continue;
      if (++digits > 19) return false;
      m = m * 10 + static_cast<unsigned>(*p - '0');
    }
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !IsDigit(*p)) {
      *out = 0;
      return true;
    }
    int e = 0;
    for (; p < end && IsDigit(*p); ++p)
      if (e < 100000) e = e * 10 + (*p - '0');
    k += exp_negative ? -e : e;
  }
  if (p != end) {
    *out = 0;
    return true;
  }
  double v;
  if (m == 0)
    v = 0;
  else if (m <= kTwo53 && k >= -22 && k <= 22)
    v = k >= 0 ? static_cast<double>(m) * kPowersOfTen[k] : static_cast<double>(m) / kPowersOfTen[-k];
  else
    return false;
  *out = negative ? -v : v;
  return true;
}

// ===== Parser =====

bool Decoder::Run() {
  State state = State::kTop;
  do {
    Token t = Next();
    if (t == Token::kError) return false;
    switch (state) {
      case State::kTop:
        state = Value(t, "Expected a value");
        break;
      case State::kArrayFirst:
        state = t == Token::kArrayClose ? Close() : Value(t, "Expected value or ']'");
        break;
      case State::kArrayNext:
        state = Value(t, "Expected array value");
        break;
      case State::kArrayAfter:
        state = t == Token::kComma        ? State::kArrayNext
                : t == Token::kArrayClose ? Close()
                                          : Fail("Expected ',' or ']'");
        break;
      case State::kObjectFirst:
        state = t == Token::kString        ? Key()
                : t == Token::kObjectClose ? Close()
                                           : Fail("Expected key or '}'");
        break;
      case State::kObjectNext:
        state = t == Token::kString ? Key() : Fail("Expected key");
        break;
      case State::kAfterKey:
        state = t == Token::kColon ? State::kObjectValue : Fail("Expected ':'");
        break;
      case State::kObjectValue:
        state = Value(t, "Expected object value");
        break;
      case State::kObjectAfter:
        state = t == Token::kComma         ? State::kObjectNext
                : t == Token::kObjectClose ? Close()
                                           : Fail("Expected ',' or '}'");
        break;
      case State::kDone:
      case State::kFailed:
        break;
    }
  } while (state > State::kDone);
  return state == State::kDone;
}

}  // namespace

bool DecodeJson(lua_State* L, const char* text, size_t len, JsonError* err) {
  luaL_checkstack(L, kLevelRoom, "JSON nesting");
  if (len == 0 || (text[len - 1] != '\0' && std::memchr(text, '\0', len) == nullptr)) {
    *err = JsonError{"Message is not null-terminated", 1, 1};
    return false;
  }
  int base = lua_gettop(L);
  Decoder decoder(L, text, len);
  if (decoder.Run()) return true;
  decoder.Report(err);
  lua_settop(L, base);
  return false;
}

int PushJsonResult(lua_State* L, const char* text, size_t len) {
  JsonError err;
  if (DecodeJson(L, text, len, &err)) return 1;
  char message[96];
  std::snprintf(message, sizeof message, "%llu:%llu:%s", static_cast<unsigned long long>(err.token_start),
                static_cast<unsigned long long>(err.current), err.message);
  lua_pushnil(L);
  lua_pushstring(L, message);
  lua_pushinteger(L, static_cast<lua_Integer>(err.token_start));
  lua_pushinteger(L, static_cast<lua_Integer>(err.current));
  return 4;
}

}  // namespace acdc::json

namespace acdc::lua {

// A Lua string always carries a NUL after its last byte, so the text ends at the
// first NUL of the string or at its end.
int l_decode(lua_State* L) {
  size_t len;
  const char* text = luaL_checklstring(L, 1, &len);
  return json::PushJsonResult(L, text, len + 1);
}

}  // namespace acdc::lua
