#include "ac/zlib_filter.h"

#include <openssl/comperr.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <zlib.h>

#include <climits>

namespace acdc::ac {

namespace {

// Compressed bytes taken from the next BIO per read: large enough that a cipher
// below is asked for many blocks at once.
constexpr int kInputBytes = 64 * 1024;

enum class Stage : unsigned char {
  kInflating,  // inside the stream
  kEnded,      // the stream ended; anything more from below is trailing data
  kFinished,   // the stream ended and so did its input: every read answers 0
  kFailed,     // an error was queued: every read answers 0
};

struct Filter {
  z_stream zs;
  bool zs_ready;  // inflateInit succeeded: inflateEnd owed
  Stage stage;
  unsigned char input[kInputBytes];
};

int Fail(Filter* f, const char* why) {
  ERR_raise_data(ERR_LIB_COMP, COMP_R_ZLIB_INFLATE_ERROR, "zlib error: %s", why);
  f->stage = Stage::kFailed;
  return 0;
}

int Create(BIO* b) {
  auto* f = static_cast<Filter*>(OPENSSL_zalloc(sizeof(Filter)));
  if (f == nullptr) return 0;
  BIO_set_data(b, f);
  BIO_set_init(b, 1);
  return 1;
}

int Destroy(BIO* b) {
  auto* f = static_cast<Filter*>(BIO_get_data(b));
  if (f == nullptr) return 1;
  if (f->zs_ready) inflateEnd(&f->zs);
  OPENSSL_free(f);
  BIO_set_data(b, nullptr);
  BIO_set_init(b, 0);
  return 1;
}

// Takes the next compressed bytes from below. Returns what BIO_read gave.
int Refill(BIO* b, Filter* f) {
  int n = BIO_read(BIO_next(b), f->input, kInputBytes);
  if (n > 0) {
    f->zs.next_in = f->input;
    f->zs.avail_in = static_cast<uInt>(n);
  }
  return n;
}

// Once the stream has ended only the end of input may follow.
int CheckTrailing(BIO* b, Filter* f) {
  if (f->zs.avail_in > 0) return Fail(f, "data after the end of the stream");
  int n = Refill(b, f);
  if (n > 0) return Fail(f, "data after the end of the stream");
  if (n == 0) {
    f->stage = Stage::kFinished;
    return 0;
  }
  BIO_copy_next_retry(b);
  return n;
}

int Read(BIO* b, char* out, int outl) {
  auto* f = static_cast<Filter*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (out == nullptr || outl <= 0 || f == nullptr) return 0;
  if (f->stage == Stage::kFailed || f->stage == Stage::kFinished) return 0;
  if (f->stage == Stage::kEnded) return CheckTrailing(b, f);
  if (!f->zs_ready) {
    int rc = inflateInit(&f->zs);
    if (rc != Z_OK) return Fail(f, zError(rc));
    f->zs_ready = true;
  }
  f->zs.next_out = reinterpret_cast<Bytef*>(out);
  f->zs.avail_out = static_cast<uInt>(outl);
  for (;;) {
    while (f->zs.avail_in > 0) {
      int rc = inflate(&f->zs, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        f->stage = Stage::kEnded;
        int produced = outl - static_cast<int>(f->zs.avail_out);
        return produced > 0 ? produced : CheckTrailing(b, f);
      }
      if (rc != Z_OK) return Fail(f, f->zs.msg != nullptr ? f->zs.msg : zError(rc));
      if (f->zs.avail_out == 0) return outl;
    }
    int produced = outl - static_cast<int>(f->zs.avail_out);
    int n = Refill(b, f);
    if (n > 0) continue;
    if (n == 0) {
      // The input ended inside the stream. What was inflated so far is handed
      // over; the queued error fails the read as a whole.
      Fail(f, "compressed data ended before the end of the stream");
      return produced;
    }
    BIO_copy_next_retry(b);
    return produced > 0 ? produced : n;
  }
}

int Write(BIO*, const char*, int) { return -1; }

long Ctrl(BIO* b, int cmd, long num, void* ptr) {
  BIO* next = BIO_next(b);
  switch (cmd) {
    case BIO_CTRL_RESET: {
      auto* f = static_cast<Filter*>(BIO_get_data(b));
      if (f->zs_ready) inflateEnd(&f->zs);
      f->zs = z_stream{};
      f->zs_ready = false;
      f->stage = Stage::kInflating;
      break;
    }
    case BIO_CTRL_DUP:
      return 0;
    default:
      break;
  }
  return next == nullptr ? 0 : BIO_ctrl(next, cmd, num, ptr);
}

long CallbackCtrl(BIO* b, int cmd, BIO_info_cb* fp) {
  BIO* next = BIO_next(b);
  return next == nullptr ? 0 : BIO_callback_ctrl(next, cmd, fp);
}

BIO_METHOD* MakeMethod() {
  int index = BIO_get_new_index();
  if (index == -1) return nullptr;
  BIO_METHOD* m = BIO_meth_new(index | BIO_TYPE_FILTER, "zlib inflate filter");
  if (m == nullptr) return nullptr;
  if (BIO_meth_set_create(m, Create) != 1 || BIO_meth_set_destroy(m, Destroy) != 1 ||
      BIO_meth_set_read(m, Read) != 1 || BIO_meth_set_write(m, Write) != 1 || BIO_meth_set_ctrl(m, Ctrl) != 1 ||
      BIO_meth_set_callback_ctrl(m, CallbackCtrl) != 1) {
    BIO_meth_free(m);
    return nullptr;
  }
  return m;
}

}  // namespace

const BIO_METHOD* ZlibFilterMethod() {
  static const BIO_METHOD* const method = MakeMethod();
  return method;
}

}  // namespace acdc::ac
