#include "aMutex.h"

#include <pthread.h>
#include <string.h>

#include <atomic>
#include <new>

namespace {

constexpr size_t kNameSize = 256;

}  // namespace

struct aMutex {
  pthread_mutex_t lock;
  char name[kNameSize];
  // Holder and its lock depth let Destroy release every level the caller took.
  // Only the holder writes them, while it holds the lock.
  std::atomic<pthread_t> owner;
  uint32_t depth;
};

namespace {

// Only the holder ever finds its own id in owner, so the depth is read only
// by the thread that writes it.
bool sHeldByCaller(const aMutex* m) {
  return pthread_equal(m->owner.load(std::memory_order_relaxed), pthread_self());
}

void sTaken(aMutex* m) {
  if (m->depth++ == 0) m->owner.store(pthread_self(), std::memory_order_relaxed);
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
  if (name == nullptr) name = "";
  const size_t length = strlen(name);
  if (length >= kNameSize) return nullptr;
  aMutex* m = new (std::nothrow) aMutex;
  if (m == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  bool ok = pthread_mutexattr_init(&attributes) == 0;
  if (ok) {
    ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
         pthread_mutex_init(&m->lock, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
  }
  if (!ok) {
    delete m;
    return nullptr;
  }
  memcpy(m->name, name, length + 1);
  m->owner.store(pthread_t(), std::memory_order_relaxed);
  m->depth = 0;
  return m;
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aMutex* m = *mutex;
  if (pthread_mutex_trylock(&m->lock) != 0) return aErrBusy;
  // The caller now holds it: its own earlier locks plus this one.
  sTaken(m);
  while (m->depth > 0) {
    if (--m->depth == 0) m->owner.store(pthread_t(), std::memory_order_relaxed);
    pthread_mutex_unlock(&m->lock);
  }
  pthread_mutex_destroy(&m->lock);
  delete m;
  *mutex = nullptr;
  return aErrNone;
}

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  if (pthread_mutex_lock(&mutex->lock) != 0) return aErrParam;
  sTaken(mutex);
  return aErrNone;
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  if (pthread_mutex_trylock(&mutex->lock) != 0) return aErrBusy;
  sTaken(mutex);
  return aErrNone;
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  // Unlocking a lock the caller does not hold would corrupt its depth.
  if (!sHeldByCaller(mutex)) return aErrParam;
  if (--mutex->depth == 0) mutex->owner.store(pthread_t(), std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex->lock);
  return aErrNone;
}

const char* aMutex_Identifier(aMutex* mutex) {
  if (mutex == nullptr) return "";
  return mutex->name;
}
