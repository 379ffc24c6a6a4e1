// A read-only BIO filter that inflates a zlib stream (RFC 1950) read from the next
// BIO of its chain. OpenSSL 3 as Debian builds it has no zlib filter of its own.
//
// It reads as the crypto library's own zlib filter does (inflated bytes straight
// into the caller's buffer, 0 at the end of the stream, an inflate failure queued as
// COMP_R_ZLIB_INFLATE_ERROR with the text "zlib error: ..." and answered with 0,
// retries of the next BIO passed up), with three deliberate differences, all of them
// so that damaged input never reads as a shorter text:
//   - input that ends before the stream does (a cut file, an empty file) queues the
//     inflate error; the library's filter answers 0 and the bytes so far look whole;
//   - bytes after the end of the stream queue the inflate error as well;
//   - after a failure every read answers 0 and queues nothing more.
// Writing is refused (-1).
#pragma once

#include <openssl/bio.h>

namespace acdc::ac {

// The filter's method, made once and kept for the life of the process; null when
// it cannot be made.
const BIO_METHOD* ZlibFilterMethod();

}  // namespace acdc::ac
