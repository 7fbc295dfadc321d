#pragma once
// Small helpers shared by the GoogleTest files.

#include <string>
#include <utility>

#include "core/support.hpp"

namespace vantrel::testing {

// Runs f; returns the message of the stop (Panic) it raised, or "" when it did not stop.
template <class F>
std::string stop_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const Panic& p) {
    return p.what();
  }
  return "";
}

// Runs f; returns the message of the error (Error) it raised, or "" when it did not fail.
template <class F>
std::string error_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

}  // namespace vantrel::testing
