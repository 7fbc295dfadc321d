"""Time-domain ports on Gmsh meshes: the energy a port face drains whatever the interior flux, and
the polarisation of the TE10 pattern on a square aperture."""
import gmsh
import numpy as np
import pytest

from vantrel._native import TdOperator
from test_td_mesh import A_GUIDE, B_GUIDE, _msh, guide


def energy_rate(op, y):
    """dW/dt = y^T M A y for W = field_energy(y) = y^T M y / 2, by polarisation of the energy."""
    z = op.apply(y)
    return (op.field_energy(y + z) - op.field_energy(y - z)) / 2


@pytest.fixture(scope="module")
def short_guide_mesh():
    return guide(0.5, 0.25)[0]


@pytest.mark.parametrize("alpha", [0.0, 0.5, 1.0], ids=["central", "half", "upwind"])
def test_ports_drain_the_same_energy_whatever_the_interior_flux(short_guide_mesh, alpha):
    # E_y = p, H_x = 2p with p = x (a - x): continuous across interior faces, no tangential E and
    # no normal H on the side walls, so only the end faces z = 0, L see a jump. A port face is the
    # upwind flux against a zero exterior for any flux_alpha: dW/dt = -1/2 sum over the two ends
    # of the integral of |n x E|^2 + |n x H|^2 = -(1 + 4) F, with F = b a^5/30 the integral of p^2
    # over one end. Closed, the ends are walls with the operator's own weight: -2 alpha F from the
    # tangential E alone (n.H = 0 there). Order 2 holds p exactly: rounding only.
    face = B_GUIDE * A_GUIDE ** 5 / 30
    rates = {}
    for name, ports in (("ports", [(1, 1, 0, None), (2, 1, 0, None)]), ("closed", None)):
        op = TdOperator.from_mesh_bytes(short_guide_mesh, 2, flux_alpha=alpha, ports=ports)
        xyz = op.node_coords()
        p = xyz[:, 0] * (A_GUIDE - xyz[:, 0])
        y = np.zeros((len(xyz), 6))
        y[:, 1], y[:, 3] = p, 2 * p
        rates[name] = energy_rate(op, y.reshape(-1))
    assert rates["ports"] == pytest.approx(-5 * face, rel=1e-9)
    assert rates["closed"] == pytest.approx(-2 * alpha * face, abs=1e-9 * face)


def cube_with_three_ports():
    """Unit cube, volume tag 10; its faces x = 0, y = 0 and z = 0 carry surface tags 1, 2, 3."""
    def build():
        v = gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
        gmsh.model.occ.synchronize()
        for tag, axis in ((1, 0), (2, 1), (3, 2)):
            faces = [s for _, s in gmsh.model.getEntities(2)
                     if abs(gmsh.model.occ.getCenterOfMass(2, s)[axis]) < 1e-9]
            gmsh.model.addPhysicalGroup(2, faces, tag)
        gmsh.model.addPhysicalGroup(3, [v], 10)
    return _msh(build, 0.35)[0]


@pytest.mark.parametrize("port, normal", [(0, 0), (1, 1), (2, 2)], ids=["x0", "y0", "z0"])
def test_square_aperture_te10_lies_along_the_later_in_plane_axis(port, normal):
    # Equal in-plane extents make the lower axis u, so TE10 = -sin(pi xi/a) v points along the
    # other, later axis. The source drives E along that axis only, and a state holding that
    # pattern at the nodes projects onto the port with |P_e| = 1 (the samples sit on the state's
    # own face nodes: rounding only), while the pattern turned a quarter projects to nothing.
    op = TdOperator.from_mesh_bytes(cube_with_three_ports(), 2,
                                    ports=[(tag, 1, 0, None) for tag in (1, 2, 3)])
    lower, later = [k for k in range(3) if k != normal]
    b = op.port_source(port).reshape(-1, 6)
    assert np.abs(b[:, later]).max() > 0
    assert not b[:, [normal, lower]].any()
    xyz = op.node_coords()
    for axis, across, expected in ((later, lower, 1.0), (lower, later, 0.0)):
        y = np.zeros((len(xyz), 6))
        y[:, axis] = np.sin(np.pi * xyz[:, across])
        pe, ph = op.port_projections(y.reshape(-1), port)
        assert abs(pe) == pytest.approx(expected, abs=1e-12) and ph == 0.0
