#include "fd/basis.hpp"

namespace vantrel {

FemBasis build_basis(const Mesh& mesh) {
  FemBasis b;
  const u64 ne = mesh.edges.size(), nf = mesh.faces.size(), nt = mesh.tets.size();
  b.n_edges = ne;
  b.n_faces = nf;
  b.n_tets = nt;
  b.n_dofs = 2 * (ne + nf);

  b.tet_dofs.assign(nt, {});
  for (u64 t = 0; t < nt; ++t) {
    const auto& te = mesh.tet_edges[t];
    const auto& tf = mesh.tet_faces[t];
    auto& d = b.tet_dofs[t];
    for (int k = 0; k < 6; ++k) {
      d[k] = te[k];
      d[10 + k] = ne + nf + te[k];
    }
    for (int k = 0; k < 4; ++k) {
      d[6 + k] = ne + tf[k];
      d[16 + k] = 2 * ne + nf + tf[k];
    }
  }

  b.face_dofs.assign(nf, {});
  for (u64 f = 0; f < nf; ++f) {
    const auto& fe = mesh.face_edges[f];
    auto& d = b.face_dofs[f];
    for (int k = 0; k < 3; ++k) {
      d[k] = fe[k];
      d[4 + k] = ne + nf + fe[k];
    }
    d[3] = ne + f;
    d[7] = 2 * ne + nf + f;
  }

  b.edge_dof_pairs.resize(ne);
  for (u64 e = 0; e < ne; ++e) b.edge_dof_pairs[e] = {e, ne + nf + e};

  b.face_pair_rows.resize(64 * nf);
  b.face_pair_cols.resize(64 * nf);
  for (u64 f = 0; f < nf; ++f) {
    const auto& d = b.face_dofs[f];
    for (int i = 0; i < 8; ++i) {
      for (int j = 0; j < 8; ++j) {
        b.face_pair_rows[64 * f + 8 * i + j] = d[i];
        b.face_pair_cols[64 * f + 8 * i + j] = d[j];
      }
    }
  }
  return b;
}

}  // namespace vantrel
