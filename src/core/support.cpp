#include "core/support.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <tbb/global_control.h>

namespace vantrel {

void panic(const std::string& message) { throw Panic(message); }

void eprint(std::string_view line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

namespace {

std::string non_finite(double x) {
  if (x != x) return "NaN";
  return x > 0 ? "inf" : "-inf";
}

// Strips a "+" and leading zeros from the exponent of a printf %e result.
std::string rewrite_exponent(const std::string& s) {
  const auto e = s.find_first_of("eE");
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e);
  std::size_t i = e + 1;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  while (i + 1 < s.size() && s[i] == '0') ++i;
  return mant + "e" + (neg ? "-" : "") + s.substr(i);
}

}  // namespace

std::string fmt_fixed(double x, int decimals) {
  if (!std::isfinite(x)) return non_finite(x);
  // printf rounds the exact binary value half-to-even, which is what the console format wants.
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

std::string fmt_exp(double x, int decimals) {
  if (!std::isfinite(x)) return non_finite(x);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", decimals, x);
  return rewrite_exponent(buf);
}

std::string fmt_float(double x) {
  if (!std::isfinite(x)) return non_finite(x);
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  std::string s(buf, res.ptr);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string fmt_debug(double x) {
  if (!std::isfinite(x)) return non_finite(x);
  // Shortest round-trip digits; scientific form only for very large or small magnitudes.
  const double ax = std::fabs(x);
  char buf[400];
  if (ax != 0.0 && (ax < 1e-4 || ax >= 1e16)) {
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string s = rewrite_exponent(std::string(buf, res.ptr));
    return s;
  }
  return fmt_float(x);
}

std::string fmt_debug_opt(std::optional<double> x) {
  if (!x) return "None";
  return "Some(" + fmt_debug(*x) + ")";
}

std::string pad_left(std::string_view s, std::size_t width) {
  if (s.size() >= width) return std::string(s);
  return std::string(width - s.size(), ' ') + std::string(s);
}

cplx csqrt_principal(cplx z) {
  const double r = std::sqrt(std::hypot(z.real(), z.imag()));
  const double half = 0.5 * std::atan2(z.imag(), z.real());
  return {r * std::cos(half), r * std::sin(half)};
}

namespace {

std::size_t threads_from_env() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    const char* v = std::getenv(name);
    if (!v || !*v) continue;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v, &end, 10);
    if (end && *end == '\0' && n > 0) return n;
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw ? hw : 1;
}

}  // namespace

std::size_t worker_count() {
  static const std::size_t n = threads_from_env();
  return n;
}

tbb::task_arena& worker_pool() {
  // oneTBB caps its workers at one less than the hardware threads unless told otherwise; a pool
  // asked for more threads than the machine has gets them, as asked (and no library warning on
  // standard error). The limit outlives the arena: statics die in reverse order.
  static const tbb::global_control limit(
      tbb::global_control::max_allowed_parallelism,
      std::max<std::size_t>(worker_count(), std::thread::hardware_concurrency()));
  static tbb::task_arena arena(static_cast<int>(worker_count()));
  return arena;
}

}  // namespace vantrel
