#pragma once
// Small helpers shared by the GoogleTest files.

#include <string>
#include <utility>

#include "core/support.hpp"

namespace vantrel::testing {

// Runs f; returns the message of the exception of type Raised it threw, or "" when it threw none.
template <class Raised, class F>
std::string raised_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const Raised& e) {
    return e.what();
  }
  return "";
}

// The message of the stop (Panic) f raised, or "".
template <class F>
std::string stop_message(F&& f) {
  return raised_message<Panic>(std::forward<F>(f));
}

// The message of the error (Error) f raised, or "".
template <class F>
std::string error_message(F&& f) {
  return raised_message<Error>(std::forward<F>(f));
}

}  // namespace vantrel::testing
