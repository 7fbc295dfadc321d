#include "fd/sweep.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "fd/free_dofs.hpp"
#include "fd/solver/select.hpp"
#include "fd/surface_terms.hpp"
#include "fd/tet_assembly.hpp"

namespace vantrel {

double seconds_since(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const long long whole = ns / 1000000000LL;
  return static_cast<double>(whole) + static_cast<double>(ns - whole * 1000000000LL) / 1e9;
}

MaterialTensors tensors_at(const Mesh& mesh, const std::vector<MaterialRegion>* materials,
                           const std::vector<PmlRegion>* pml_regions, double freq_hz) {
  const u64 n_tets = mesh.tets.size();
  if (materials && pml_regions)
    return material_tensors_with_pml(n_tets, *materials, *pml_regions, mesh, freq_hz);
  if (materials) return material_tensors_at(n_tets, *materials, freq_hz);
  if (pml_regions) return material_tensors_with_pml(n_tets, {}, *pml_regions, mesh, freq_hz);
  MaterialTensors t;
  t.eps.assign(n_tets, tensor_identity());
  t.mu.assign(n_tets, tensor_identity());
  return t;
}

namespace {

using Clock = std::chrono::steady_clock;

// 2 pi and the speed of light (m/s) as the sweep uses them for k0 = 2 pi f / c0
constexpr double SWEEP_TWO_PI = 6.283185307179586;
constexpr double SWEEP_C0 = 299792458.0;
constexpr u64 U32_NONE = std::numeric_limits<std::uint32_t>::max();

// The system pattern on the free unknowns, merged once per sweep. Every element entry and every
// surface slot whose row and column are free is a source; sources are bucketed by local column,
// sorted by (local row, source) and numbered: the unique positions come out column-major with
// rows ascending. The pattern does not depend on the values, so every frequency hands the same
// triplet positions to the back end (a slot that happens to be exactly zero stays in place).
struct MergedPattern {
  u64 n_free = 0;
  u64 n_elem = 0;
  std::vector<u64> free;        // local -> global
  std::vector<u64> g2l;         // global -> local, NONE_U64 at constrained unknowns
  std::vector<u64> rows, cols;  // unique positions (local numbers)
  std::vector<u64> col_start;   // bucket range per local column
  std::vector<u64> bucket;      // (position << 32) | source, sorted per column
  std::vector<std::uint32_t> slot_target;  // per compact surface slot: position, or U32_NONE
};

MergedPattern build_pattern(const FemBasis& basis, const std::vector<u64>& pec_faces,
                            const Mesh& mesh, const ElementTriplets& el, const SurfaceFaces& sf) {
  MergedPattern p;
  const u64 n = basis.n_dofs;
  FreeNumbering numbering = build_free_numbering(n, build_constrained_set(basis, pec_faces));
  p.free = std::move(numbering.free);
  p.g2l = std::move(numbering.local_of);
  p.n_free = p.free.size();
  p.n_elem = el.rows.size();
  const u64 n_slots = 64 * sf.faces.size();
  if (p.n_elem + n_slots >= U32_NONE || p.n_free >= U32_NONE)
    throw Error("problem too large for the sweep's matrix pattern (" + std::to_string(p.n_free) +
                " unknowns)");

  auto slot_rc = [&](u64 j, u64& r, u64& c) {
    const auto& dofs = basis.face_dofs[sf.faces[j / 64]];
    r = p.g2l[dofs[(j % 64) / 8]];
    c = p.g2l[dofs[j % 8]];
  };

  // count per column, then bucket (local row, source). Both passes run in parallel over blocks
  // of sources with atomic column counters; the order inside a column is made canonical by the
  // sort below, so the result does not depend on the thread count.
  const u64 n_src = p.n_elem + n_slots;
  auto source_rc = [&](u64 k, u64& r, u64& c) {
    if (k < p.n_elem) {
      r = p.g2l[el.rows[k]];
      c = p.g2l[el.cols[k]];
    } else {
      slot_rc(k - p.n_elem, r, c);
    }
  };
  constexpr u64 BLOCK = 1 << 16;
  const u64 n_blocks = (n_src + BLOCK - 1) / BLOCK;
  p.col_start.assign(p.n_free + 1, 0);
  parallel_for(n_blocks, [&](std::size_t blk) {
    for (u64 k = blk * BLOCK; k < std::min(n_src, (blk + 1) * BLOCK); ++k) {
      u64 r, c;
      source_rc(k, r, c);
      if (r != NONE_U64 && c != NONE_U64)
        std::atomic_ref<u64>(p.col_start[c + 1]).fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (u64 c = 0; c < p.n_free; ++c) p.col_start[c + 1] += p.col_start[c];
  p.bucket.resize(p.col_start[p.n_free]);
  {
    std::vector<u64> fill(p.col_start.begin(), p.col_start.end() - 1);
    parallel_for(n_blocks, [&](std::size_t blk) {
      for (u64 k = blk * BLOCK; k < std::min(n_src, (blk + 1) * BLOCK); ++k) {
        u64 r, c;
        source_rc(k, r, c);
        if (r != NONE_U64 && c != NONE_U64) {
          const u64 at = std::atomic_ref<u64>(fill[c]).fetch_add(1, std::memory_order_relaxed);
          p.bucket[at] = (r << 32) | k;
        }
      }
    });
  }

  // sort each column and count its distinct rows
  std::vector<u64> ustart(p.n_free + 1, 0);
  parallel_for(
      p.n_free,
      [&](std::size_t c) {
        auto* b = p.bucket.data();
        std::sort(b + p.col_start[c], b + p.col_start[c + 1]);
        u64 count = 0, last = NONE_U64;
        for (u64 k = p.col_start[c]; k < p.col_start[c + 1]; ++k) {
          const u64 r = b[k] >> 32;
          if (r != last) ++count, last = r;
        }
        ustart[c + 1] = count;
      },
      256);
  for (u64 c = 0; c < p.n_free; ++c) ustart[c + 1] += ustart[c];
  const u64 nnz = ustart[p.n_free];
  p.slot_target.assign(n_slots, static_cast<std::uint32_t>(U32_NONE));
  p.rows.resize(nnz);
  p.cols.resize(nnz);
  parallel_for(
      p.n_free,
      [&](std::size_t c) {
        u64 pos = ustart[c] - 1, last = NONE_U64;
        for (u64 k = p.col_start[c]; k < p.col_start[c + 1]; ++k) {
          const u64 r = p.bucket[k] >> 32;
          if (r != last) {
            ++pos;
            last = r;
            p.rows[pos] = r;
            p.cols[pos] = c;
          }
          const u64 src = p.bucket[k] & 0xffffffffULL;
          p.bucket[k] = (pos << 32) | src;
          if (src >= p.n_elem) p.slot_target[src - p.n_elem] = static_cast<std::uint32_t>(pos);
        }
      },
      256);
  return p;
}

// Sums the element values of every position (sources in ascending order).
void merge_element_values(const MergedPattern& p, const ElementTriplets& el, std::vector<cplx>& e_u,
                          std::vector<cplx>& b_u) {
  const u64 nnz = p.rows.size();
  e_u.assign(nnz, cplx(0.0, 0.0));
  b_u.assign(nnz, cplx(0.0, 0.0));
  parallel_for(
      p.n_free,
      [&](std::size_t c) {
        for (u64 k = p.col_start[c]; k < p.col_start[c + 1]; ++k) {
          const u64 src = p.bucket[k] & 0xffffffffULL;
          if (src >= p.n_elem) continue;
          const u64 pos = p.bucket[k] >> 32;
          e_u[pos] += el.e_vals[src];
          b_u[pos] += el.b_vals[src];
        }
      },
      256);
}

std::string fmt_ms(double seconds, int width) { return pad_left(fmt_fixed(seconds * 1000.0, 1), width); }

}  // namespace

FreeElementSystem merge_free_elements(const Mesh& mesh, const FemBasis& basis,
                                      const std::vector<u64>& pec_faces, const ElementTriplets& el) {
  MergedPattern pat = build_pattern(basis, pec_faces, mesh, el, SurfaceFaces{});
  FreeElementSystem sys;
  merge_element_values(pat, el, sys.e, sys.b);
  sys.free = std::move(pat.free);
  sys.rows = std::move(pat.rows);
  sys.cols = std::move(pat.cols);
  return sys;
}

void check_frequencies(const std::vector<double>& frequencies) {
  for (double f : frequencies)
    if (!(std::isfinite(f) && f > 0.0))
      throw Error("invalid sweep frequency " + fmt_float(f) +
                  " Hz: every frequency must be finite and greater than 0");
}

bool material_is_frequency_dependent(const MaterialRegion& region) {
  return region.dispersion.kind != Dispersion::Kind::None || region.conductivity != 0.0;
}

std::vector<FrequencySolution> solve_sweep(const Mesh& mesh, const FemBasis& basis,
                                           const std::vector<const Port*>& ports,
                                           const std::vector<std::vector<u64>>& port_faces,
                                           const std::vector<u64>& pec_faces,
                                           const std::vector<double>& frequencies,
                                           const std::vector<MaterialRegion>* materials,
                                           const std::vector<PmlRegion>* pml_regions,
                                           SweepTimings* timings) {
  check_frequencies(frequencies);
  SweepTimings local_timings;
  SweepTimings& tm = timings ? *timings : local_timings;
  tm = SweepTimings{};

  // 1. Frequency dependence of the tensors.
  bool dispersive = false;
  if (materials) {
    for (const MaterialRegion& r : *materials) dispersive = dispersive || material_is_frequency_dependent(r);
    if (dispersive) eprint("  Frequency-dependent materials detected - rebuilding K every frequency\n");
  }

  // 2-3. Tensors and element matrices at the first frequency.
  auto t0 = Clock::now();
  MaterialTensors tensors = tensors_at(mesh, materials, pml_regions, frequencies.front());
  tm.materials_s += seconds_since(t0);
  t0 = Clock::now();
  ElementTriplets el = assemble_tet_elements(mesh, basis, tensors.eps, tensors.mu);
  const double assembly_s = seconds_since(t0);
  tm.assembly_s += assembly_s;
  eprint("  Assembled E,B in " + fmt_fixed(assembly_s * 1000.0, 1) + "ms" +
         (dispersive ? "" : " (cached for sweep)") + "\n");

  // 4-8. Conductor elimination and the fixed pattern of the free system.
  t0 = Clock::now();
  const SurfaceFaces sf = prepare_surface_faces(mesh, port_faces, ports);
  MergedPattern pat = build_pattern(basis, pec_faces, mesh, el, sf);
  std::vector<cplx> e_u, b_u;
  merge_element_values(pat, el, e_u, b_u);
  // Lossless media give real E and B: then they are kept as real numbers (half the memory that
  // stays alive while the back end factorises).
  std::vector<double> e_re, b_re;
  bool real_values = false;
  if (!dispersive) {
    // the element values are final: keep only their merged sums
    el = ElementTriplets{};
    tensors = MaterialTensors{};
    pat.bucket = {};
    pat.bucket.shrink_to_fit();
    auto is_real = [](const std::vector<cplx>& v) {
      for (const cplx& x : v)
        if (x.imag() != 0.0) return false;
      return true;
    };
    if (is_real(e_u) && is_real(b_u)) {
      real_values = true;
      for (std::vector<cplx>* src : {&e_u, &b_u}) {
        std::vector<double>& dst = src == &e_u ? e_re : b_re;
        dst.resize(src->size());
        for (std::size_t k = 0; k < dst.size(); ++k) dst[k] = (*src)[k].real();
        *src = {};
        src->shrink_to_fit();
      }
    }
  }
  tm.pattern_s = seconds_since(t0);
  tm.n_free = pat.n_free;
  tm.nnz = pat.rows.size();

  // 9. Back end.
  std::unique_ptr<SparseSolver> solver = select_solver_backend(solver_preference_from_env());
  const std::string solver_name = solver->name();

  // 10. Working arrays, allocated once.
  std::vector<cplx> vals(pat.rows.size());
  std::vector<cplx> slots(64 * sf.faces.size());
  std::vector<cplx> b_local(pat.n_free);

  std::vector<FrequencySolution> out;
  out.reserve(frequencies.size());
  bool first = true;
  const std::size_t nf = frequencies.size();
  for (std::size_t i = 0; i < nf; ++i) {
    const auto start = Clock::now();
    const double f = frequencies[i];
    const double k0 = (f * SWEEP_TWO_PI) / SWEEP_C0;

    if (i > 0 && dispersive) {
      auto tt = Clock::now();
      tensors = tensors_at(mesh, materials, pml_regions, f);
      tm.materials_s += seconds_since(tt);
      tt = Clock::now();
      el = assemble_tet_elements(mesh, basis, tensors.eps, tensors.mu);
      tm.assembly_s += seconds_since(tt);
      merge_element_values(pat, el, e_u, b_u);
    }
    auto t = Clock::now();
    const double k0sq = k0 * k0;
    if (real_values)
      parallel_for(
          vals.size(), [&](std::size_t u) { vals[u] = cplx(e_re[u] - k0sq * b_re[u], 0.0); }, 4096);
    else
      parallel_for(
          vals.size(),
          [&](std::size_t u) {
            vals[u] = cplx(e_u[u].real() - k0sq * b_u[u].real(), e_u[u].imag() - k0sq * b_u[u].imag());
          },
          4096);
    std::fill(slots.begin(), slots.end(), cplx(0.0, 0.0));
    add_surface_terms(sf, ports, k0, slots);
    for (std::size_t j = 0; j < slots.size(); ++j) {
      const std::uint32_t pos = pat.slot_target[j];
      if (pos != U32_NONE) vals[pos] += slots[j];
    }
    tm.fill_s.push_back(seconds_since(t));

    t = Clock::now();
    std::vector<std::vector<cplx>> rhs = build_right_hand_sides(sf, basis, ports, k0);
    double rhs_s = seconds_since(t);

    t = Clock::now();
    const bool empty = pat.n_free == 0;  // every unknown on a conductor: the field is zero
    if (!empty) {
      if (first)
        solver->factorize(pat.n_free, pat.rows, pat.cols, vals);
      else
        solver->refactorize(pat.n_free, pat.rows, pat.cols, vals);
    }
    tm.factor_s.push_back(seconds_since(t));

    FrequencySolution fs;
    fs.n_dofs = basis.n_dofs;
    double solve_s = 0.0;
    for (const std::vector<cplx>& b : rhs) {
      t = Clock::now();
      for (u64 l = 0; l < pat.n_free; ++l) b_local[l] = b[pat.free[l]];
      rhs_s += seconds_since(t);
      t = Clock::now();
      std::vector<cplx> x = empty ? std::vector<cplx>{} : solver->solve(b_local);
      solve_s += seconds_since(t);
      if (x.size() != pat.n_free)
        panic("sparse solver returned " + std::to_string(x.size()) + " values for " +
              std::to_string(pat.n_free) + " unknowns");
      t = Clock::now();
      std::vector<cplx> u(basis.n_dofs, cplx(0.0, 0.0));
      for (u64 l = 0; l < pat.n_free; ++l) u[pat.free[l]] = x[l];
      fs.solutions.push_back(std::move(u));
      rhs_s += seconds_since(t);
    }
    tm.rhs_s.push_back(rhs_s);
    tm.solve_s.push_back(solve_s);

    eprint("  f=" + pad_left(fmt_exp(f, 4), 8) + " Hz [" + pad_left(std::to_string(i + 1), 2) + "/" +
           pad_left(std::to_string(nf), 2) + "]  " + fmt_ms(seconds_since(start), 6) + "ms  " +
           solver_name + "\n");
    out.push_back(std::move(fs));
    first = false;
  }
  return out;
}

}  // namespace vantrel
