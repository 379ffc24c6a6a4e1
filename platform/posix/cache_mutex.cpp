#include "platform/cache_mutex.h"

#include <pthread.h>

namespace acdc::platform {

namespace {

// Static initialisation: the mutexes exist before any thread can ask for them.
pthread_mutex_t g_mutexes[static_cast<int>(CacheMutex::kCount)] = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

}  // namespace

void LockCacheMutex(CacheMutex m) { pthread_mutex_lock(&g_mutexes[static_cast<int>(m)]); }
void UnlockCacheMutex(CacheMutex m) { pthread_mutex_unlock(&g_mutexes[static_cast<int>(m)]); }

}  // namespace acdc::platform
