#pragma once
// S-parameters of a sweep. Observation port o, excitation port e (positions in the driven order):
//   lumped port with lines:  S_oe = mean over lines of (V - d_oe v_peak) / v_peak,
//                            V = sum over segments of E(midpoint) . (q_k+1 - q_k)
//   every other port:        S_oe = int_o e.(E - d_oe e) dS / int_o e.e dS   (e: real mode profile)
// Products are bilinear (no conjugate).

#include <functional>
#include <vector>

#include "fd/simulation.hpp"
#include "fd/sweep.hpp"

namespace vantrel {

struct SweepResult {
  std::vector<double> frequencies;                              // Hz, sweep order
  std::vector<std::vector<std::vector<cplx>>> sparams;          // [freq][observation][excitation]
  std::vector<std::vector<std::vector<cplx>>> solutions;        // [freq][driven port][unknown]
  u64 n_driven = 0;
  double solve_time_s = 0.0;  // wall time of the assembly and solution of all frequencies
  u64 mesh_fingerprint = 0;   // of the simulation that solved it; 0 when not recorded
};

// Sum over triangles of A * sum_q w_q f(x_q) with the six-point rule.
cplx port_overlap_integral(const std::vector<Vec3>& nodes,
                           const std::vector<std::array<u64, 3>>& triangles,
                           const std::function<cplx(const Vec3&)>& integrand);

// Runs the configured sweep and extracts the S-parameters. The frequencies and the ports are
// checked first (Error: a frequency that is zero, negative or not finite; a port with no
// propagating mode at a frequency). `timings`, when given, receives the sweep's time split.
SweepResult run_sweep(const Simulation& sim, SweepTimings* timings = nullptr);

}  // namespace vantrel
