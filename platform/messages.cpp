// Windows and per-thread message queues on poll(2) and an eventfd.
#include "platform/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/msgqueue.h"
#include "platform/text.h"

namespace tw_platform {

namespace {

struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
};

struct QueuedMessage {
  MSG msg;
  uintptr_t socketTag;  // 0 for messages not made from socket readiness
};

}  // namespace

struct ThreadQueue {
  std::thread::id owner;
  int eventFd = -1;
  bool alive = true;
  std::deque<QueuedMessage> posted;
  std::deque<SentMessage*> sent;
  bool quitPending = false;
  int quitCode = 0;
  ~ThreadQueue() {
    if (eventFd >= 0) ::close(eventFd);
  }
};

namespace {

struct WindowClass {
  WNDCLASSA wc;
  std::string name;
  int windows = 0;
};

struct Window {
  std::string className;
  WNDPROC proc;
  HINSTANCE instance;
  std::vector<BYTE> extra;
  LONG_PTR userData = 0;
  std::shared_ptr<ThreadQueue> queue;
};

// One lock for classes, windows and queues. Window procedures never run
// under it.
std::mutex g_mu;
std::condition_variable g_sentDone;
std::map<std::string, WindowClass> g_classes;  // key: lower-case name
std::unordered_map<uintptr_t, Window> g_windows;
uintptr_t g_nextWindow = 0x10010;  // never reused, so stale handles stay invalid
std::atomic<DWORD> g_tickBias{0};

uintptr_t key(HWND h) { return reinterpret_cast<uintptr_t>(h); }

// Runs when the thread ends: its windows go with it, senders waiting on it
// are released.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(g_mu);
    queue->alive = false;
    for (auto it = g_windows.begin(); it != g_windows.end();) {
      if (it->second.queue == queue) {
        auto cls = g_classes.find(tw_platform::asciiLower(it->second.className));
        if (cls != g_classes.end()) cls->second.windows--;
        it = g_windows.erase(it);
      } else {
        ++it;
      }
    }
    for (SentMessage* s : queue->sent) s->done = true;
    queue->sent.clear();
    queue->posted.clear();
    g_sentDone.notify_all();
  }
};

thread_local QueueHolder t_queue;

std::shared_ptr<ThreadQueue> currentQueue() {
  if (!t_queue.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->owner = std::this_thread::get_id();
    q->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::lock_guard<std::mutex> lock(g_mu);
    t_queue.queue = q;
  }
  return t_queue.queue;
}

void signalQueue(ThreadQueue& q) {
  if (q.eventFd < 0) return;
  uint64_t one = 1;
  ssize_t n = ::write(q.eventFd, &one, sizeof one);
  (void)n;  // a full counter still wakes the reader
}

void drainEventFd(ThreadQueue& q) {
  uint64_t v;
  while (::read(q.eventFd, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
  }
}

Window* findWindow(HWND h) {
  auto it = g_windows.find(key(h));
  return it == g_windows.end() ? nullptr : &it->second;
}

bool messageMatches(const MSG& m, HWND hwnd, UINT fmin, UINT fmax) {
  if (hwnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) {
    if (m.hwnd != nullptr) return false;
  } else if (hwnd != nullptr && m.hwnd != hwnd) {
    return false;
  }
  if (fmin == 0 && fmax == 0) return true;
  return m.message >= fmin && m.message <= fmax;
}

bool quitMatches(HWND hwnd, UINT fmin, UINT fmax) {
  if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return false;
  if (fmin == 0 && fmax == 0) return true;
  return WM_QUIT >= fmin && WM_QUIT <= fmax;
}

void fillTimeAndPoint(MSG& m) {
  m.time = GetTickCount();
  m.pt.x = 0;
  m.pt.y = 0;
}

// Runs the messages other threads sent to this thread's windows.
void runSentMessages(const std::shared_ptr<ThreadQueue>& q) {
  std::unique_lock<std::mutex> lock(g_mu);
  while (!q->sent.empty()) {
    SentMessage* s = q->sent.front();
    q->sent.pop_front();
    Window* w = findWindow(s->hwnd);
    WNDPROC proc = w ? w->proc : nullptr;
    LRESULT r = 0;
    if (proc) {
      lock.unlock();
      r = proc(s->hwnd, s->message, s->wParam, s->lParam);
      lock.lock();
    }
    s->result = r;
    s->done = true;
    g_sentDone.notify_all();
  }
}

bool hasInput(const ThreadQueue& q, DWORD wakeMask) {
  if ((wakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) && (!q.posted.empty() || q.quitPending)) {
    return true;
  }
  return (wakeMask & QS_SENDMESSAGE) && !q.sent.empty();
}

// Looks at the thread's sockets and its wake-up descriptor for at most
// timeoutMs (-1: no limit); readiness becomes posted messages.
void pollInput(const std::shared_ptr<ThreadQueue>& q, int timeoutMs) {
  std::vector<PollSource> sources;
  bool ready = false;
  socketPollSources(q.get(), sources, ready);
  if (ready) timeoutMs = 0;
  std::vector<pollfd> fds;
  fds.reserve(sources.size() + 1);
  fds.push_back(pollfd{q->eventFd, POLLIN, 0});
  for (const PollSource& s : sources) {
    short ev = 0;
    if (s.want & kPollIn) ev |= POLLIN;
    if (s.want & kPollOut) ev |= POLLOUT;
    if (s.want & kPollPeerClosed) ev |= POLLRDHUP;
    fds.push_back(pollfd{s.fd, ev, 0});
  }
  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready) socketReadyWithoutPoll(q.get());
  if (n <= 0) return;
  if (fds[0].revents) drainEventFd(*q);
  for (size_t i = 1; i < fds.size(); ++i) {
    short r = fds[i].revents;
    if (r == 0) continue;
    unsigned bits = 0;
    if (r & POLLIN) bits |= kPollIn;
    if (r & POLLOUT) bits |= kPollOut;
    if (r & POLLRDHUP) bits |= kPollPeerClosed;
    if (r & POLLERR) bits |= kPollError;
    if (r & (POLLHUP | POLLNVAL)) bits |= kPollHangup;
    socketPollResult(sources[i - 1].key, bits);
  }
}

ULONGLONG monotonicMillis() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

// Takes the first matching posted message (or WM_QUIT) into msg.
bool takeMessage(ThreadQueue& q, LPMSG msg, HWND hwnd, UINT fmin, UINT fmax, bool remove) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!messageMatches(it->msg, hwnd, fmin, fmax)) continue;
    *msg = it->msg;
    if (remove) q.posted.erase(it);
    return true;
  }
  if (q.quitPending && quitMatches(hwnd, fmin, fmax)) {
    MSG m{};
    m.message = WM_QUIT;
    m.wParam = static_cast<WPARAM>(q.quitCode);
    fillTimeAndPoint(m);
    *msg = m;
    if (remove) q.quitPending = false;
    return true;
  }
  return false;
}

bool postTo(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, uintptr_t tag) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (hwnd == nullptr) {
      q = nullptr;
    } else {
      Window* w = findWindow(hwnd);
      if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
      }
      q = w->queue;
    }
  }
  if (!q) q = currentQueue();
  MSG m{};
  m.hwnd = hwnd;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  fillTimeAndPoint(m);
  std::lock_guard<std::mutex> lock(g_mu);
  if (!q->alive) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  q->posted.push_back(QueuedMessage{m, tag});
  if (q->owner != std::this_thread::get_id()) signalQueue(*q);
  return true;
}

}  // namespace

std::shared_ptr<ThreadQueue> windowQueue(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  Window* w = findWindow(hwnd);
  return w ? w->queue : nullptr;
}

void wakeQueue(const std::shared_ptr<ThreadQueue>& queue) {
  if (!queue || queue->owner == std::this_thread::get_id()) return;
  signalQueue(*queue);
}

bool postSocketMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, uintptr_t tag) {
  return postTo(hwnd, message, wParam, lParam, tag);
}

void discardSocketMessages(const std::shared_ptr<ThreadQueue>& queue, uintptr_t tag) {
  if (!queue) return;
  std::lock_guard<std::mutex> lock(g_mu);
  auto& p = queue->posted;
  p.erase(std::remove_if(p.begin(), p.end(),
                         [tag](const QueuedMessage& m) { return m.socketTag == tag; }),
          p.end());
}

void setTickCountBiasForTests(DWORD bias) { g_tickBias.store(bias); }

}  // namespace tw_platform

using namespace tw_platform;

ATOM RegisterClassA(const WNDCLASSA* wndClass) {
  if (wndClass == nullptr || wndClass->lpszClassName == nullptr ||
      wndClass->lpszClassName[0] == '\0' || wndClass->lpfnWndProc == nullptr ||
      wndClass->cbWndExtra < 0 || wndClass->cbClsExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  std::string k = tw_platform::asciiLower(wndClass->lpszClassName);
  if (g_classes.count(k)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  static ATOM nextAtom = 0xC000;
  WindowClass c;
  c.wc = *wndClass;
  c.name = wndClass->lpszClassName;
  c.wc.lpszClassName = nullptr;  // the caller's string need not outlive the call
  c.wc.lpszMenuName = nullptr;
  g_classes.emplace(k, std::move(c));
  return nextAtom++;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_classes.find(tw_platform::asciiLower(className ? className : ""));
  if (it == g_classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (it->second.windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  g_classes.erase(it);
  return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  std::shared_ptr<ThreadQueue> q = currentQueue();
  HWND hwnd;
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_classes.find(tw_platform::asciiLower(className ? className : ""));
    if (it == g_classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    Window w;
    w.className = it->second.name;
    w.proc = it->second.wc.lpfnWndProc;
    w.instance = instance;
    w.extra.assign(static_cast<size_t>(it->second.wc.cbWndExtra), 0);
    w.queue = q;
    proc = w.proc;
    hwnd = reinterpret_cast<HWND>(g_nextWindow);
    g_nextWindow += 4;
    g_windows.emplace(key(hwnd), std::move(w));
    it->second.windows++;
  }
  CREATESTRUCTA cs{};
  cs.lpCreateParams = param;
  cs.hInstance = instance;
  cs.hMenu = menu;
  cs.hwndParent = parent;
  cs.cy = height;
  cs.cx = width;
  cs.y = y;
  cs.x = x;
  cs.style = static_cast<LONG>(style);
  cs.lpszName = windowName;
  cs.lpszClass = className;
  cs.dwExStyle = exStyle;
  LPARAM lp = reinterpret_cast<LPARAM>(&cs);
  if (!proc(hwnd, WM_NCCREATE, 0, lp) || !IsWindow(hwnd)) {
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (proc(hwnd, WM_CREATE, 0, lp) == -1 || !IsWindow(hwnd)) {
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Window* w = findWindow(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (w->queue->owner != std::this_thread::get_id()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    proc = w->proc;
  }
  proc(hwnd, WM_DESTROY, 0, 0);
  proc(hwnd, WM_NCDESTROY, 0, 0);
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_windows.find(key(hwnd));
  if (it == g_windows.end()) return TRUE;  // destroyed again from its own WM_DESTROY
  std::shared_ptr<ThreadQueue> q = it->second.queue;
  auto cls = g_classes.find(tw_platform::asciiLower(it->second.className));
  if (cls != g_classes.end()) cls->second.windows--;
  g_windows.erase(it);
  auto& p = q->posted;
  p.erase(std::remove_if(p.begin(), p.end(),
                         [hwnd](const QueuedMessage& m) { return m.msg.hwnd == hwnd; }),
          p.end());
  // Senders waiting on this window are released with 0.
  for (auto s = q->sent.begin(); s != q->sent.end();) {
    if ((*s)->hwnd == hwnd) {
      (*s)->done = true;
      s = q->sent.erase(s);
    } else {
      ++s;
    }
  }
  g_sentDone.notify_all();
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  return findWindow(hwnd) != nullptr;
}

LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    default:
      return 0;
  }
}

namespace {

// Reads or writes one pointer-sized slot of a window.
bool windowSlot(HWND hwnd, int index, bool write, LONG_PTR value, LONG_PTR& old) {
  std::lock_guard<std::mutex> lock(g_mu);
  Window* w = findWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (index >= 0) {
    size_t off = static_cast<size_t>(index);
    if (off + sizeof old > w->extra.size()) {
      SetLastError(ERROR_INVALID_INDEX);
      return false;
    }
    std::memcpy(&old, w->extra.data() + off, sizeof old);
    if (write) std::memcpy(w->extra.data() + off, &value, sizeof value);
    return true;
  }
  switch (index) {
    case GWLP_USERDATA:
      old = w->userData;
      if (write) w->userData = value;
      return true;
    case GWLP_WNDPROC:
      old = reinterpret_cast<LONG_PTR>(w->proc);
      if (write) {
        if (value == 0) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return false;
        }
        w->proc = reinterpret_cast<WNDPROC>(value);
      }
      return true;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      if (write) w->instance = reinterpret_cast<HINSTANCE>(value);
      return true;
    default:
      SetLastError(ERROR_INVALID_INDEX);
      return false;
  }
}

}  // namespace

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  LONG_PTR old = 0;
  return windowSlot(hwnd, index, false, 0, old) ? old : 0;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  LONG_PTR old = 0;
  return windowSlot(hwnd, index, true, value, old) ? old : 0;
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return postTo(hwnd, message, wParam, lParam, 0) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q;
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Window* w = findWindow(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    q = w->queue;
    proc = w->proc;
  }
  if (q->owner == std::this_thread::get_id()) return proc(hwnd, message, wParam, lParam);
  SentMessage s{hwnd, message, wParam, lParam};
  std::unique_lock<std::mutex> lock(g_mu);
  if (!q->alive) return 0;
  q->sent.push_back(&s);
  signalQueue(*q);
  g_sentDone.wait(lock, [&s] { return s.done; });
  return s.result;
}

void PostQuitMessage(int exitCode) {
  std::shared_ptr<ThreadQueue> q = currentQueue();
  std::lock_guard<std::mutex> lock(g_mu);
  q->quitPending = true;
  q->quitCode = exitCode;
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<ThreadQueue> q = currentQueue();
  runSentMessages(q);
  bool remove = (removeMsg & PM_REMOVE) != 0;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (takeMessage(*q, msg, hwnd, filterMin, filterMax, remove)) return TRUE;
  }
  pollInput(q, 0);
  std::lock_guard<std::mutex> lock(g_mu);
  return takeMessage(*q, msg, hwnd, filterMin, filterMax, remove) ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Window* w = findWindow(msg->hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->queue->owner != std::this_thread::get_id()) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
    proc = w->proc;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE*, BOOL, DWORD milliseconds,
                                DWORD wakeMask) {
  if (count != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::shared_ptr<ThreadQueue> q = currentQueue();
  ULONGLONG start = monotonicMillis();
  for (bool first = true;; first = false) {
    {
      std::lock_guard<std::mutex> lock(g_mu);
      if (hasInput(*q, wakeMask)) return WAIT_OBJECT_0 + count;
    }
    int timeout;
    if (milliseconds == INFINITE) {
      timeout = -1;
    } else {
      ULONGLONG elapsed = monotonicMillis() - start;
      if (elapsed >= milliseconds && !first) return WAIT_TIMEOUT;
      timeout = elapsed >= milliseconds ? 0 : static_cast<int>(milliseconds - elapsed);
    }
    // A wake-up of the descriptor alone (a registration changed, a message
    // for another filter) loops with the time that is left.
    pollInput(q, timeout);
    std::lock_guard<std::mutex> lock(g_mu);
    if (hasInput(*q, wakeMask)) return WAIT_OBJECT_0 + count;
  }
}

DWORD GetTickCount() { return static_cast<DWORD>(monotonicMillis() + g_tickBias.load()); }

void GetSystemTimeAsFileTime(LPFILETIME fileTime) {
  if (fileTime == nullptr) return;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // 1601-01-01 to 1970-01-01 in 100-nanosecond intervals.
  const ULONGLONG epochDelta = 116444736000000000ULL;
  ULONGLONG t = epochDelta + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL +
                static_cast<ULONGLONG>(ts.tv_nsec) / 100u;
  fileTime->dwLowDateTime = static_cast<DWORD>(t);
  fileTime->dwHighDateTime = static_cast<DWORD>(t >> 32);
}
