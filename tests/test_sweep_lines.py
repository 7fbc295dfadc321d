"""Sweeps through a filled coaxial line and an oblique Floquet pair against transmission-line
closed forms. Time convention e^{+jwt}: a wave travelling a length L picks up exp(-j beta L)."""
import math

import numpy as np
import pytest

gmsh = pytest.importorskip("gmsh")

from vantrel._native import Simulation  # noqa: E402
from test_sweep import C0, FACING_PORTS, PLATES, box_mesh, config  # noqa: E402

COAX_RI, COAX_RO, COAX_ER, COAX_L = 0.5e-3, 1.15e-3, 2.1, 10e-3


def coax_line(tmp_path, h):
    """A PTFE-filled coaxial line along z: ports on z = 0 (tag 1) and z = L (tag 2), both
    conductors under tag 3, the dielectric under volume tag 10. Returns the MSH 4.1 bytes."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("coax")
        outer = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, COAX_L, COAX_RO)
        inner = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, COAX_L, COAX_RI)
        vol, _ = gmsh.model.occ.cut([(3, outer)], [(3, inner)])
        gmsh.model.occ.synchronize()
        groups = {1: [], 2: [], 3: []}
        for _, s in gmsh.model.getEntities(2):
            z = gmsh.model.occ.getCenterOfMass(2, s)[2]
            groups[1 if abs(z) < 1e-9 else 2 if abs(z - COAX_L) < 1e-9 else 3].append(s)
        for tag, ents in groups.items():
            gmsh.model.addPhysicalGroup(2, ents, tag)
        gmsh.model.addPhysicalGroup(3, [v for _, v in vol], 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        path = tmp_path / "coax.msh"
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path.read_bytes()


def test_filled_coax_line_is_matched_and_delays_by_its_own_wavenumber(tmp_path):
    port = f'type = "coax"\nri = {COAX_RI}\nro = {COAX_RO}\ner = {COAX_ER}\n'
    body = (f"[[ports]]\ntag = 1\n{port}[[ports]]\ntag = 2\n{port}[pec]\ntags = [3]\n"
            f"[[materials]]\nvolume_tag = 10\ner = {COAX_ER}\n")
    r = Simulation.from_bytes(coax_line(tmp_path, 0.3e-3), config([6e9, 10e9], body)).run_sweep()
    for i, f in enumerate(r.frequencies):
        s = r.sparams[i]
        k0 = 2 * math.pi * f / C0
        beta = k0 * math.sqrt(COAX_ER)
        # The polygonal annulus and the node-mean origin of the analytic TEM profile leave about
        # 0.8 % reflection and 0.5 % transmission error at this mesh size.
        assert abs(s[0, 0]) < 0.02 and abs(s[1, 1]) < 0.02
        # The TEM reference field points radially outward in both port frames, so unlike a
        # rectangular or Floquet pair the through wave carries no sign flip.
        assert abs(s[1, 0] - np.exp(-1j * beta * COAX_L)) < 0.015
        assert abs(s[0, 1] - s[1, 0]) < 1e-8  # reciprocity: K is complex symmetric
        # the vacuum wavenumber would be far off: the filling is really seen
        assert abs(s[1, 0] - np.exp(-1j * k0 * COAX_L)) > 0.3


@pytest.mark.parametrize("er", [math.cos(math.radians(30.0)) ** 2, 1.0],
                         ids=["matched-line", "vacuum-line"])
def test_oblique_floquet_pair_on_a_tem_line(tmp_path, er):
    # A TE Floquet port scanned to theta (phi = 0, E along the frame's v = +-y) has the modal
    # propagation constant k0 cos(theta) and wave impedance eta0/cos(theta): on the parallel-plate
    # line of PLATES, filled with er, it sees a line section of impedance eta0/sqrt(er) and
    # wavenumber k0 sqrt(er) between two references of eta0/cos(theta). er = cos^2(theta) is
    # matched to it; vacuum reflects Gamma = (cos(theta) - 1)/(cos(theta) + 1) at each end.
    theta, w, d, length = 30.0, 10e-3, 2e-3, 30e-3
    cos_t = math.cos(math.radians(theta))
    mesh = box_mesh(tmp_path, (w, d, length), 2e-3, PLATES)
    port = f'type = "floquet"\nscan_theta_deg = {theta}\n'
    body = (f"[[ports]]\ntag = 1\n{port}[[ports]]\ntag = 2\n{port}[pec]\ntags = [3]\n"
            f"[[materials]]\nvolume_tag = 10\ner = {er}\n")
    r = Simulation.from_bytes(mesh, config([3e9, 5e9], body)).run_sweep()
    gamma = (1 / math.sqrt(er) - 1 / cos_t) / (1 / math.sqrt(er) + 1 / cos_t)
    for i, f in enumerate(r.frequencies):
        s = r.sparams[i]
        delay = np.exp(-1j * 2 * math.pi * f / C0 * math.sqrt(er) * length)
        multiple = 1 - gamma ** 2 * delay ** 2  # the wave bouncing between the two references
        s11 = gamma * (1 - delay ** 2) / multiple
        s21 = FACING_PORTS * (1 - gamma ** 2) * delay / multiple
        # second-order elements, ~50 per wavelength along z, as for the normal-incidence pair
        assert abs(s[0, 0] - s11) < 1e-4 and abs(s[1, 1] - s11) < 1e-4
        assert abs(s[1, 0] - s21) < 1e-4
        assert abs(s[0, 1] - s[1, 0]) < 1e-8  # reciprocity
        assert abs(abs(s[0, 0]) ** 2 + abs(s[1, 0]) ** 2 - 1) < 1e-6  # lossless: passive, no gain
