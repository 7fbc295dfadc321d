#pragma once
// The port and boundary interface: every [[ports]] entry but a perfect magnetic conductor
// becomes one object behind Port. k0 is the free-space wavenumber (rad/m), points in metres.

#include <array>
#include <optional>

#include "core/support.hpp"

namespace vantrel {

struct LumpedPortInfo {
  Vec3 direction;  // as configured, not normalised
  double z0;       // ohms
  double v_peak;   // volts, sqrt(2 * power * z0)
};

// A port's local frame: local coordinates of p are (u.(p-origin), v.(p-origin), w.(p-origin)).
struct PortFrame {
  Vec3 origin{}, u{}, v{}, w{};
  std::array<double, 9> to_local{};   // rows u, v, w
  std::array<double, 9> to_global{};  // transpose of to_local
};

class Port {
 public:
  virtual ~Port() = default;
  virtual cplx robin_coefficient(double k0) const = 0;
  virtual std::optional<CVec3> incident_term(double x, double y, double z, double k0) const {
    (void)x, (void)y, (void)z, (void)k0;
    return std::nullopt;
  }
  virtual bool is_driven() const { return false; }
  virtual bool is_second_order_abc() const { return false; }
  virtual std::optional<cplx> abc2_coefficient(double k0) const {
    (void)k0;
    return std::nullopt;
  }
  virtual std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const {
    (void)x, (void)y, (void)z, (void)k0;
    return std::nullopt;
  }
  virtual double wave_impedance(double k0) const {
    (void)k0;
    return 0.0;
  }
  virtual u64 port_number() const { return 0; }
  virtual bool is_lumped() const { return false; }
  virtual std::optional<LumpedPortInfo> lumped_info() const { return std::nullopt; }
  virtual std::optional<double> lumped_height() const { return std::nullopt; }
};

}  // namespace vantrel
