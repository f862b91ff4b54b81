// How the socket area and the message queues meet. Only files in platform/
// include this.
//
// The queue of a thread asks the socket area which descriptors to watch
// (socketPollSources) and hands back what poll(2) saw (socketPollResult); the
// socket area turns readiness into posted messages with postSocketMessage.
// Lock order: the socket area's lock may be held while calling into the
// queues, never the other way round.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/messages.h"

namespace tw_platform {

struct ThreadQueue;

// Readiness bits, independent of the poll(2) constants.
enum : unsigned {
  kPollIn = 1,
  kPollOut = 2,
  kPollPeerClosed = 4,  // the peer closed its sending side
  kPollError = 8,
  kPollHangup = 16,
};

struct PollSource {
  int fd;
  unsigned want;  // kPollIn | kPollOut | kPollPeerClosed
  uintptr_t key;  // handed back to socketPollResult
};

// The queue of the window's thread, or null for an invalid window.
std::shared_ptr<ThreadQueue> windowQueue(HWND hwnd);

// Wakes the queue's thread when it waits (from any thread).
void wakeQueue(const std::shared_ptr<ThreadQueue>& queue);

// Posts a notification for the window, tagged with the socket it is about,
// so that discardSocketMessages can take it back. False when the window is
// gone.
bool postSocketMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, uintptr_t tag);

// Removes the queued notifications tagged with the socket.
void discardSocketMessages(const std::shared_ptr<ThreadQueue>& queue, uintptr_t tag);

// Implemented by the socket area: the descriptors the queue's thread must
// watch, and whether some socket has an event ready without waiting.
void socketPollSources(const ThreadQueue* queue, std::vector<PollSource>& sources, bool& ready);
// Implemented by the socket area: what poll saw for one source (0 when the
// source was ready without waiting).
void socketPollResult(uintptr_t key, unsigned revents);
// Implemented by the socket area: the events that need no poll.
void socketReadyWithoutPoll(const ThreadQueue* queue);

}  // namespace tw_platform
