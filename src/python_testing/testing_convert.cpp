// Probes for the argument kinds, result kinds and thread binding of the binding layer.
#include <nanobind/stl/string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace vantrel::testing {

namespace nb = nanobind;
using namespace vantrel::py;

namespace {

struct Probe {};

struct BoundRecord {
  int value = 7;
};

struct BoundProbe {
  ThreadBound<BoundRecord> rec{new BoundRecord, "vantrel::PyProbe"};
};

}  // namespace

void bind_convert_probes(nb::module_& m) {
  nb::class_<Probe>(m, "Probe")
      .def_static("index",
                  [](nb::args a, nb::kwargs k) {
                    Call c("Probe.index()", {{"freq_idx"}, {"port_idx", true}}, a, k);
                    nb::list out;
                    out.append(arg_index(c[0], c.name(0)));
                    if (c.given(1)) out.append(arg_index(c[1], c.name(1)));
                    return out;
                  })
      .def_static("tag", [](nb::args a, nb::kwargs k) {
        Call c("Probe.tag()", {{"tag"}}, a, k);
        return arg_tag(c[0], c.name(0));
      })
      .def_static("real", [](nb::args a, nb::kwargs k) {
        Call c("Probe.real()", {{"h"}}, a, k);
        return arg_real(c[0], c.name(0));
      })
      .def_static("text", [](nb::args a, nb::kwargs k) {
        Call c("Probe.text()", {{"config_toml"}}, a, k);
        return arg_text(c[0], c.name(0));
      })
      .def_static("bytes_len", [](nb::args a, nb::kwargs k) {
        Call c("Probe.bytes_len()", {{"mesh_bytes"}}, a, k);
        return arg_bytes(c[0], c.name(0)).size();
      })
      .def_static("vector_sum", [](nb::args a, nb::kwargs k) {
        Call c("Probe.vector_sum()", {{"y"}}, a, k);
        VectorArg y(c[0], c.name(0));
        double s = 0;
        for (double v : y.data()) s += v;
        return s;
      })
      .def_static("triple", [](nb::args a, nb::kwargs k) {
        Call c("Probe.triple()", {{"point"}}, a, k);
        const Vec3 p = arg_triple(c[0], c.name(0));
        return nb::make_tuple(p[0], p[1], p[2]);
      })
      .def_static("flag", [](nb::args a, nb::kwargs k) {
        Call c("Probe.flag()", {{"is_low"}}, a, k);
        return arg_flag(c[0], c.name(0));
      })
      .def_static("tuple_list_len", [](nb::args a, nb::kwargs k) {
        Call c("Probe.tuple_list_len()", {{"absorbers", true}}, a, k);
        if (!c.given(0)) return std::size_t{0};
        return arg_tuple_list(c[0], c.name(0), 3).size();
      })
      .def_static("vector", [](std::size_t n) {
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i);
        return vector_result(std::move(v));
      })
      .def_static("complex_grid", [](std::size_t rows, std::size_t cols) {
        std::vector<cplx> v(rows * cols);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = cplx(static_cast<double>(i), 1.0);
        return complex_grid_result(std::move(v), rows, cols);
      })
      .def_static("index_vector", [](std::size_t n) {
        return index_vector_result(std::vector<std::int64_t>(n, -1));
      })
      .def_static("error", [](const std::string& msg) -> int { throw Error(msg); })
      .def_static("stop", [](const std::string& msg) -> int { throw Panic(msg); })
      .def_static("stop_in_pool", []() -> int {
        parallel_for(1000, [](std::size_t i) {
          if (i == 500) check_index(10, 3);
        });
        return 0;
      })
      // How many of the pool's workers run at once: every body waits (up to timeout_s) until
      // all workers hold one, so a pool with fewer threads than it was asked for shows.
      .def_static("pool_peak", [](double timeout_s) {
        const std::size_t want = worker_count();
        std::atomic<std::size_t> inside{0};
        std::atomic<std::size_t> peak{0};
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration<double>(timeout_s);
        {
          nb::gil_scoped_release unlocked;
          parallel_for(64 * want, [&](std::size_t) {
            const std::size_t now = inside.fetch_add(1) + 1;
            std::size_t seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
            while (peak.load() < want && std::chrono::steady_clock::now() < until) {
              std::this_thread::yield();
            }
            inside.fetch_sub(1);
          });
        }
        return nb::make_tuple(want, peak.load());
      });

  nb::class_<BoundProbe>(m, "BoundProbe")
      .def(nb::init<>())
      .def("touch", [](BoundProbe& self) { return self.rec.get().value; });
}

}  // namespace vantrel::testing
