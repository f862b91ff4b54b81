// Threads on std::thread; the handle shares the thread's end state.
#include "platform/threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/detail.h"
#include "platform/errors.h"

namespace {

// What the thread and its handle share: the handle may be closed first.
struct ThreadEnd {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
};

struct ThreadObject : tw_platform::KernelObject {
  std::shared_ptr<ThreadEnd> end = std::make_shared<ThreadEnd>();
  std::mutex joinMutex;
  std::thread thread;

  ~ThreadObject() override {
    // A thread still running when its last handle goes runs on by itself.
    if (thread.joinable()) thread.detach();
  }
};

ThreadObject* threadOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<ThreadObject*>(static_cast<tw_platform::KernelObject*>(h));
}

std::atomic<DWORD> g_nextThreadId{1};

}  // namespace

HANDLE CreateThread(LPVOID /*security*/, SIZE_T /*stackSize*/, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD /*flags*/, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* obj = new (std::nothrow) ThreadObject;
  if (obj == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    obj->thread = std::thread([end = obj->end, start, parameter] {
      const DWORD code = start(parameter);
      std::lock_guard<std::mutex> lock(end->mutex);
      end->exitCode = code;
      end->done = true;
      end->ended.notify_all();
    });
  } catch (const std::system_error&) {
    delete obj;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = g_nextThreadId++;
  return static_cast<tw_platform::KernelObject*>(obj);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  ThreadObject* obj = threadOf(handle);
  if (obj == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  {
    std::unique_lock<std::mutex> lock(obj->end->mutex);
    auto isDone = [&] { return obj->end->done; };
    if (milliseconds == INFINITE) {
      obj->end->ended.wait(lock, isDone);
    } else if (!obj->end->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), isDone)) {
      return WAIT_TIMEOUT;
    }
  }
  // Ended: joined here, so that the thread is gone when the wait returns.
  std::lock_guard<std::mutex> join(obj->joinMutex);
  if (obj->thread.joinable()) obj->thread.join();
  return WAIT_OBJECT_0;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  ThreadObject* obj = threadOf(thread);
  if (obj == nullptr || exitCode == nullptr) {
    SetLastError(obj == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(obj->end->mutex);
  *exitCode = obj->end->exitCode;
  return TRUE;
}

HRESULT CoInitializeEx(LPVOID /*reserved*/, DWORD /*coInit*/) { return S_OK; }

void CoUninitialize() {}
