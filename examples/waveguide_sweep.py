"""A WR-90 rectangular waveguide section, meshed by Gmsh, swept from 8 to 12 GHz.

Prints the mesh summary and set-up report (on standard error), then the S-parameters beside the
closed-form TE10 answer for a matched straight guide: S11 = 0, S21 = -exp(-j beta L) with
beta = sqrt(k0^2 - (pi/a)^2). The minus sign is the ports' reference convention: each port's
frame has its normal pointing out of the guide, so the reference fields of two facing ports
point opposite ways.

Exits with an error when |S11| rises above -40 dB, |S21| leaves 1 by more than 1e-3 or the phase of
S21 strays more than 1 degree from the closed form (second-order elements of 3 mm are good to
0.05 degrees here).
"""
import math
import pathlib
import sys
import tempfile

import gmsh
import numpy as np

from vantrel import Simulation

A, B, LENGTH = 22.86e-3, 10.16e-3, 50e-3  # WR-90 aperture and section length, metres
C0 = 299792458.0

CONFIG = """
[mesh]
file = "wr90.msh"

[frequency]
values = [8.0e9, 9.0e9, 10.0e9, 11.0e9, 12.0e9]

[[ports]]          # input: the z = 0 face
type = "rectangular"
tag = 1

[[ports]]          # output: the z = L face
type = "rectangular"
tag = 2

[pec]              # the four guide walls
tags = [3]
"""


def mesh_wr90(path, h=3e-3):
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        vol = gmsh.model.occ.addBox(0, 0, 0, A, B, LENGTH)
        gmsh.model.occ.synchronize()
        ends = {1: [], 2: [], 3: []}
        for dim, ent in gmsh.model.getEntities(2):
            z = gmsh.model.occ.getCenterOfMass(dim, ent)[2]
            ends[1 if abs(z) < 1e-9 else 2 if abs(z - LENGTH) < 1e-9 else 3].append(ent)
        for tag, ents in ends.items():
            gmsh.model.addPhysicalGroup(2, ents, tag)
        gmsh.model.addPhysicalGroup(3, [vol], 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()


def main():
    with tempfile.TemporaryDirectory() as tmp:
        mesh_path = pathlib.Path(tmp) / "wr90.msh"
        config_path = pathlib.Path(tmp) / "wr90.toml"
        mesh_wr90(mesh_path)
        config_path.write_text(CONFIG)
        sim = Simulation.from_files(str(mesh_path), str(config_path))
        result = sim.run_sweep()

    print(f"{sim.n_tets} tetrahedra, {sim.n_dofs} unknowns, {sim.n_driven_ports} driven ports, "
          f"sweep {result.solve_time_s:.2f} s")
    print(f"{'f (GHz)':>8} {'|S11| (dB)':>11} {'|S21|':>8} {'arg S21 (deg)':>14} {'exact (deg)':>12}")
    failed = []
    for f, s in zip(result.frequencies, result.sparams):
        k0 = 2 * math.pi * f / C0
        beta = math.sqrt(k0 * k0 - (math.pi / A) ** 2)
        exact = -np.exp(-1j * beta * LENGTH)  # facing ports: S21 = -e^{-j beta L}
        print(f"{f / 1e9:8.2f} {20 * np.log10(abs(s[0, 0])):11.1f} {abs(s[1, 0]):8.5f} "
              f"{np.angle(s[1, 0], deg=True):14.3f} {np.angle(exact, deg=True):12.3f}")
        phase_error = abs(np.angle(s[1, 0] / exact, deg=True))
        if abs(s[0, 0]) > 0.01 or abs(abs(s[1, 0]) - 1) > 1e-3 or phase_error > 1.0:
            failed.append(f"{f / 1e9:g} GHz")
    if failed:
        sys.exit(f"S-parameters outside the stated tolerance at {', '.join(failed)}")


if __name__ == "__main__":
    main()
