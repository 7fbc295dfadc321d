#pragma once
// Shared support: failure types, console lines, number formats, numeric helpers and the worker pool.
// Every printed line and every message of the system is built from these helpers.

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace vantrel {

using u64 = std::uint64_t;
using i32 = std::int32_t;
using cplx = std::complex<double>;
using Vec3 = std::array<double, 3>;
using CVec3 = std::array<cplx, 3>;

inline constexpr u64 NONE_U64 = std::numeric_limits<u64>::max();

// Common base of the two failure kinds. It keeps the message whole: messages quote the caller's
// input (paths, section names, TOML text), which may hold NULs, where what() would stop.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message)
      : std::runtime_error(message), message_(std::make_shared<const std::string>(message)) {}
  explicit Failure(const char* message) : Failure(std::string(message)) {}
  const std::string& message() const noexcept { return *message_; }

 private:
  std::shared_ptr<const std::string> message_;  // shared, so copying the exception cannot throw
};

// An error value: a failure the caller can cause. Reaches Python as RuntimeError with this message.
struct Error : Failure {
  using Failure::Failure;
};

// A stop: a broken invariant or an index out of range. Reaches Python as PanicException.
struct Panic : Failure {
  using Failure::Failure;
};

[[noreturn]] void panic(const std::string& message);

// Stops with "index out of bounds: the len is {len} but the index is {index}" unless index < len.
inline void check_index(u64 index, u64 len) {
  if (index >= len) [[unlikely]] {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
  }
}

// Writes one whole line (the caller includes the trailing newline) to file descriptor 2 in a
// single write, so lines from concurrent callers never interleave.
void eprint(std::string_view line);

// ---- number formats -------------------------------------------------------------------------
// {:.N}: fixed point, N decimals, ties to even; NaN -> "NaN", infinities -> "inf" / "-inf".
std::string fmt_fixed(double x, int decimals);
// {:.Ne}: N mantissa decimals, 'e', exponent without '+' or leading zeros ("1.0000e10", "0.000e0").
std::string fmt_exp(double x, int decimals);
// {} of a float: shortest round-trip, never an exponent, ".0" added to whole numbers.
std::string fmt_float(double x);
// {:?} of an optional float: "None" or "Some(x)", x shortest round-trip with an exponent where
// the shortest form has one ("Some(1e-12)"), ".0" added to whole mantissas ("Some(2.0)").
std::string fmt_debug_opt(std::optional<double> x);
// {:?} of a float (shortest round-trip debug form, as inside fmt_debug_opt).
std::string fmt_debug(double x);
// {:W}: right-align in W columns.
std::string pad_left(std::string_view s, std::size_t width);

// ---- numeric helpers ------------------------------------------------------------------------
// Float -> integer conversion that saturates at the type's bounds and maps NaN to 0.
template <class I>
I saturating_cast(double x) {
  if (x != x) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<I>::max());
  if (x <= lo) return std::numeric_limits<I>::min();
  if (x >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(x);
}

// Textbook complex division ((ac+bd) + (bc-ad)j)/(c^2+d^2); 0+0j as divisor gives NaN.
inline cplx cdiv(cplx a, cplx b) {
  const double c = b.real(), d = b.imag();
  const double den = c * c + d * d;
  return {(a.real() * c + a.imag() * d) / den, (a.imag() * c - a.real() * d) / den};
}
// Textbook complex product (no NaN recovery as in the C99 Annex G rules).
inline cplx cmul(cplx a, cplx b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
// Principal square root: modulus sqrt(|z|), half the argument from atan2.
cplx csqrt_principal(cplx z);
// signum with NaN -> NaN, +0 -> +1, -0 -> -1.
inline double signum(double x) {
  if (x != x) return x;
  return std::signbit(x) ? -1.0 : 1.0;
}

// Union-find over 0 .. n−1 (path halving); the root of a set is its smallest member.
struct DisjointSets {
  std::vector<u64> parent;
  explicit DisjointSets(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), u64{0}); }
  u64 find(u64 x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void unite(u64 a, u64 b) {
    a = find(a);
    b = find(b);
    if (a != b) parent[a < b ? b : a] = a < b ? a : b;
  }
};

// ---- worker pool ----------------------------------------------------------------------------
// The one global pool: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the hardware threads.
tbb::task_arena& worker_pool();
std::size_t worker_count();

// Runs body(i) for i in [0, n) on the global pool; the calling thread waits. Each i must write
// only its own output slots, so results do not depend on the thread count. An exception thrown
// by a body reaches the caller.
template <class F>
void parallel_for(std::size_t n, F&& body, std::size_t grain = 1) {
  if (n == 0) return;
  worker_pool().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
                      });
  });
}

}  // namespace vantrel
