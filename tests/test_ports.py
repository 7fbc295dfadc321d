"""Port apertures on Gmsh meshes: frames, measured lumped apertures and modal power."""
import math

import gmsh
import numpy as np
import pytest

import vantrel._testing as probes


def _mesh(build, size):
    """Runs build() in a fresh Gmsh model and returns (xyz, tets, tris of physical surface 1)."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("m")
        build()
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        tags, xyz, _ = gmsh.model.mesh.getNodes()
        index = {int(t): i for i, t in enumerate(tags)}
        _, _, tet_nodes = gmsh.model.mesh.getElements(3)
        tets = [index[int(t)] for t in tet_nodes[0]]
        tris = []
        for ent in gmsh.model.getEntitiesForPhysicalGroup(2, 1):
            _, _, nodes = gmsh.model.mesh.getElements(2, ent)
            tris += [index[int(t)] for t in nodes[0]]
        return xyz.tolist(), tets, tris
    finally:
        gmsh.finalize()


def _box(lx, ly, lz, port_face):
    """A box with its face `port_face` (a lambda on the face's centre of mass) as surface group 1."""
    def build():
        gmsh.model.occ.addBox(0, 0, 0, lx, ly, lz)
        gmsh.model.occ.synchronize()
        faces = [s for _, s in gmsh.model.getEntities(2)
                 if port_face(gmsh.model.occ.getCenterOfMass(2, s))]
        gmsh.model.addPhysicalGroup(2, faces, 1)
        gmsh.model.addPhysicalGroup(3, [1], 1)
    return build


WR90 = (22.86e-3, 10.16e-3)


@pytest.mark.parametrize("face, origin, w, u, v", [
    ("z0", (WR90[0] / 2, WR90[1] / 2, 0.0), (0, 0, -1), (1, 0, 0), (0, -1, 0)),
    ("z1", (WR90[0] / 2, WR90[1] / 2, 0.03), (0, 0, 1), (1, 0, 0), (0, 1, 0)),
], ids=["input-face", "output-face"])
def test_waveguide_port_frame(face, origin, w, u, v):
    a, b = WR90
    zf = 0.0 if face == "z0" else 0.03
    xyz, tets, tris = _mesh(_box(a, b, 0.03, lambda c: abs(c[2] - zf) < 1e-9), 4e-3)
    o, fu, fv, fw, major, minor = probes.port_aperture(xyz, tets, tris)
    # The normal points out of the meshed guide, u along the broad wall; tolerance: rounding only.
    np.testing.assert_allclose(fw, w, atol=1e-12)
    np.testing.assert_allclose(fu, u, atol=1e-12)
    np.testing.assert_allclose(fv, v, atol=1e-12)
    assert np.allclose(np.cross(fu, fv), fw)
    assert (major, minor) == pytest.approx((a, b), rel=1e-12)
    # The origin is the aperture's area centroid: its centre on any mesh.
    np.testing.assert_allclose(o, origin, atol=1e-12)


@pytest.mark.parametrize("zf, v_y", [(0.0, -1.0), (0.03, 1.0)], ids=["input-face", "output-face"])
def test_te10_lies_along_the_ports_own_v(zf, v_y):
    # TE10 = A cos(pi s/a) along v = n x u. The two ends of a guide have opposite v, so their
    # reference fields point opposite ways: a straight guide gives S21 = -exp(-j beta L).
    a, b = WR90
    xyz, tets, tris = _mesh(_box(a, b, 0.03, lambda c: abs(c[2] - zf) < 1e-9), 4e-3)
    fc = 299792458.0 / (2 * a)
    e = np.asarray(probes.rectangular_mode_field(xyz, tets, tris, 1, 0, 1.3 * fc,
                                                 [(a / 2, b / 2, zf), (a / 4, b / 3, zf)]))
    scale = np.abs(e).max()
    np.testing.assert_allclose(e[:, [0, 2]], 0.0, atol=1e-12 * scale)  # rounding only
    assert np.all(v_y * e[:, 1] > 0)
    # s = -a/4 from the area centroid: cos(pi/4) of the value at the centre
    assert e[1, 1] / e[0, 1] == pytest.approx(math.cos(math.pi / 4), rel=1e-9)


@pytest.mark.parametrize("m, n", [(1, 0), (2, 0), (0, 1), (1, 1), (2, 1)], ids=str)
def test_rectangular_mode_meets_the_walls(m, n):
    # On a graded unstructured mesh the mode must still vanish tangentially on the PEC walls:
    # E_v = E_y on x = 0, a and E_u = E_x on y = 0, b (u = x, v = -y on the input face).
    a, b = WR90

    def build():
        _box(a, b, 0.01, lambda c: abs(c[2]) < 1e-9)()
        f = gmsh.model.mesh.field.add("MathEval")
        gmsh.model.mesh.field.setString(f, "F", "0.0008 + 0.2*x")  # fine at x = 0, coarse at x = a
        gmsh.model.mesh.field.setAsBackgroundMesh(f)

    xyz, tets, tris = _mesh(build, 5e-3)
    fc = 299792458.0 / 2 * math.hypot(m / a, n / b)
    ts = np.linspace(0.05, 0.95, 7)
    walls_x = [(x, t * b, 0.0) for x in (0.0, a) for t in ts]
    walls_y = [(t * a, y, 0.0) for y in (0.0, b) for t in ts]
    interior = [(0.3 * a, 0.6 * b, 0.0)]
    e = np.asarray(probes.rectangular_mode_field(xyz, tets, tris, m, n, 1.3 * fc, walls_x + walls_y + interior))
    scale = np.abs(e).max()
    assert scale > 0
    # tolerance: rounding of the centroid sum over a few hundred faces
    np.testing.assert_allclose(e[:len(walls_x), 1], 0.0, atol=1e-9 * scale)
    np.testing.assert_allclose(e[len(walls_x):-1, 0], 0.0, atol=1e-9 * scale)


@pytest.mark.parametrize("m, n", [(1, 0), (2, 0), (0, 1), (1, 1), (2, 1)],
                         ids=lambda x: str(x))
def test_rectangular_mode_carries_its_power(m, n):
    # P = 1/(2 Z_TE) integral |E_t|^2 dS over the measured aperture equals the configured power;
    # the surface quadrature of the trigonometric field on this mesh is good to ~3e-8.
    a, b = WR90
    xyz, tets, tris = _mesh(_box(a, b, 0.01, lambda c: abs(c[2]) < 1e-9), 1.5e-3)
    fc = 299792458.0 / 2 * math.hypot(m / a, n / b)
    p = probes.rectangular_port_power(xyz, tets, tris, m, n, 0.7, 1.0, 1.3 * fc)
    assert p == pytest.approx(0.7, rel=1e-6)


def test_rectangular_port_below_cutoff_is_an_error():
    a, b = WR90
    xyz, tets, tris = _mesh(_box(a, b, 0.01, lambda c: abs(c[2]) < 1e-9), 5e-3)
    with pytest.raises(RuntimeError, match=r"^port 1 \(rectangular\): TE10 does not propagate at "
                                           r"5\.0000e9 Hz \(cut-off frequency 6\.5571e9 Hz\)$"):
        probes.rectangular_port_power(xyz, tets, tris, 1, 0, 1.0, 1.0, 5e9)


def test_coax_mode_carries_its_power():
    ri, ro, er = 0.5e-3, 1.15e-3, 2.1

    def build():
        outer = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, 5e-3, ro)
        inner = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, 5e-3, ri)
        gmsh.model.occ.cut([(3, outer)], [(3, inner)])
        gmsh.model.occ.synchronize()
        faces = [s for _, s in gmsh.model.getEntities(2)
                 if abs(gmsh.model.occ.getCenterOfMass(2, s)[2]) < 1e-9]
        gmsh.model.addPhysicalGroup(2, faces, 1)

    xyz, tets, tris = _mesh(build, 0.1e-3)
    p, zc = probes.coax_port_power(xyz, tets, tris, ri, ro, 0.8, er)
    assert zc == pytest.approx(376.73031366857 / (2 * math.pi * math.sqrt(er)) * math.log(ro / ri), rel=1e-12)
    # The polygonal annulus and the node-mean origin cost about a percent at this mesh size.
    assert p == pytest.approx(0.8, rel=3e-2)


def test_lumped_aperture_and_lines():
    w, h, d = 2e-3, 1e-3, 4e-3
    xyz, tets, tris = _mesh(_box(w, d, h, lambda c: abs(c[1]) < 1e-9), 0.5e-3)
    width, height, lines = probes.lumped_aperture(xyz, tets, tris, (0.0, 0.0, 2.0))
    # A direction of length 2 measures the same height; the lines run one port height along
    # the unit direction from the nodes at z = 0.
    assert height == pytest.approx(h, rel=1e-12)
    assert width == pytest.approx(w, rel=1e-12)
    assert len(lines) >= 2
    for line in lines:
        line = np.asarray(line)
        assert line.shape == (21, 3)
        assert line[0, 2] == pytest.approx(0.0, abs=1e-15)
        assert line[-1, 2] - line[0, 2] == pytest.approx(h, rel=1e-12)
