// Console control events on a dedicated sigwait thread.
#include "platform/console.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/errors.h"

namespace {

std::mutex g_mutex;
std::vector<PHANDLER_ROUTINE> g_handlers;
bool g_threadStarted = false;

sigset_t controlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  return set;
}

DWORD ctrlTypeFor(int sig) {
  switch (sig) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
  }
}

void* signalThread(void*) {
  sigset_t set = controlSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::vector<PHANDLER_ROUTINE> handlers;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      handlers = g_handlers;
    }
    bool handled = false;
    for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) {
      handled = (*it)(ctrlTypeFor(sig)) != FALSE;
    }
    if (!handled) {
      // Default handling: the signal's own disposition, delivered to this
      // thread, which ends the process for every signal handled here.
      signal(sig, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, sig);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      raise(sig);
    }
  }
  return nullptr;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (add) {
    g_handlers.push_back(handler);
    if (!g_threadStarted) {
      sigset_t set = controlSignals();
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
      pthread_t tid;
      if (pthread_create(&tid, nullptr, signalThread, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        g_handlers.pop_back();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
      }
      pthread_detach(tid);
      g_threadStarted = true;
    }
    return TRUE;
  }
  auto it = std::find(g_handlers.rbegin(), g_handlers.rend(), handler);
  if (it == g_handlers.rend()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  g_handlers.erase(std::next(it).base());
  return TRUE;
}
