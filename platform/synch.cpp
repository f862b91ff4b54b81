// Critical sections on recursive POSIX mutexes.
#include "platform/synch.h"

#include <pthread.h>

#include <new>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION storage misaligned");

pthread_mutex_t* mutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (cs->opaque) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(mutexOf(cs)); }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(mutexOf(cs)); }

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(mutexOf(cs)); }
