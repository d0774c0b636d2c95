#pragma once
// Starting a thread the system may not give: std::thread throws when it has no memory or
// address space left for one (for its state, or for its stack), and an uncaught throw ends
// the program. Each caller decides what to do without the thread, so an install fails
// cleanly or goes on a little slower.
#include <exception>
#include <thread>
#include <utility>

namespace kelo {

// False, with `thread` left unjoinable, when the system could not start one.
template <typename Body>
bool StartThread(std::thread* thread, Body&& body) {
  try {
    *thread = std::thread(std::forward<Body>(body));
    return true;
  } catch (const std::exception&) {  // std::bad_alloc or std::system_error
    return false;
  }
}

}  // namespace kelo
