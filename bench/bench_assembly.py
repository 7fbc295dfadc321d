"""Element assembly: 20x20 curl-curl and mass blocks of every tetrahedron, 400 triplets each.

Meshes a box with Gmsh, then times `assemble_tet_elements` (best of N) in a fresh process per
thread count (the worker pool is sized once per process from RAYON_NUM_THREADS).

    PYTHONPATH=$PWD python3 bench/bench_assembly.py [--size 0.0298] [--repeats 5]
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np


def box_mesh(h):
    import gmsh
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Verbosity", 0)
        gmsh.model.add("box")
        gmsh.model.occ.addBox(0, 0, 0, 1.0, 0.8, 0.6)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMin", h)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        index = np.empty(int(tags.max()) + 1, dtype=np.int64)
        index[tags.astype(np.int64)] = np.arange(len(tags))
        _, enodes = gmsh.model.mesh.getElementsByType(4)
        tets = index[enodes.astype(np.int64)].reshape(-1, 4)
        return coords.reshape(-1, 3).copy(), np.ascontiguousarray(tets)
    finally:
        gmsh.finalize()


def worker(path, repeats):
    from vantrel import _testing
    data = np.load(path)
    first, best, checksum, threads = _testing.fd_elem_assembly_seconds(data["nodes"], data["tets"], repeats)
    print(f"{first!r} {best!r} {checksum!r} {threads}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=float, default=0.0298, help="Gmsh element size (m)")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.worker, args.repeats)
        return

    nodes, tets = box_mesh(args.size)
    n_tets = len(tets)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "mesh.npz")
        np.savez(path, nodes=nodes, tets=tets)
        hw = os.cpu_count() or 1
        counts = sorted({1, 2, 4, min(8, hw), hw})
        rows = []
        for n in counts:
            env = dict(os.environ, RAYON_NUM_THREADS=str(n))
            out = subprocess.run([sys.executable, __file__, "--worker", path, "--repeats", str(args.repeats)],
                                 env=env, capture_output=True, text=True)
            if out.returncode != 0:
                sys.exit(out.stderr)
            out = out.stdout.split()
            rows.append((n, float(out[0]), float(out[1]), float(out[2]), int(out[3])))

    base = rows[0][2]
    gb = n_tets * 400 * 48 / 1e9
    print(f"{'threads':>7} {'tets':>8} {'triplets':>10} {'first s':>8} {'best s':>8} {'Mtet/s':>8} "
          f"{'GB/s out':>9} {'speed-up':>8}")
    for n, first, best, _, _ in rows:
        print(f"{n:>7} {n_tets:>8} {n_tets * 400:>10} {first:>8.4f} {best:>8.4f} {n_tets / best / 1e6:>8.3f} "
              f"{gb / best:>9.2f} {base / best:>8.2f}")
    same = len({r[3] for r in rows}) == 1
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                            cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    print(f"# commit {commit}, output {gb:.2f} GB per assembly, best of {args.repeats}, "
          f"checksums identical across thread counts: {same}")


if __name__ == "__main__":
    main()
