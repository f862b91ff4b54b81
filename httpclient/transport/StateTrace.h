// One way for the transport's state machines to change state: every change
// goes through changeState(), which a debug build traces as
// "<machine>: <old> -> <new>" on stderr when TW_TRACE_TRANSPORT is set.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace velmora::network::component {

template <typename State>
void changeState(State& state, State next, const char* machine, const char* (*name)(State)) {
#ifndef NDEBUG
  static const bool trace = std::getenv("TW_TRACE_TRANSPORT") != nullptr;
  if (trace && next != state) std::fprintf(stderr, "%s: %s -> %s\n", machine, name(state), name(next));
#else
  (void)machine;
  (void)name;
#endif
  state = next;
}

}  // namespace velmora::network::component
