"""Frequency sweep: set-up report, S-parameters against closed forms, refused inputs, the API.

Meshes are boxes made by Gmsh in the test. Time convention e^{+jwt}: a wave travelling a length L
picks up the factor exp(-j beta L).
"""
import math
import threading

import numpy as np
import pytest

gmsh = pytest.importorskip("gmsh")

from vantrel._native import Simulation, SweepResult  # noqa: E402
from other_thread import raised_on_other_thread

C0 = 299792458.0
ETA0 = 376.73031366857
A, B = 22.86e-3, 10.16e-3  # WR-90 aperture


def box_mesh(tmp_path, size, h, tags, name="box.msh"):
    """An a x b x L box with physical surface tags by face ('z0', 'zL', 'x0', 'xa', 'y0', 'yb';
    a face may carry several tags) and the volume under tag 10. Returns the MSH 4.1 bytes."""
    a, b, length = size
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("box")
        vol = gmsh.model.occ.addBox(0, 0, 0, a, b, length)
        gmsh.model.occ.synchronize()
        groups = {}
        for dim, ent in gmsh.model.getEntities(2):
            x0, y0, z0, x1, y1, z1 = gmsh.model.getBoundingBox(dim, ent)
            cx, cy, cz = (x0 + x1) / 2, (y0 + y1) / 2, (z0 + z1) / 2
            key = ("z0" if abs(cz) < 1e-6 else "zL" if abs(cz - length) < 1e-6 else
                   "x0" if abs(cx) < 1e-6 else "xa" if abs(cx - a) < 1e-6 else
                   "y0" if abs(cy) < 1e-6 else "yb")
            for tag in tags.get(key, ()):
                groups.setdefault(tag, []).append(ent)
        for tag, ents in groups.items():
            gmsh.model.addPhysicalGroup(2, ents, tag)
        gmsh.model.addPhysicalGroup(3, [vol], 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        path = tmp_path / name
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path.read_bytes()


GUIDE_TAGS = {"z0": [1], "zL": [2], "x0": [3], "xa": [3], "y0": [3], "yb": [3]}


def config(freqs, body):
    return f'[mesh]\nfile = "box.msh"\n[frequency]\nvalues = {list(freqs)}\n{body}\n'


RECT_PAIR = """
[[ports]]
type = "rectangular"
tag = 1
er = {er}
[[ports]]
type = "rectangular"
tag = 2
er = {er}
[pec]
tags = [3]
"""


def te10_beta(f, er=1.0, a=A):
    k0 = 2 * math.pi * f / C0
    return math.sqrt(k0 * k0 * er - (math.pi / a) ** 2)


# The port frames are right-handed with the normal pointing out of the guide and u along the wider
# side, so the TE10 reference fields of two facing ports point opposite ways (v = n x u flips):
# a matched straight section gives S21 = -exp(-j beta L). Fields along u keep their sign.
FACING_PORTS = -1.0


PLATES = {"z0": [1], "zL": [2], "y0": [3], "yb": [3]}  # x faces: natural (magnetic) walls
X_PLATES = {"z0": [1], "zL": [2], "x0": [3], "xa": [3]}  # y faces: natural (magnetic) walls


# ---- straight guide ------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def straight_guides(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("guide")
    length = 30e-3
    out = {}
    for h in (4e-3, 2.5e-3):
        mesh = box_mesh(tmp, (A, B, length), h, GUIDE_TAGS)
        sim = Simulation.from_bytes(mesh, config([8e9, 10e9, 12e9], RECT_PAIR.format(er=1.0)))
        out[h] = (sim, sim.run_sweep())
    return length, out


def test_straight_guide_matched_transmission(straight_guides):
    length, runs = straight_guides
    sim, r = runs[2.5e-3]
    assert r.n_driven == 2 == sim.n_driven_ports
    for i, f in enumerate(r.frequencies):
        s = r.sparams[i]
        expected = FACING_PORTS * np.exp(-1j * te10_beta(f) * length)
        assert abs(s[0, 0]) < 1e-3 and abs(s[1, 1]) < 1e-3  # a TE10 port is an exact match
        assert abs(s[1, 0] - expected) < 1e-3  # second-order elements, ~8 per wavelength
        assert abs(s[0, 1] - s[1, 0]) < 1e-8  # reciprocity: K is complex symmetric
        assert abs(abs(s[0, 0]) ** 2 + abs(s[1, 0]) ** 2 - 1) < 1e-3  # lossless


def test_straight_guide_error_falls_with_refinement(straight_guides):
    length, runs = straight_guides
    errors = []
    for h in (4e-3, 2.5e-3):
        _, r = runs[h]
        expected = FACING_PORTS * np.exp(-1j * te10_beta(10e9) * length)
        errors.append(abs(r.sparams[1, 1, 0] - expected))
    assert errors[1] < errors[0]


@pytest.fixture(scope="module")
def rect_guide(tmp_path_factory):
    a, b, length = 22.86e-3, 18e-3, 30e-3  # TE10, TE01, TE11 and TE20 all propagate at 14 GHz
    return box_mesh(tmp_path_factory.mktemp("rect"), (a, b, length), 4e-3, GUIDE_TAGS), a, b, length


@pytest.mark.parametrize("m, n", [(1, 0), (0, 1), (1, 1), (2, 0)])
def test_facing_rectangular_ports_sign_follows_the_mode(rect_guide, m, n):
    # At the facing port v reverses and y is measured from the other corner: the reference field
    # of TE(m,n) there is (-1)^(n+1) times the arriving one, so TE01 and TE11 pass without the
    # sign flip of TE10 and TE20.
    mesh, a, b, length = rect_guide
    port = f'type = "rectangular"\nmode = [{m}, {n}]\n'
    body = f"[[ports]]\ntag = 1\n{port}[[ports]]\ntag = 2\n{port}[pec]\ntags = [3]\n"
    f = 14e9
    s = Simulation.from_bytes(mesh, config([f], body)).run_sweep().sparams[0]
    k0 = 2 * math.pi * f / C0
    beta = math.sqrt(k0 * k0 - (m * math.pi / a) ** 2 - (n * math.pi / b) ** 2)
    assert abs(s[0, 0]) < 0.01
    assert abs(s[1, 0] * np.exp(1j * beta * length) - (-1) ** (n + 1)) < 0.01


@pytest.mark.parametrize("mode_nr, plates, sign", [(1, PLATES, FACING_PORTS), (2, X_PLATES, 1.0)],
                         ids=["te", "tm"])
def test_facing_floquet_pair_sign_follows_the_polarisation(tmp_path, mode_nr, plates, sign):
    # TEM line between two plates with magnetic side walls: a normal-incidence Floquet port whose
    # field crosses the plates is the line's exact mode. TE lies along the frame's v, which
    # reverses at the facing port (the sign of a TE10 pair); TM lies along -u, which does not.
    w, d, length = 10e-3, 2e-3, 30e-3
    mesh = box_mesh(tmp_path, (w, d, length), 2e-3, plates)
    port = f'type = "floquet"\nmode_nr = {mode_nr}\n'
    body = f"[[ports]]\ntag = 1\n{port}[[ports]]\ntag = 2\n{port}[pec]\ntags = [3]\n"
    r = Simulation.from_bytes(mesh, config([3e9, 5e9], body)).run_sweep()
    for i, f in enumerate(r.frequencies):
        s = r.sparams[i]
        k0 = 2 * math.pi * f / C0
        assert abs(s[0, 0]) < 1e-4 and abs(s[1, 1]) < 1e-4  # the port is the line's own mode
        assert abs(s[1, 0] - sign * np.exp(-1j * k0 * length)) < 1e-4


# ---- filled guide, absorbing termination, lumped ports -----------------------------------------

def test_dielectric_filled_guide(tmp_path):
    length, er, f = 20e-3, 2.2, 8e9
    mesh = box_mesh(tmp_path, (A, B, length), 3e-3, GUIDE_TAGS)
    body = RECT_PAIR.format(er=er) + f"[[materials]]\nvolume_tag = 10\ner = {er}\n"
    r = Simulation.from_bytes(mesh, config([f], body)).run_sweep()
    s = r.sparams[0]
    beta = te10_beta(f, er)  # beta^2 = k0^2 er - (pi/a)^2
    assert abs(s[0, 0]) < 1e-3
    assert abs(s[1, 0] - FACING_PORTS * np.exp(-1j * beta * length)) < 1e-3
    # the vacuum wavenumber would be far off: the filling is really seen
    assert abs(s[1, 0] - FACING_PORTS * np.exp(-1j * te10_beta(f) * length)) > 0.1


def test_first_order_absorbing_termination(tmp_path):
    length = 20e-3
    mesh = box_mesh(tmp_path, (A, B, length), 3e-3, GUIDE_TAGS)
    body = '[[ports]]\ntype = "rectangular"\ntag = 1\n[[ports]]\ntype = "abc"\ntag = 2\n[pec]\ntags = [3]\n'
    r = Simulation.from_bytes(mesh, config([8e9, 10e9, 12e9], body)).run_sweep()
    assert r.sparams.shape == (3, 1, 1)
    for i, f in enumerate(r.frequencies):
        k0, beta = 2 * math.pi * f / C0, te10_beta(f)
        # j k0 on the boundary against j beta of the mode: Gamma = (beta - k0)/(beta + k0)
        expected = (beta - k0) / (beta + k0) * np.exp(-2j * beta * length)
        assert abs(r.sparams[i, 0, 0] - expected) < 2e-3


@pytest.mark.parametrize("far_end", ["matched_port", "matched_load", "open"])
def test_lumped_port_on_parallel_plate_line(tmp_path, far_end):
    # TEM line between plates y = 0 and y = d, magnetic side walls: Z = eta0 d / w. A lumped port
    # of that impedance across the gap is matched to it.
    w, d, length = 10e-3, 2e-3, 30e-3
    mesh = box_mesh(tmp_path, (w, d, length), 2e-3, PLATES)
    z = ETA0 * d / w
    port = 'type = "lumped"\nz0 = {z}\ndirection = [0, 1, 0]\n'.format(z=z)
    body = f"[[ports]]\ntag = 1\n{port}"
    if far_end == "matched_port":
        body += f"[[ports]]\ntag = 2\n{port}"
    elif far_end == "matched_load":
        body += f'[[ports]]\ntype = "lumped_element"\ntag = 2\nr = {z}\ndirection = [0, 1, 0]\n'
    body += "[pec]\ntags = [3]\n"
    r = Simulation.from_bytes(mesh, config([3e9, 5e9], body)).run_sweep()
    for i, f in enumerate(r.frequencies):
        k0 = 2 * math.pi * f / C0
        s = r.sparams[i]
        if far_end == "matched_port":
            assert abs(s[0, 0]) < 1e-4 and abs(s[1, 1]) < 1e-4
            # both ports drive along +y, so the through wave has no sign flip
            assert abs(s[1, 0] - np.exp(-1j * k0 * length)) < 1e-4
            # line-voltage extraction is reciprocal only up to the discretisation of E on the lines
            assert abs(s[0, 1] - s[1, 0]) < 1e-5
        elif far_end == "matched_load":
            assert s.shape == (1, 1) and abs(s[0, 0]) < 1e-4  # R = Z of the line absorbs all
        else:
            # open far end (Gamma = +1): S11 = exp(-2j k0 L), all power comes back
            assert abs(s[0, 0] - np.exp(-2j * k0 * length)) < 1e-3


def test_second_order_absorbing_boundary_reflects_less(tmp_path):
    length, f = 20e-3, 10e9
    mesh = box_mesh(tmp_path, (A, B, length), 3e-3, GUIDE_TAGS)
    s11 = {}
    for order in (1, 2):
        body = ('[[ports]]\ntype = "rectangular"\ntag = 1\n[[ports]]\ntype = "abc"\ntag = 2\n'
                f'order = {order}\nabctype = "C"\n[pec]\ntags = [3]\n')
        s11[order] = abs(Simulation.from_bytes(mesh, config([f], body)).run_sweep().sparams[0, 0, 0])
    k0, beta = 2 * math.pi * f / C0, te10_beta(f)
    assert abs(s11[1] - (k0 - beta) / (k0 + beta)) < 1e-3
    assert s11[2] < s11[1] / 3  # the transverse term takes up most of the TE10 mismatch


def pml_guide_mesh(tmp_path, length, thickness, h):
    """A guide z in [0, L] (volume 10) continued by a layer z in [L, L + t] (volume 20); port on
    z = 0 (tag 1), conductor on every other outer face (tag 3)."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("pml")
        inner = gmsh.model.occ.addBox(0, 0, 0, A, B, length)
        layer = gmsh.model.occ.addBox(0, 0, length, A, B, thickness)
        gmsh.model.occ.fragment([(3, inner)], [(3, layer)])
        gmsh.model.occ.synchronize()
        port, pec = [], []
        for dim, ent in gmsh.model.getEntities(2):
            z0, z1 = gmsh.model.getBoundingBox(dim, ent)[2::3]
            if z1 < 1e-6:
                port.append(ent)
            elif not (abs(z0 - length) < 1e-6 and abs(z1 - length) < 1e-6):  # not the interface
                pec.append(ent)
        gmsh.model.addPhysicalGroup(2, port, 1)
        gmsh.model.addPhysicalGroup(2, pec, 3)
        for dim, ent in gmsh.model.getEntities(3):
            z0 = gmsh.model.getBoundingBox(dim, ent)[2]
            gmsh.model.addPhysicalGroup(3, [ent], 20 if z0 > length - 1e-6 else 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        path = tmp_path / "pml.msh"
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path.read_bytes()


def test_absorbing_layer_termination(tmp_path):
    # a conductor-backed stretched layer (default grading) in place of a matched port: the TE10
    # wave is absorbed at every frequency, and the guide outside the layer stays vacuum
    length, thickness = 20e-3, 15e-3
    mesh = pml_guide_mesh(tmp_path, length, thickness, 3e-3)
    body = (f'[[ports]]\ntype = "rectangular"\ntag = 1\n[[pml]]\nvolume_tag = 20\n'
            f'direction = [0, 0, 1]\ninner_face = {length}\nthickness = {thickness}\n[pec]\ntags = [3]\n')
    r = Simulation.from_bytes(mesh, config([8e9, 10e9, 12e9], body)).run_sweep()
    assert np.all(np.abs(r.sparams[:, 0, 0]) < 0.01)


def test_sweep_without_driven_ports(small_guide):
    body = '[[ports]]\ntype = "abc"\ntag = 1\n[[ports]]\ntype = "abc"\ntag = 2\n[pec]\ntags = [3]\n'
    sim = Simulation.from_bytes(small_guide, config([9e9, 10e9], body))
    r = sim.run_sweep()
    assert sim.n_driven_ports == 0 == r.n_driven
    assert r.sparams.shape == (2, 0, 0) and list(r.frequencies) == [9e9, 10e9]


# ---- frequency-dependent materials ----------------------------------------------------------------

def test_conductive_filling_is_evaluated_at_every_frequency(tmp_path, capfd):
    # eps = 1 - j sigma/(w eps0) changes with w: a sweep must not keep the first frequency's tensors
    length, sigma = 20e-3, 0.05
    mesh = box_mesh(tmp_path, (A, B, length), 4e-3, GUIDE_TAGS)
    body = RECT_PAIR.format(er=1.0) + f"[[materials]]\nvolume_tag = 10\nconductivity = {sigma}\n"
    both = Simulation.from_bytes(mesh, config([8e9, 12e9], body)).run_sweep()
    alone = Simulation.from_bytes(mesh, config([12e9], body)).run_sweep()
    assert abs(both.sparams[1, 1, 0] - alone.sparams[0, 1, 0]) < 1e-10
    assert abs(both.sparams[1, 1, 0]) < 0.99  # the loss is there
    err = capfd.readouterr().err
    assert "  Frequency-dependent materials detected - rebuilding K every frequency\n" in err
    assert "(cached for sweep)" not in err


def test_partial_material_leaves_the_rest_vacuum(tmp_path):
    # a material entry that covers no tetrahedron must not turn the guide into empty space
    length = 20e-3
    mesh = box_mesh(tmp_path, (A, B, length), 4e-3, GUIDE_TAGS)
    plain = Simulation.from_bytes(mesh, config([10e9], RECT_PAIR.format(er=1.0))).run_sweep()
    body = RECT_PAIR.format(er=1.0) + "[[materials]]\nvolume_tag = 77\ner = 4.0\n"
    other = Simulation.from_bytes(mesh, config([10e9], body)).run_sweep()
    assert np.allclose(plain.sparams, other.sparams, atol=1e-12)


# ---- refused inputs ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def small_guide(tmp_path_factory):
    return box_mesh(tmp_path_factory.mktemp("small"), (A, B, 20e-3), 6e-3, GUIDE_TAGS)


@pytest.mark.parametrize("freqs", [[0.0], [-1e9], ["nan"], ["inf"], [8e9, 0.0]],
                         ids=["zero", "negative", "nan", "inf", "second_zero"])
def test_bad_frequencies_are_refused_before_any_work(small_guide, capfd, freqs):
    values = ", ".join(x if isinstance(x, str) else repr(x) for x in freqs)
    toml = config([], RECT_PAIR.format(er=1.0)).replace("values = []", f"values = [{values}]")
    sim = Simulation.from_bytes(small_guide, toml)
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="must be finite and greater than 0"):
        sim.run_sweep()
    assert "Assembled" not in capfd.readouterr().err


def test_rectangular_port_below_cutoff_is_refused(small_guide, capfd):
    # TE10 of a 22.86 mm guide is cut off below c0/(2a) = 6.56 GHz
    sim = Simulation.from_bytes(small_guide, config([5e9], RECT_PAIR.format(er=1.0)))
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="port 1") as info:
        sim.run_sweep()
    assert "cut" in str(info.value)
    assert "Assembled" not in capfd.readouterr().err


@pytest.mark.parametrize("entry, why", [
    ('type = "rectangular"\ntag = 1\npower = 0.0', "power must be above 0 W"),
    ('type = "lumped"\ntag = 1\nz0 = -50.0\ndirection = [0, 1, 0]', "z0 must be above 0"),
    # a zero direction also measures a zero height: the message must name the direction
    ('type = "lumped"\ntag = 1\ndirection = [0, 0, 0]', "direction must be a non-zero vector"),
], ids=["zero_power", "negative_z0", "zero_direction"])
def test_bad_port_entries_are_refused_naming_the_port(small_guide, entry, why):
    toml = config([10e9], f"[[ports]]\n{entry}\n[pec]\ntags = [3]\n")
    with pytest.raises(RuntimeError, match=f"^port 1 \\([a-z]+\\): {why}"):
        Simulation.from_bytes(small_guide, toml)


@pytest.mark.parametrize("thickness", ["0.0", "-0.01", "nan"], ids=["zero", "negative", "nan"])
def test_absorbing_layer_without_thickness_is_refused(small_guide, capfd, thickness):
    # zero makes the stretch singular; a negative thickness turns the layer into a gain medium
    # whose S-parameters would come back as a success
    body = RECT_PAIR.format(er=1.0) + (f"[[pml]]\nvolume_tag = 10\ndirection = [0, 0, 1]\n"
                                       f"inner_face = 0.01\nthickness = {thickness}\n")
    with pytest.raises(RuntimeError) as info:
        Simulation.from_bytes(small_guide, config([10e9], body))
    assert str(info.value).startswith("pml on volume tag 10: thickness must be above 0 m, got ")
    assert "PML: tag=10" not in capfd.readouterr().err


@pytest.mark.parametrize("entry", [
    "[[materials]]\nvolume_tag = 10\nur = 0.0\n",
    "[[pml]]\nvolume_tag = 10\ndirection = [0, 0, 1]\ninner_face = 0.01\nthickness = 0.01\n"
    "ur_base = 0.0\n",
], ids=["material", "pml"])
def test_zero_permeability_passes_setup_and_stops_the_sweep(small_guide, entry):
    # Nothing checks a medium's values at set-up; the element code cannot invert mu = 0 and stops
    # the call. The stop is a PanicException, which `except Exception` does not catch.
    sim = Simulation.from_bytes(small_guide, config([10e9], RECT_PAIR.format(er=1.0) + entry))
    with pytest.raises(BaseException) as info:
        sim.run_sweep()
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert str(info.value) == "matinv3: singular 3x3 material tensor (|det| = 0.000e0)"


# ---- set-up report ----------------------------------------------------------------------------

def test_setup_report_lines(tmp_path, capfd):
    tags = {"z0": [1], "zL": [2], "x0": [5], "xa": [7, 6], "y0": [8], "yb": [3]}
    mesh = box_mesh(tmp_path, (A, B, 30e-3), 6e-3, tags)
    body = """
[[ports]]
type = "abc"
tag = 2
order = 2
abctype = "Cx"
[[ports]]
type = "rectangular"
tag = 1
[[ports]]
type = "coax"
tag = 99
ri = 0.001
ro = 0.003
[[ports]]
type = "lumped"
tag = 5
direction = [0, 1, 0]
[[ports]]
type = "pmc"
tag = 6
[[ports]]
type = "pmc"
tag = 98
[[ports]]
type = "lumped_element"
tag = 7
r = 50
l = 1e-9
c = 1e-12
direction = [0, 1, 0]
[[ports]]
type = "surface_impedance"
tag = 8
conductivity = 5.8e7
[[ports]]
type = "floquet"
tag = 97
[[ports]]
type = "user_defined"
tag = 96
e_field = [0, 1, 0]
[[materials]]
volume_tag = 10
er = 2.2
tand = 0.001
[[materials]]
volume_tag = 77
[materials.debye]
er_inf = 2.0
er_static = 4.0
tau_s = 1e-11
[[pml]]
volume_tag = 88
direction = [0, 0, 1]
inner_face = 0.02
thickness = 0.01
[[pml]]
volume_tag = 10
direction = [0, 0, 1]
inner_face = 0.02
thickness = 0.01
[pec]
tags = [3, 99, 99]
"""
    sim = Simulation.from_bytes(mesh, config([10e9], body))
    err = capfd.readouterr().err
    lines = err.splitlines()
    lines = lines[next(i for i, l in enumerate(lines) if l.startswith("vantrel - ")):]
    nodes = sim.mesh_nodes
    # the lumped port on x = 0 measures from its lowest nodes along y: one line per node at y = 0
    n_lines = int(np.sum((np.abs(nodes[:, 0]) < 1e-12) & (np.abs(nodes[:, 1]) < 1e-12)))
    xa_tris = err  # the pmc line carries the triangle count of tag 6 (the x = a face)
    pmc6 = next(l for l in lines if l.startswith("  PMC: tag=6, "))
    n_tri6 = int(pmc6.split(", ")[1].split()[0])
    assert n_tri6 > 0 and xa_tris
    assert lines == [
        f"vantrel - {sim.n_tets} tets, {sim.n_dofs} DOFs",
        "  ABC: tag=2, order=2, type=Cx",
        "  Port 2: rectangular, tag=1, TE10, dims=(22.86mm, 10.16mm), er=1.0",
        "  WARNING: tag 99 has no triangles, skipping CoaxPort",
        "  Port 3: lumped, tag=5, Z0=50Ohm, dir=(0.0,1.0,0.0)",
        f"  PMC: tag=6, {n_tri6} triangles (natural BC)",
        "  PMC: tag=98, 0 triangles (natural BC)",
        "  LumpedElement: tag=7, R=50.00Ohm, L=1.00e-9H, C=Some(1e-12)F, w=30.00mm, h=10.16mm",
        "  SurfaceImpedance: tag=8, sigma=5.80e7S/m, ur=1.00, er=1.00, t=None",
        "  WARNING: tag 97 has no triangles, skipping FloquetPort",
        "  WARNING: tag 96 has no triangles, skipping UserDefined",
        "  WARNING: PEC tag 99 has no triangles",  # once, however often it is listed
        f"  Material: tag=10, er=2.20, ur=1.00, tand=0.0010, cond=0.00e0, {sim.n_tets} tets",
        "  WARNING: volume tag 77 has no tets",
        "    (dispersive: er(f) recomputed per frequency)",
        "  WARNING: PML volume tag 88 has no tets",
        f"  PML: tag=10, dir=(0,0,1), inner=0.020m, t=0.010m, n=1.5, delta_max=8.0, {sim.n_tets} tets",
        f"  Lumped port 3: {n_lines} integration lines x 21 pts, height=10.1600mm",
    ]
    assert sim.n_driven_ports == 2


# ---- from_files and the getters ---------------------------------------------------------------

def test_from_files_reads_config_first_with_prefixes(tmp_path, small_guide):
    mesh_path, cfg_path = tmp_path / "g.msh", tmp_path / "g.toml"
    missing = tmp_path / "missing"
    good_cfg = config([10e9], RECT_PAIR.format(er=1.0))

    # a missing configuration is reported even when the mesh is missing too
    with pytest.raises(RuntimeError) as info:
        Simulation.from_files(str(missing / "m.msh"), str(missing / "c.toml"))
    assert str(info.value) == f"config: Cannot read {missing / 'c.toml'}: No such file or directory (os error 2)"

    cfg_path.write_text("[mesh\n")
    with pytest.raises(RuntimeError, match=f"^config: {cfg_path}: Cannot parse TOML: "):
        Simulation.from_files(str(missing / "m.msh"), str(cfg_path))

    cfg_path.write_bytes(b"\xff\xfe")
    with pytest.raises(RuntimeError, match="stream did not contain valid UTF-8$"):
        Simulation.from_files(str(mesh_path), str(cfg_path))

    cfg_path.write_text(good_cfg)
    with pytest.raises(RuntimeError) as info:
        Simulation.from_files(str(missing / "m.msh"), str(cfg_path))
    assert str(info.value).startswith(f"mesh: Cannot read {missing / 'm.msh'}: ")

    mesh_path.write_bytes(b"not a mesh")
    with pytest.raises(RuntimeError, match=f"^mesh: {mesh_path}: "):
        Simulation.from_files(str(mesh_path), str(cfg_path))

    mesh_path.write_bytes(small_guide)
    sim = Simulation.from_files(str(mesh_path), str(cfg_path))
    assert sim.n_tets > 0


def test_from_bytes_passes_messages_unchanged(small_guide):
    with pytest.raises(RuntimeError, match="^Cannot parse TOML: "):
        Simulation.from_bytes(small_guide, "[mesh\n")
    with pytest.raises(TypeError, match="PyBytes"):
        Simulation.from_bytes(bytearray(small_guide), config([1e10], RECT_PAIR.format(er=1.0)))


def test_failure_texts_arrive_whole(tmp_path, small_guide):
    # messages quote the caller's input: a NUL must not cut them short, and bytes that are not
    # UTF-8 are replaced rather than raising UnicodeDecodeError
    good_cfg = config([10e9], RECT_PAIR.format(er=1.0))
    with pytest.raises(RuntimeError) as info:
        Simulation.from_files(str(tmp_path / "m.msh"), str(tmp_path / "c\0d.toml"))
    assert str(info.value) == (f"config: Cannot read {tmp_path / 'c'}\0d.toml: "
                               "file name contained an unexpected NUL byte")
    cfg_path = tmp_path / "g.toml"
    cfg_path.write_text(good_cfg)
    with pytest.raises(RuntimeError) as info:
        Simulation.from_files(str(tmp_path / "m\0.msh"), str(cfg_path))
    assert str(info.value).endswith("m\0.msh: file name contained an unexpected NUL byte")

    head, rest = small_guide.split(b"$EndMeshFormat\n", 1)
    mesh = head + b"$EndMeshFormat\n$Bad\0\xffname\n" + rest  # an unknown section, never closed
    with pytest.raises(RuntimeError) as info:
        Simulation.from_bytes(mesh, good_cfg)
    assert type(info.value) is RuntimeError
    assert str(info.value).startswith("Cannot parse mesh bytes: MshParserError([$Bad\0\ufffdname section: ")
    assert str(info.value).endswith(": missing $EndBad\0\ufffdname])")


def test_getters_shapes_and_dtypes(small_guide):
    sim = Simulation.from_bytes(small_guide, config([9e9, 11e9], RECT_PAIR.format(er=1.0)))
    nodes, tets = sim.mesh_nodes, sim.mesh_tets
    assert nodes.dtype == np.float64 and nodes.shape[1] == 3
    assert tets.dtype == np.int64 and tets.shape == (sim.n_tets, 4)
    assert tets.min() >= 0 and tets.max() < nodes.shape[0]
    assert sim.mesh_nodes is not nodes and nodes.flags.c_contiguous and nodes.flags.writeable
    r = sim.run_sweep()
    assert isinstance(r, SweepResult)
    assert r.frequencies.dtype == np.float64 and list(r.frequencies) == [9e9, 11e9]
    assert r.sparams.dtype == np.complex128 and r.sparams.shape == (2, 2, 2)
    assert r.n_driven == 2 and isinstance(r.n_driven, int)
    assert isinstance(r.solve_time_s, float) and r.solve_time_s > 0
    s = r.sparams
    s[...] = 0
    assert np.abs(r.sparams).max() > 0  # a fresh copy on every access


def test_simulation_is_bound_to_its_thread(small_guide):
    sim = Simulation.from_bytes(small_guide, config([1e10], RECT_PAIR.format(er=1.0)))
    err = raised_on_other_thread(lambda: sim.n_dofs)
    assert err is not None and not isinstance(err, Exception)
    assert "vantrel::PySimulation is unsendable, but sent to another thread" in str(err)


def test_sweep_releases_the_interpreter_lock(small_guide):
    sim = Simulation.from_bytes(small_guide, config([9e9, 10e9, 11e9], RECT_PAIR.format(er=1.0)))
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        sim.run_sweep()
    finally:
        stop.set()
        t.join()
    assert len(ticks) > 1
