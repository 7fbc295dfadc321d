"""Material tensors per frequency: time of material_tensors_with_pml against the mesh size.

Prints one table: tetrahedra, regions, dispersive or not, milliseconds per call and tetrahedra per
microsecond. The meshes are Gmsh boxes; the top fifth of each box is an absorbing layer.
"""
import os
import subprocess
import time

import gmsh
import numpy as np

import vantrel._testing as probes


def box(size):
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        tags, xyz, _ = gmsh.model.mesh.getNodes()
        index = np.zeros(int(tags.max()) + 1, dtype=np.int64)
        index[tags.astype(np.int64)] = np.arange(len(tags))
        _, _, tet_nodes = gmsh.model.mesh.getElements(3)
        return xyz.tolist(), index[tet_nodes[0].astype(np.int64)].tolist()
    finally:
        gmsh.finalize()


def main():
    print(f"{'tets':>10} {'regions':>8} {'dispersive':>10} {'ms/call':>9} {'tets/us':>8}")
    for size in (0.1, 0.05, 0.025):
        xyz, tets = box(size)
        for regions, disp in ((1, False), (8, False), (8, True)):
            best = min(probes.material_tensors_timing(xyz, tets, regions, disp, 0.8, 1e9)[0]
                       for _ in range(5))
            n = len(tets) // 4
            print(f"{n:>10} {regions:>8} {str(disp):>10} {best * 1e3:>9.3f} {n / (best * 1e6):>8.1f}")
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                            cwd=os.path.dirname(__file__)).stdout.strip()
    print(f"commit {commit}, single thread (the call is serial), best of 5, {time.strftime('%Y-%m-%d')}")


if __name__ == "__main__":
    main()
