"""TdOperator on Gmsh meshes: from_mesh_bytes and its lists of tuples, the node, probe and port
queries, and the physics of ports (TE10 pulse through a straight guide), Debye regions (cavity
resonances) and graded absorbers (reflection trends)."""
import json
import os
import subprocess
import sys
import tempfile
from fractions import Fraction

import gmsh
import numpy as np
import pytest

from vantrel._native import TdOperator

A_GUIDE, B_GUIDE = 1.0, 0.5  # TE10 cut-off pi/a = pi, TE20 at 2 pi: single-mode band (pi, 2 pi)


def panic_type():
    try:
        TdOperator(0, 1, 1, 1.0, 1.0, 1.0, 1)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    raise AssertionError("no stop raised")


PanicException = panic_type()


def _msh(build, size):
    """Mesh the model made by build() with Gmsh; returns (msh bytes, nodes by tag, tets)."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("m")
        build()
        gmsh.model.occ.synchronize()
        gmsh.model.mesh.setSize(gmsh.model.getEntities(0), size)
        gmsh.model.mesh.generate(3)
        tags, xyz, _ = gmsh.model.mesh.getNodes()
        nodes = dict(zip(tags.tolist(), xyz.reshape(-1, 3)))
        tets = []
        for _, ent in gmsh.model.getEntities(3):
            types, _, conn = gmsh.model.mesh.getElements(3, ent)
            for t, c in zip(types, conn):
                if t == 4:
                    tets += c.reshape(-1, 4).tolist()
        fd, path = tempfile.mkstemp(suffix=".msh")
        os.close(fd)
        try:
            gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
            gmsh.write(path)
            with open(path, "rb") as f:
                data = f.read()
        finally:
            os.unlink(path)
        return data, nodes, tets
    finally:
        gmsh.finalize()


def guide(length, size, layer=0.0):
    """Guide [0, a] x [0, b] x [0, length] (volume tag 10) with surface tag 1 at z = 0 and 2 at the
    far end; with a layer, a second volume (tag 20) extends it by `layer` along z."""
    def build():
        v = gmsh.model.occ.addBox(0, 0, 0, A_GUIDE, B_GUIDE, length)
        if layer:
            w = gmsh.model.occ.addBox(0, 0, length, A_GUIDE, B_GUIDE, layer)
            gmsh.model.occ.fragment([(3, v)], [(3, w)])
        gmsh.model.occ.synchronize()
        end = length + layer
        for tag, z in ((1, 0.0), (2, end)):
            faces = [s for _, s in gmsh.model.getEntities(2)
                     if abs(gmsh.model.occ.getCenterOfMass(2, s)[2] - z) < 1e-9]
            gmsh.model.addPhysicalGroup(2, faces, tag)
        for _, t in gmsh.model.getEntities(3):
            zc = gmsh.model.occ.getCenterOfMass(3, t)[2]
            gmsh.model.addPhysicalGroup(3, [t], 10 if zc < length else 20)
    return _msh(build, size)


def box(lx, ly, lz, size):
    def build():
        v = gmsh.model.occ.addBox(0, 0, 0, lx, ly, lz)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [v], 10)
    return _msh(build, size)


@pytest.fixture(scope="module")
def short_guide():
    return guide(0.5, 0.25)


def two_ports(mesh, order=1, **kw):
    return TdOperator.from_mesh_bytes(mesh, order, ports=[(1, 1, 0, None), (2, 1, 0, None)], **kw)


# ---- Python surface ------------------------------------------------------------------------------

MEMBERS = [
    ("from_mesh_bytes", "(mesh_bytes, order, flux_alpha=1.0, tag_materials=None, ports=None, "
     "absorbers=None, dispersive=None)",
     "Build the operator from in-memory gmsh `.msh` bytes \u2014 the path for"),
    ("n_dof", "($self)", None), ("n_dispersive", "($self)", None), ("apply", "($self, y)", None),
    ("field_energy", "($self, y)", None), ("step", "($self, y, h, krylov_dim=40)", None),
    ("nearest_node_dof", "($self, point, field, comp)",
     "Global DOF index for a field component at the node nearest `point` \u2014"),
    ("step_driven", "($self, y, source_dof, source_value, h, krylov_dim=40)", None),
    ("n_ports", "($self)", None),
    ("port_cutoff", "($self, port_idx)",
     "Cutoff angular frequency of port `port_idx`'s mode (operator units)."),
    ("port_source", "($self, port_idx)",
     "Spatial source vector for driving port `port_idx` with a unit"),
    ("port_projections", "($self, y, port_idx)",
     "Modal field projections `(P_e, P_h)` at port `port_idx` for the"),
    ("step_with_source", "($self, y, source, h, krylov_dim=40)", None),
    ("state_space", "($self)", None),
    ("node_coords", "($self)",
     "DG node physical coordinates \u2014 an `(n_elem\u00b7Np, 3)` numpy array, in"),
    ("corner_local_nodes", "($self)",
     "The four corner local-node indices `(0,0,0),(1,0,0),(0,1,0),(0,0,1)`"),
    ("reduced_model", "($self, start, r)", None),
]


def test_member_order_signatures_and_docstrings():
    names = [k for k in vars(TdOperator) if not k.startswith("_")]
    assert names == [m[0] for m in MEMBERS]
    for name, sig, first in MEMBERS:
        member = getattr(TdOperator, name)
        assert member.__text_signature__ == sig
        if first:
            assert member.__doc__.splitlines()[0] == first
    assert isinstance(vars(TdOperator)["from_mesh_bytes"], staticmethod)


def test_counts_without_lists(short_guide):
    mesh, _, tets = short_guide
    for kw in ({}, dict(tag_materials=None, ports=None, absorbers=None, dispersive=None),
               dict(tag_materials=[], ports=(), absorbers=[], dispersive=[])):
        op = TdOperator.from_mesh_bytes(mesh, 2, **kw)
        assert (op.n_dof(), op.n_ports(), op.n_dispersive()) == (60 * len(tets), 0, 0)
    op = TdOperator.from_mesh_bytes(mesh, 1, dispersive=[(10, 2.0, 4.0, 0.5)],
                                    ports=[(1, 1, 0, None)])
    assert (op.n_dof(), op.n_ports(), op.n_dispersive()) == (36 * len(tets), 1, len(tets))
    assert op.port_source(0).shape == (op.n_dof(),)


def test_mesh_summary_and_reader_errors(short_guide, capfd):
    TdOperator.from_mesh_bytes(short_guide[0], 1)
    assert capfd.readouterr().err.startswith("Mesh: ")
    with pytest.raises(RuntimeError, match=r"^Cannot parse mesh bytes: "):
        TdOperator.from_mesh_bytes(b"$MeshFormat\n4.1 0 8\n", 1)


ENTRY = ((1.0, 1.0, 1.0), (1.0, 1.0, 1.0), 0.0)


@pytest.mark.parametrize("kw, exc, message", [
    (dict(tag_materials={10: ENTRY}), TypeError,
     "argument 'tag_materials': 'dict' object cannot be converted to 'Sequence'"),
    (dict(tag_materials="abc"), TypeError, "argument 'tag_materials': Can't extract `str` to `Vec`"),
    (dict(tag_materials=[[10, *ENTRY]]), TypeError,
     "argument 'tag_materials': 'list' object cannot be converted to 'PyTuple'"),
    (dict(tag_materials=[(10, [1.0, 1.0, 1.0], (1.0, 1.0, 1.0), 0.0)]), TypeError,
     "argument 'tag_materials': 'list' object cannot be converted to 'PyTuple'"),
    (dict(tag_materials=[(10, (1.0, 1.0), (1.0, 1.0, 1.0), 0.0)]), ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    (dict(tag_materials=[(10, *ENTRY, 0.0)]), ValueError,
     "expected tuple of length 4, but got tuple of length 5"),
    (dict(tag_materials=[(2 ** 31, *ENTRY)]), OverflowError,
     "out of range integral type conversion attempted"),
    (dict(ports=[(1, 1, 0)]), ValueError, "expected tuple of length 4, but got tuple of length 3"),
    (dict(ports=[(1, -1, 0, None)]), OverflowError, None),
    (dict(ports=[(1, 1.0, 0, None)]), TypeError, "argument 'ports': "),
    (dict(ports=[(1, 1, 0, [1.0, 0.0, 0.0])]), TypeError,
     "argument 'ports': 'list' object cannot be converted to 'PyTuple'"),
    (dict(absorbers=[(20, 2, 1.0, 1.0, 5.0, 1)]), TypeError,
     "argument 'absorbers': 'int' object cannot be converted to 'PyBool'"),
    (dict(absorbers=[(20, 2, 1.0, 1.0, 5.0)]), ValueError,
     "expected tuple of length 6, but got tuple of length 5"),
    (dict(dispersive=[(10, "2", 4.0, 0.5)]), TypeError, "argument 'dispersive': "),
    (dict(flux_alpha=None), TypeError, "argument 'flux_alpha': "),
])
def test_list_conversions_refused_before_the_mesh_is_read(kw, exc, message, capfd):
    with pytest.raises(exc) as info:
        TdOperator.from_mesh_bytes(b"not a mesh", 1, **kw)
    if message:
        assert str(info.value).startswith(message)
    assert "Mesh:" not in capfd.readouterr().err


def test_accepted_flag_and_sequence_forms(short_guide):
    mesh = short_guide[0]
    absorber = (20, 2, 0.25, 0.25, 5.0)
    for flag in (True, np.bool_(False)):
        TdOperator.from_mesh_bytes(mesh, 1, absorbers=[absorber + (flag,)])
    TdOperator.from_mesh_bytes(mesh, 1, tag_materials=((10, *ENTRY),),
                               ports=[(np.int64(1), True, 0, None)])


PORT_ERROR = "port face tag {} has no triangles, or its direction is zero / parallel to the face"


@pytest.mark.parametrize("ports, tag", [
    ([(7, 1, 0, None)], 7),                      # no such surface tag
    ([(10, 1, 0, None)], 10),                    # a volume tag only
    ([(1, 1, 0, None), (2, 0, 0, (0.0, 0.0, 0.0))], 2),   # zero direction
    ([(1, 0, 0, (0.0, 0.0, -3.0))], 1),          # direction along the face normal
    ([(1, 0, 0, (0.0, 1e-200, 1e200))], 1),      # the same, its squared length overflowing
    ([(1, 0, 0, (float("nan"), 0.0, 0.0))], 1),  # no axis at all: not the default axis either
    ([(2, 1, 0, None), (1, 0, 0, (float("inf"), 0.0, 0.0))], 1),
    ([(1, 0, 0, (1.0, -float("inf"), 0.0))], 1),
], ids=["unknown", "volume-tag", "zero-direction", "normal-direction", "huge-normal-direction",
        "nan-direction", "inf-direction", "minus-inf-direction"])
def test_port_errors(short_guide, ports, tag):
    with pytest.raises(RuntimeError) as info:
        TdOperator.from_mesh_bytes(short_guide[0], 1, ports=ports)
    assert str(info.value) == PORT_ERROR.format(tag)


@pytest.mark.parametrize("direction", [
    (1.0, 1.0, 0.0),
    (1e200, 1e200, 0.0),          # |d|^2 overflows
    (1.7e308, 1.7e308, 1e307),    # |d| itself beyond the largest double; the z part is dropped
    (3e-9, 3e-9, 0.0),            # small but above the zero-direction limit
], ids=["unit", "1e200", "near-max", "small"])
def test_lumped_port_field_axis_at_any_scale(short_guide, direction):
    """The lumped mode is uniform along v = (1, 1, 0)/sqrt 2 on the z = 0 port (w = +z, into the
    guide). For uniform E and H, P_e = v.E and P_h = (w x v).H: least squares of a constant."""
    op = TdOperator.from_mesh_bytes(short_guide[0], 2, ports=[(1, 0, 0, direction)])
    E, H = np.array([0.3, 1.1, -0.7]), np.array([-0.4, 0.9, 2.0])
    y = np.tile(np.concatenate([E, H]), op.n_dof() // 6)
    r = 1 / np.sqrt(2.0)
    pe, ph = op.port_projections(y, 0)
    assert pe == pytest.approx(r * (E[0] + E[1]), rel=1e-13)  # rounding of the face sums
    assert ph == pytest.approx(r * (H[1] - H[0]), rel=1e-13)
    reference = TdOperator.from_mesh_bytes(short_guide[0], 2, ports=[(1, 0, 0, (1.0, 1.0, 0.0))])
    np.testing.assert_allclose(op.port_source(0), reference.port_source(0), rtol=1e-14, atol=1e-14)


def test_absorber_axis_above_two_is_refused_naming_the_entry(short_guide, capfd):
    # Refused before the mesh is read, also when the tag has no group.
    for tag in (20, 99):
        with pytest.raises(RuntimeError) as info:
            TdOperator.from_mesh_bytes(short_guide[0], 1, absorbers=[(tag, 3, 0.0, 1.0, 1.0, False)])
        assert str(info.value) == f"absorber on volume tag {tag}: axis 3 is not 0 (x), 1 (y) or 2 (z)"
    assert "Mesh:" not in capfd.readouterr().err


ZERO_AREA_MSH = b"""$MeshFormat
4.1 0 8
$EndMeshFormat
$Entities
0 0 1 1
1 0 0 0 2 0 0 1 5 0
1 0 0 0 2 0 1 1 6 0
$EndEntities
$Nodes
1 4 1 4
3 1 0 4
1
2
3
4
0 0 0
1 0 0
2 0 0
0 0 1
$EndNodes
$Elements
2 2 1 2
2 1 2 1
1 1 2 3
3 1 4 1
2 1 2 3 4
$EndElements
"""


def test_zero_area_port_face_is_refused_naming_the_tag():
    # The tetrahedron's face (1, 2, 3) has collinear nodes: no normal, no frame.
    with pytest.raises(RuntimeError) as info:
        TdOperator.from_mesh_bytes(ZERO_AREA_MSH, 1, ports=[(5, 1, 0, None)])
    assert str(info.value) == \
        "port face tag 5: its first triangle has zero area, so the port plane has no normal"


def test_two_ports_on_one_tag_leave_the_earlier_without_faces(short_guide):
    op = TdOperator.from_mesh_bytes(short_guide[0], 1, ports=[(1, 1, 0, None), (1, 1, 0, None)])
    y = np.random.default_rng(1).standard_normal(op.n_dof())
    assert not op.port_source(0).any() and op.port_source(1).any()
    assert op.port_projections(y, 0) == (0.0, 0.0)
    assert op.port_cutoff(0) == op.port_cutoff(1) == np.pi / A_GUIDE


def test_port_query_stops(short_guide):
    op = two_ports(short_guide[0])
    y = np.zeros(op.n_dof())
    for call in (lambda: op.port_cutoff(2), lambda: op.port_source(2),
                 lambda: op.port_projections(y, 2), lambda: op.port_projections(y[:10], 0)):
        with pytest.raises(PanicException, match="index out of bounds"):
            call()
    with pytest.raises(RuntimeError, match="The given array is not contiguous"):
        op.port_projections(np.zeros(2 * op.n_dof())[::2], 0)
    assert op.port_projections(y, 1) == (0.0, 0.0)


@pytest.mark.parametrize("m, n, cutoff", [(1, 0, np.pi / A_GUIDE), (0, 1, np.pi / B_GUIDE),
                                          (2, 1, np.pi * np.hypot(2 / A_GUIDE, 1 / B_GUIDE))])
def test_port_cutoff(short_guide, m, n, cutoff):
    op = TdOperator.from_mesh_bytes(short_guide[0], 1, ports=[(1, m, n, None)])
    assert op.port_cutoff(0) == pytest.approx(cutoff, rel=1e-14)
    lumped = TdOperator.from_mesh_bytes(short_guide[0], 1, ports=[(1, 0, 0, (0.0, 1.0, 0.0))])
    assert lumped.port_cutoff(0) == 0.0


# ---- nodes and probes ----------------------------------------------------------------------------

@pytest.mark.parametrize("order", [1, 2, 3])
def test_node_coords_reproduce_vertices_at_the_corner_nodes(short_guide, order):
    mesh, nodes, tets = short_guide
    op = TdOperator.from_mesh_bytes(mesh, order)
    np_ = (order + 1) * (order + 2) * (order + 3) // 6
    nfp = (order + 1) * (order + 2) // 2
    corners = op.corner_local_nodes()
    assert corners == (0, np_ - 1, nfp - 1, order)
    xyz = op.node_coords()
    assert xyz.shape == (len(tets) * np_, 3) and xyz.dtype == np.float64
    verts = np.array([[nodes[t] for t in tet] for tet in tets])          # (K, 4, 3)
    got = xyz.reshape(len(tets), np_, 3)[:, list(corners), :]
    assert np.abs(got - verts).max() < 1e-14  # the affine map at reference corners: rounding only


@pytest.mark.parametrize("field, comp", [(f, c) for f in (0, 1) for c in (0, 1, 2)])
def test_probe_reads_the_requested_component(short_guide, field, comp):
    op = TdOperator.from_mesh_bytes(short_guide[0], 2)
    xyz = op.node_coords()
    # A state whose six components are distinct functions of position.
    y = np.concatenate([xyz + 10.0, xyz * xyz - 7.0], axis=1).reshape(-1)
    assert y.shape == (op.n_dof(),)
    for point in [(0.3, 0.2, 0.1), (0.77, 0.41, 0.33), (A_GUIDE, B_GUIDE, 0.5)]:
        dof = op.nearest_node_dof(point, field, comp)
        d2 = ((xyz - point) ** 2).sum(axis=1)
        node = dof // 6
        assert d2[node] == d2.min()
        assert node == int(np.argmin(d2))  # ties keep the first node found
        q = xyz[node]
        want = (q + 10.0, q * q - 7.0)[field][comp]
        assert y[dof] == want


@pytest.mark.parametrize("point, field, comp, message", [
    ((0.0, 0.0, 0.0), 2, 0, "field must be 0 (E) or 1 (H), got 2"),
    ((0.0, 0.0, 0.0), 0, 3, "comp must be 0 (x), 1 (y) or 2 (z), got 3"),
    # no distance compares below the start value: the scan would name unknown 0 whatever was asked
    ((float("nan"), 0.0, 0.0), 1, 2, "point must be finite, got (NaN, 0.0, 0.0)"),
    ((0.0, float("inf"), 0.0), 1, 2, "point must be finite, got (0.0, inf, 0.0)"),
])
def test_probe_argument_range(point, field, comp, message):
    op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
    assert op.nearest_node_dof((0.0, 0.0, 0.0), 1, 2) == 5
    with pytest.raises(ValueError) as info:
        op.nearest_node_dof(point, field, comp)
    assert str(info.value) == message


def exact_nearest(xyz, point):
    """First node of least squared distance, in exact rational arithmetic."""
    p = [Fraction(c) for c in point]
    d2 = [sum((Fraction(q) - pc) ** 2 for q, pc in zip(row, p)) for row in xyz.tolist()]
    return d2.index(min(d2))


# (axis, sign): a point near the centre moved 1e200 out along that axis.
FAR = {f"{'+-'[s < 0]}{'xyz'[a]}": (a, s) for a in range(3) for s in (1, -1)}


@pytest.fixture(scope="module")
def sphere():
    """A ball of radius 5: node offsets above 1 times coordinates near the largest double overflow,
    and the nearest node to a far point is rarely extreme in every coordinate."""
    def build():
        gmsh.model.occ.addSphere(0, 0, 0, 5.0)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [1], 10)
    return _msh(build, 4.0)


@pytest.mark.parametrize("field, comp", [(0, 0), (1, 2)], ids=["Ex", "Hz"])
@pytest.mark.parametrize("mesh, order", [("short_guide", 2), ("sphere", 1)], ids=["guide", "sphere"])
def test_probe_far_beyond_the_mesh(request, mesh, order, field, comp):
    """Far along an axis the nearest node is the farthest out along it, the tie among those broken
    by the other two coordinates; the squared distances themselves overflow beyond 1e154."""
    op = TdOperator.from_mesh_bytes(request.getfixturevalue(mesh)[0], order)
    xyz = op.node_coords()
    centre = xyz.mean(axis=0) + (0.03, 0.02, 0.01)  # off the symmetry planes: no exact ties
    points = {name: tuple(np.where(np.arange(3) == axis, sign * 1e200, centre))
              for name, (axis, sign) in FAR.items()}
    points.update(huge=(1.7e308, -1.7e308, 1e308), diagonal=(1.7e308, 1.7e308, 0.3),
                  million=(0.4, 0.3, -1e6), tiny_offsets=(1e-300, 1e200, -1e-300))
    random = np.random.default_rng(7).uniform(-1.7, 1.7, (12, 3)) * 1e308
    points.update((f"random{i}", tuple(p)) for i, p in enumerate(random))
    nodes = {}
    for name, point in points.items():
        dof = op.nearest_node_dof(point, field, comp)
        assert dof % 6 == 3 * field + comp, name
        nodes[name] = dof // 6
        assert nodes[name] == exact_nearest(xyz, point), name
    for name, (axis, sign) in FAR.items():
        assert sign * xyz[nodes[name], axis] == (sign * xyz[:, axis]).max(), name
    assert len({nodes[name] for name in FAR}) == 6


def test_tagged_material_sets_the_energy(short_guide):
    """A uniform E_x = 1 carries energy eps_x * V / 2; the later entry for a tag wins."""
    mesh = short_guide[0]
    volume = A_GUIDE * B_GUIDE * 0.5
    op = TdOperator.from_mesh_bytes(mesh, 1, tag_materials=[
        (10, (9.0, 1.0, 1.0), (1.0, 1.0, 1.0), 0.0), (10, (4.0, 2.0, 2.0), (3.0, 3.0, 3.0), 1.0),
        (77, (5.0, 5.0, 5.0), (5.0, 5.0, 5.0), 0.0)])
    y = np.zeros(op.n_dof())
    y[0::6] = 1.0
    assert op.field_energy(y) == pytest.approx(4.0 * volume / 2, rel=1e-12)


# ---- physics: a TE10 pulse through a straight guide ------------------------------------------------

GUIDE_L = 2.0


@pytest.fixture(scope="module")
def te10_run():
    """Drive port 0 with a modulated Gaussian through step_with_source and record the projections
    at both ports. The source is held constant over each step hs; the projections are sampled at
    four substeps per step, so that the staircase's spectral images (at multiples of 2 pi/hs)
    do not fold back onto the band."""
    mesh = guide(GUIDE_L, 0.3)[0]
    op = two_ports(mesh, order=2)
    src = op.port_source(0)
    w0, tau = 1.55 * np.pi, 3.5
    t0 = 3.2 * tau
    hs, sub, t_end = 0.1, 4, 40.0
    y = np.zeros(op.n_dof())
    rec = [np.zeros(4)]
    for k in range(int(round(t_end / hs))):
        t = (k + 0.5) * hs
        b = src * (np.sin(w0 * (t - t0)) * np.exp(-((t - t0) / tau) ** 2))
        for _ in range(sub):
            y = op.step_with_source(y, b, hs / sub)
            rec.append(np.array(op.port_projections(y, 0) + op.port_projections(y, 1)))
    return op, np.array(rec), hs / sub


def waves(rec, dt, omegas):
    """Per frequency, the waves travelling into the guide at port 0 and out of it at port 1, and
    back. Each port's w points into the domain and its h pattern is w x e, so a wave along w has
    P_h = P_e / Z (Z = omega/beta); at port 1 the outgoing wave runs along -w."""
    n = 8 * len(rec)
    om = 2 * np.pi * np.fft.rfftfreq(n, dt)
    spec = np.fft.rfft(rec, n, axis=0)
    out = []
    for w in omegas:
        i = int(np.argmin(np.abs(om - w)))
        w = om[i]
        beta = np.sqrt(w * w - np.pi ** 2)
        z = w / beta
        pe0, ph0, pe1, ph1 = spec[i]
        out.append(dict(w=w, beta=beta, fwd0=(pe0 + z * ph0) / 2, bwd0=(pe0 - z * ph0) / 2,
                        out1=(pe1 - z * ph1) / 2, back1=(pe1 + z * ph1) / 2))
    return out


BAND = np.pi * np.array([1.3, 1.4, 1.5, 1.6, 1.7, 1.8])


def test_te10_transmission(te10_run):
    op, rec, dt = te10_run
    assert op.port_cutoff(0) == op.port_cutoff(1) == np.pi  # pi/a in operator units
    print("\n  omega/pi  |S21|    arg S21 - (pi - beta L)   reflection   (beta-w)/(beta+w)")
    for r in waves(rec, dt, BAND):
        s21 = r["out1"] / r["fwd0"]
        gamma = r["back1"] / r["out1"]
        theory = (r["beta"] - r["w"]) / (r["beta"] + r["w"])
        phase = np.angle(s21 * np.exp(-1j * (np.pi - r["beta"] * GUIDE_L)))
        print(f"  {r['w'] / np.pi:8.3f}  {abs(s21):.4f}  {phase:+.3e}               "
              f"{gamma.real:+.5f}{gamma.imag:+.5f}j  {theory:+.5f}")
        # Order 2 on an unstructured 0.3 mesh, source staircase sampled at hs/4: 1e-2 measured.
        assert abs(abs(s21) - 1) < 0.015
        assert abs(phase) < 0.04
        # The port face is matched to the free-space impedance: it reflects (beta-w)/(beta+w)
        # of the mode, and nothing more (1e-4 measured).
        assert abs(gamma - theory) < 2e-3
        # The wave reflected at port 1 comes back to port 0 delayed by 2 beta L.
        assert abs(r["bwd0"] / r["fwd0"]) == pytest.approx(abs(theory), abs=0.01)


def test_te10_pulse_arrives_after_the_group_delay(te10_run):
    _, rec, dt = te10_run
    n = 8 * len(rec)
    om = 2 * np.pi * np.fft.rfftfreq(n, dt)
    spec = np.fft.rfft(rec, n, axis=0)
    band = (om > 1.15 * np.pi) & (om < 1.95 * np.pi)
    beta = np.sqrt(np.where(band, om * om - np.pi ** 2, 1.0))
    z = np.where(band, om / beta, 0.0)
    env = []
    for fwd in ((spec[:, 0] + z * spec[:, 1]) / 2, (spec[:, 2] - z * spec[:, 3]) / 2):
        analytic = np.fft.ifft(np.where(band, 2 * fwd, 0.0), n)[: len(rec)]  # one-sided: envelope
        env.append(np.abs(analytic))
    delay = (np.argmax(env[1]) - np.argmax(env[0])) * dt
    w0 = 1.55 * np.pi
    group = GUIDE_L / (np.sqrt(w0 ** 2 - np.pi ** 2) / w0)  # v_g = beta/omega (c = 1)
    print(f"\n  envelope peak delay port 0 -> port 1: {delay:.3f}; L/v_g at the centre: {group:.3f}")
    assert delay == pytest.approx(group, rel=0.05)  # dispersion skews the Gaussian a little


# ---- physics: Debye cavity and graded absorbers (sparse solves, single-threaded BLAS) --------------

CHILD = r"""
import json, sys
import numpy as np, scipy.sparse as sp, scipy.sparse.linalg as spla
from vantrel._native import TdOperator

job = json.loads(sys.argv[1])

def csr(op):
    n, rp, ci, v = op.state_space()
    return sp.csr_matrix((v, ci, rp), shape=(n, n)).astype(np.complex128).tocsc()

def nearest_eig(A, s):
    lam = spla.eigs(A, k=2, sigma=s, return_eigenvectors=False, tol=1e-12)
    return complex(lam[np.argmin(np.abs(lam - s))])

out = {}
if job["kind"] == "debye":
    mesh = open(job["mesh"], "rb").read()
    ei, es, tau = job["debye"]
    w_guess = job["w_exact"]
    # Central flux: the discrete curl pair is the same with and without the Debye terms, so each
    # discrete mode keeps its omega_h and the dispersion relation holds to rounding.
    s0 = nearest_eig(csr(TdOperator.from_mesh_bytes(mesh, job["order"], flux_alpha=0.0)),
                     1j * w_guess)
    w0 = s0.imag
    A = csr(TdOperator.from_mesh_bytes(mesh, job["order"], flux_alpha=0.0,
                                       dispersive=[(10, ei, es, tau)]))
    # s^2 eps(s) = -w0^2 with eps(s) = ei + (es - ei)/(1 + s tau): a cubic in s.
    roots = np.roots([ei * tau, es, w0 * w0 * tau, w0 * w0])
    guess = roots[np.argmax(roots.imag)]
    s = nearest_eig(A, guess)
    out = dict(s0=[s0.real, s0.imag], s=[s.real, s.imag], guess=[guess.real, guess.imag])
else:
    for case in job["cases"]:
        mesh = open(case["mesh"], "rb").read()
        op = TdOperator.from_mesh_bytes(mesh, job["order"], ports=[(1, 1, 0, None)],
                                        absorbers=[(20, 2, case["inner"], case["d"], case["nu"],
                                                    False)])
        A = csr(op)
        b = op.port_source(0)
        n = A.shape[0]
        refl = []
        for w in job["omegas"]:
            lu = spla.splu((1j * w * sp.identity(n, format="csc") - A).tocsc(),
                           permc_spec="MMD_ATA")
            y = lu.solve(b.astype(np.complex128))
            pe, ph = [complex(*(op.port_projections(np.ascontiguousarray(p), 0)[i]
                                for p in (y.real, y.imag))) for i in (0, 1)]
            z = w / np.sqrt(w * w - np.pi ** 2)
            refl.append(abs((pe - z * ph) / (pe + z * ph)))
        out[case["name"]] = refl
print(json.dumps(out))
"""


def run_child(job):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    res = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], env=env,
                         capture_output=True, text=True, check=True, timeout=600)
    return json.loads(res.stdout.strip().splitlines()[-1])


def test_debye_cavity_resonance(tmp_path):
    lx, ly, lz = 1.0, 0.8, 0.6
    path = tmp_path / "cavity.msh"
    path.write_bytes(box(lx, ly, lz, 0.5)[0])
    w_exact = np.pi * np.hypot(1 / lx, 1 / ly)  # TM110, the lowest mode of the box
    ei, es, tau = 2.0, 5.0, 0.3
    out = run_child(dict(kind="debye", mesh=str(path), order=2, w_exact=w_exact,
                         debye=[ei, es, tau]))
    s0 = complex(*out["s0"])
    s = complex(*out["s"])
    w0 = s0.imag
    assert abs(s0.real) < 1e-8 * w0  # central flux: undamped
    assert w0 == pytest.approx(w_exact, rel=2e-3)  # order 2, 60 tets: 4e-4 measured
    w = s / 1j  # complex angular frequency of the damped mode, e^{+j w t}
    eps = ei + (es - ei) / (1 + 1j * w * tau)
    print(f"\n  empty: omega0 = {w0:.6f} (exact {w_exact:.6f}); Debye: omega = {w:.6f}, "
          f"|omega^2 eps(omega) - omega0^2| / omega0^2 = {abs(w * w * eps - w0 * w0) / w0 ** 2:.2e}")
    assert abs(w * w * eps - w0 * w0) < 1e-9 * w0 * w0  # rounding of the shift-invert solves
    assert s.real < -0.1  # the Debye loss damps the mode


def test_graded_absorber_reflection_trends(tmp_path):
    length = 1.0
    cases, meshes = [], {}
    for name, d, nu in [("thin", 0.5, 10.0), ("thick", 1.0, 10.0), ("thick-gentle", 1.0, 5.0)]:
        if d not in meshes:
            meshes[d] = tmp_path / f"layer-{d}.msh"
            meshes[d].write_bytes(guide(length, 0.25, layer=d)[0])
        cases.append(dict(name=name, mesh=str(meshes[d]), inner=length, d=d, nu=nu))
    omegas = [1.4 * np.pi, 1.7 * np.pi]
    out = run_child(dict(kind="absorber", order=1, omegas=omegas, cases=cases))
    print("\n  layer         " + "  ".join(f"|R| at {w / np.pi:.1f} pi" for w in omegas))
    for c in cases:
        print(f"  {c['name']:12s}  " + "  ".join(f"{r:13.3e}" for r in out[c["name"]]))
    for i in range(len(omegas)):
        assert out["thick"][i] < 0.9 * out["thin"][i]
        assert out["thick-gentle"][i] < 0.9 * out["thick"][i]
        assert out["thick-gentle"][i] < 0.1
