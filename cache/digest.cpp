#include "cache/digest.h"

#include "platform/services.h"

namespace acdc::cache {

namespace {

// One context per thread, reused by every digest the thread computes: making and
// freeing one per call costs three times the digest of a short path.
struct ThreadDigestContext {
  void* ctx = nullptr;
  ~ThreadDigestContext() {
    if (ctx != nullptr) platform::OsFreeDigestContext(ctx);
  }
};

thread_local ThreadDigestContext t_context;

}  // namespace

bool DigestPath(const char* path, size_t len, PathDigest* out) {
  ThreadDigestContext& t = t_context;
  if (t.ctx == nullptr) {
    t.ctx = platform::NewDigestContext();
    if (t.ctx == nullptr) return false;
  }
  uint32_t written = 0;
  return platform::Sha256(t.ctx, path, len, out->bytes, &written) && written == sizeof out->bytes;
}

}  // namespace acdc::cache
