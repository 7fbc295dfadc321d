#include "td/state_space.hpp"

#include <algorithm>

namespace vantrel {

namespace {

struct Triplet {
  u64 row;  // element-local row, 0 .. 6*Np - 1
  u64 col;  // global state index
  double value;
};

inline bool triplet_order(const Triplet& a, const Triplet& b) {
  return a.row != b.row ? a.row < b.row : a.col < b.col;
}

// The state of one probing job: its own probe vector, output buffer and scratch.
struct MatrixPiece {
  std::vector<double> probe;
  std::vector<double> output;
  ElementScratch scratch;
  std::vector<Triplet> triplets;
  std::vector<std::int64_t> cols;
  std::vector<double> values;
  std::vector<u64> row_counts;
};

void probe_elements(const MaxwellOperator& op, u64 first, u64 last, MatrixPiece& piece) {
  const u64 np = op.reference.np;
  const u64 block = 6 * np;
  const u64 nf = n_field(op);
  auto probe_column = [&](u64 e, u64 col) {
    piece.probe[col] = 1.0;
    std::fill(piece.output.begin(), piece.output.end(), 0.0);
    element_rhs(op, e, piece.probe, piece.output, piece.scratch);
    piece.probe[col] = 0.0;
    for (u64 r = 0; r < block; ++r) {
      const double v = piece.output[r];
      if (!(v == 0.0)) piece.triplets.push_back({r, col, v});
    }
  };
  for (u64 e = first; e < last; ++e) {
    // Stencil: the element and its face neighbours, ascending.
    std::vector<u64> stencil{e};
    for (u64 f = 0; f < 4; ++f) {
      const u64 nb = op.faces[4 * e + f].neighbour;
      if (nb == NONE_U64 || std::find(stencil.begin(), stencil.end(), nb) != stencil.end())
        continue;
      stencil.push_back(nb);
    }
    std::sort(stencil.begin(), stencil.end());
    piece.triplets.clear();
    for (u64 s : stencil) {
      for (u64 k = 0; k < block; ++k) probe_column(e, block * s + k);
      if (s == e && op.debye_index[e] != NONE_U64) {
        const u64 d = op.debye_index[e];
        for (u64 k = 0; k < 3 * np; ++k) probe_column(e, nf + 3 * np * d + k);
      }
    }
    std::sort(piece.triplets.begin(), piece.triplets.end(), triplet_order);
    u64 t = 0;
    for (u64 r = 0; r < block; ++r) {
      u64 count = 0;
      while (t < piece.triplets.size() && piece.triplets[t].row == r) {
        piece.cols.push_back(static_cast<std::int64_t>(piece.triplets[t].col));
        piece.values.push_back(piece.triplets[t].value);
        ++t;
        ++count;
      }
      piece.row_counts.push_back(count);
    }
  }
}

}  // namespace

CsrMatrix state_space(const MaxwellOperator& op) {
  const u64 np = op.reference.np;
  const u64 K = op.n_elem;
  const u64 n = n_dof(op);
  const u64 nf = n_field(op);
  const u64 block = 6 * np;

  // Probing pass: about four jobs per worker, each with its own n_dof probe vector.
  const u64 T = std::max<u64>(1, static_cast<u64>(worker_count()));
  const u64 len = std::max<u64>(K / (4 * T), 1);
  const u64 n_jobs = (K + len - 1) / len;
  std::vector<MatrixPiece> pieces(n_jobs);
  parallel_for(n_jobs, [&](std::size_t job) {
    MatrixPiece& piece = pieces[job];
    piece.probe.assign(n, 0.0);
    piece.output.assign(block, 0.0);
    piece.scratch = new_element_scratch(np, op.reference.nfp);
    piece.triplets.reserve(5 * block * block);
    const u64 first = job * len;
    probe_elements(op, first, std::min(K, first + len), piece);
    piece.probe = {};
    piece.triplets = {};
  });

  // Joining: pieces in element order, then two entries per Debye row (E column, P column).
  CsrMatrix m;
  m.n = n;
  u64 nnz = 2 * 3 * np * op.debye.size();
  for (const auto& p : pieces) nnz += p.cols.size();
  m.row_ptr.reserve(n + 1);
  m.col_idx.reserve(nnz);
  m.values.reserve(nnz);
  m.row_ptr.push_back(0);
  std::int64_t running = 0;
  for (auto& p : pieces) {
    for (u64 c : p.row_counts) {
      running += static_cast<std::int64_t>(c);
      m.row_ptr.push_back(running);
    }
    m.col_idx.insert(m.col_idx.end(), p.cols.begin(), p.cols.end());
    m.values.insert(m.values.end(), p.values.begin(), p.values.end());
    p = MatrixPiece{};
  }
  for (const DebyeElement& de : op.debye) {
    const u64 d = op.debye_index[de.elem];
    for (u64 i = 0; i < np; ++i)
      for (u64 c = 0; c < 3; ++c) {
        m.col_idx.push_back(static_cast<std::int64_t>(block * de.elem + 6 * i + c));
        m.values.push_back(de.g);
        m.col_idx.push_back(static_cast<std::int64_t>(nf + 3 * np * d + 3 * i + c));
        m.values.push_back(de.a);
        running += 2;
        m.row_ptr.push_back(running);
      }
  }
  return m;
}

}  // namespace vantrel
