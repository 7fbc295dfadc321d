"""Fields at the mesh nodes: E, H and J of a WR-90 guide against the closed-form TE10 mode.

Time convention e^{+jwt}: a wave launched at port 1 (z = 0) runs towards +z as exp(-j beta z), and
Faraday's law reads curl E = -j w mu H, so H = j curl E / (w mu).
"""
import math

import numpy as np
import pytest

gmsh = pytest.importorskip("gmsh")

from vantrel._native import Simulation  # noqa: E402

C0 = 299792458.0
ETA0 = 376.73031366857
EPS0 = 8.854187818814e-12
A, B, LENGTH = 22.86e-3, 10.16e-3, 30e-3
F = 10e9
LOOSE = (0.1, 0.0, 0.0)  # corner of a loose square whose nodes only triangles use


def guide_mesh(tmp_path, h):
    """The guide as two boxes (volume 10: z < L/2, volume 20: z > L/2) meeting at the plane
    z = L/2; ports on z = 0 (tag 1) and z = L (tag 2), walls tag 3, and a loose square (tag 9)
    outside the guide that belongs to no tetrahedron."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("guide")
        occ = gmsh.model.occ
        first = occ.addBox(0, 0, 0, A, B, LENGTH / 2)
        second = occ.addBox(0, 0, LENGTH / 2, A, B, LENGTH / 2)
        occ.fragment([(3, first)], [(3, second)])
        loose = occ.addRectangle(*LOOSE, 5e-3, 5e-3)
        occ.synchronize()
        tags = {1: [], 2: [], 3: []}
        for _, ent in gmsh.model.getEntities(2):
            if ent == loose:
                continue
            z0, z1 = gmsh.model.getBoundingBox(2, ent)[2::3]
            if z1 < 1e-6:
                tags[1].append(ent)
            elif z0 > LENGTH - 1e-6:
                tags[2].append(ent)
            elif not (abs(z0 - LENGTH / 2) < 1e-6 and abs(z1 - LENGTH / 2) < 1e-6):
                tags[3].append(ent)
        for tag, ents in tags.items():
            gmsh.model.addPhysicalGroup(2, ents, tag)
        gmsh.model.addPhysicalGroup(2, [loose], 9)
        for _, ent in gmsh.model.getEntities(3):
            z0 = gmsh.model.getBoundingBox(3, ent)[2]
            gmsh.model.addPhysicalGroup(3, [ent], 20 if z0 > LENGTH / 4 else 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        path = tmp_path / "guide.msh"
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path.read_bytes()


def config(extra=""):
    return (f'[mesh]\nfile = "guide.msh"\n[frequency]\nvalues = [{F}]\n'
            '[[ports]]\ntype = "rectangular"\ntag = 1\n[[ports]]\ntype = "rectangular"\ntag = 2\n'
            f'[pec]\ntags = [3]\n{extra}')


@pytest.fixture(scope="module")
def mesh(tmp_path_factory):
    return guide_mesh(tmp_path_factory.mktemp("guide"), 2.5e-3)


@pytest.fixture(scope="module")
def guide(mesh):
    sim = Simulation.from_bytes(mesh, config())
    return sim, sim.run_sweep()


def te10():
    k0 = 2 * math.pi * F / C0
    beta = math.sqrt(k0 ** 2 - (math.pi / A) ** 2)
    z_te = ETA0 * k0 / beta
    e0 = math.sqrt(4 * z_te * 1.0 / (A * B))  # P = |E0|^2 a b / (4 Z_TE) = 1 W
    return beta, z_te, e0


def first_tet(sim):
    """The lowest-numbered tetrahedron of every node (-1: none)."""
    tets = sim.mesh_tets
    first = np.full(len(sim.mesh_nodes), -1)
    for t in range(len(tets) - 1, -1, -1):
        first[tets[t]] = t
    return first


def plane_triangles(sim, z):
    """The tetrahedron faces lying in the plane z (node index triples)."""
    nodes, tets = sim.mesh_nodes, sim.mesh_tets
    on = np.abs(nodes[:, 2] - z) < 1e-9
    tris = set()
    for t in tets[on[tets].sum(axis=1) == 3]:
        tris.add(tuple(sorted(int(n) for n in t if on[n])))
    return np.array(sorted(tris))


def inside_nodes(sim):
    n = sim.mesh_nodes
    return (n[:, 0] > 2e-3) & (n[:, 0] < A - 2e-3) & (n[:, 2] < LENGTH + 1e-9) & (n[:, 0] < 0.05)


def test_te10_electric_field(guide):
    sim, r = guide
    e = sim.field_at_nodes(r, 0, 0)
    assert e.shape == (len(sim.mesh_nodes), 3) and e.dtype == np.complex128
    beta, _, e0 = te10()
    x, z = sim.mesh_nodes[:, 0], sim.mesh_nodes[:, 2]
    sel = inside_nodes(sim) & (np.sin(np.pi * x / A) > 0.3)
    # E_y = c sin(pi x/a) exp(-j beta z): one complex c at every node
    c = e[sel, 1] / (np.sin(np.pi * x[sel] / A) * np.exp(-1j * beta * z[sel]))
    c_mean = c.mean()
    assert abs(abs(c_mean) / e0 - 1) < 0.01  # amplitude of a 1 W mode, lambda/12 elements
    # pointwise shape and phase: each node takes one tetrahedron's value, unaveraged
    dev = np.abs(c / c_mean - 1)
    assert np.sqrt(np.mean(dev ** 2)) < 0.015 and dev.max() < 0.06
    assert np.abs(e[sel][:, [0, 2]]).max() < 0.04 * e0  # no x or z component (2.7 % at h = 2.5 mm)


def test_te10_magnetic_field(guide):
    sim, r = guide
    e, h = sim.field_at_nodes(r, 0, 0), sim.h_field_at_nodes(r, 0, 0)
    beta, z_te, e0 = te10()
    omega_mu = 2 * math.pi * F * 1.2566370612665135e-06
    x = sim.mesh_nodes[:, 0]
    sel = inside_nodes(sim)
    # H_x = -E_y / Z_TE (least-squares ratio over the nodes: the curl is one order less accurate)
    s = sel & (np.sin(np.pi * x / A) > 0.3)
    ratio = np.vdot(e[s, 1], h[s, 0]) / np.vdot(e[s, 1], e[s, 1])
    assert abs(ratio * z_te + 1) < 0.02
    # H_z = j (pi/a) cot(pi x/a) E_y / (w mu0): 90 degrees ahead of E_y
    s = sel & (np.abs(np.cos(np.pi * x / A)) > 0.3) & (np.sin(np.pi * x / A) > 0.3)
    expected = 1j * (np.pi / A) / np.tan(np.pi * x[s] / A) * e[s, 1] / omega_mu
    ratio = np.vdot(expected, h[s, 2]) / np.vdot(expected, expected)
    assert abs(ratio - 1) < 0.03


def poynting_flux(sim, r, port_idx):
    """1/2 Re of the integral of (E x H*) . z over the plane z = L/2 (vertex rule on the mesh
    triangles), divided by the same rule applied to the closed form, which takes the rule's own
    error (0.1 to 0.8 % on these triangles) out."""
    e, h = sim.field_at_nodes(r, 0, port_idx), sim.h_field_at_nodes(r, 0, port_idx)
    sz = 0.5 * np.real(e[:, 0] * np.conj(h[:, 1]) - e[:, 1] * np.conj(h[:, 0]))
    tris = plane_triangles(sim, LENGTH / 2)
    p = sim.mesh_nodes[tris]
    area = 0.5 * np.abs(np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])[:, 2])
    power = np.sum(area * sz[tris].mean(axis=1))
    assert abs(area.sum() - A * B) < 1e-12
    # the closed form |E0 sin(pi x/a)|^2/(2 Z_TE) carries 1 W
    _, z_te, e0 = te10()
    exact = (e0 * np.sin(np.pi * sim.mesh_nodes[:, 0] / A)) ** 2 / (2 * z_te)
    reference = np.sum(area * exact[tris].mean(axis=1))
    assert abs(reference - 1) < 0.01
    return power / reference


@pytest.mark.parametrize("port_idx, flux", [(0, 1.0), (1, -1.0)])
def test_poynting_flux_through_the_guide(guide, port_idx, flux):
    # the 1 W of the driven port flows along its direction of travel; the nodal values (one
    # tetrahedron's corner each) carry a 2.9 % error at h = 2.5 mm, 1.3 % at 1.5 mm
    sim, r = guide
    assert abs(poynting_flux(sim, r, port_idx) - flux) < 0.04


def test_nodal_error_falls_with_the_mesh(guide, tmp_path):
    sim, r = guide
    coarse = Simulation.from_bytes(guide_mesh(tmp_path, 4e-3), config())
    fine_err = abs(poynting_flux(sim, r, 0) - 1)
    coarse_err = abs(poynting_flux(coarse, coarse.run_sweep(), 0) - 1)
    assert fine_err < coarse_err / 2  # 7 % at h = 4 mm, 2.9 % at 2.5 mm


@pytest.mark.parametrize("sigma, tand", [(0.5, 0.0), (0.0, 0.02), (0.3, 0.01)],
                         ids=["conductivity", "loss-tangent", "both"])
def test_current_density_in_lossy_half(mesh, sigma, tand):
    er = 2.2
    body = (f"[[materials]]\nvolume_tag = 20\ner = {er}\ntand = {tand}\n"
            f"conductivity = {sigma}\n")
    sim = Simulation.from_bytes(mesh, config(body))
    r = sim.run_sweep()
    e, j = sim.field_at_nodes(r, 0, 0), sim.current_density_at_nodes(r, 0, 0)
    sigma_eff = sigma + tand * 2 * math.pi * F * EPS0 * er
    first = first_tet(sim)
    centroid_z = sim.mesh_nodes[sim.mesh_tets].mean(axis=1)[:, 2]
    has_tet = first >= 0
    lossy = np.zeros(len(first), bool)
    lossy[has_tet] = centroid_z[first[has_tet]] > LENGTH / 2
    assert lossy.sum() > 100 and (~lossy & has_tet).sum() > 100
    assert np.allclose(j[lossy], sigma_eff * e[lossy], rtol=1e-12, atol=0)
    assert np.abs(e[lossy]).max() > 1  # there is a field to carry current
    assert not np.any(j[~lossy])  # a lossless first tetrahedron gives no current


def test_nodes_of_no_tetrahedron_get_zeros(mesh):
    sim = Simulation.from_bytes(mesh, config("[[materials]]\nvolume_tag = 10\nconductivity = 1.0\n"))
    r = sim.run_sweep()
    loose = first_tet(sim) < 0
    assert loose.sum() >= 4
    for member in (sim.field_at_nodes, sim.h_field_at_nodes, sim.current_density_at_nodes):
        values = member(r, 0, 0)
        assert not np.any(values[loose]) and np.any(values[~loose])


MEMBERS = ["field_at_nodes", "h_field_at_nodes", "current_density_at_nodes", "compute_farfield"]


@pytest.mark.parametrize("member", MEMBERS)
def test_out_of_range_gives_none(guide, member):
    sim, r = guide
    call = getattr(sim, member)
    assert call(r, len(r.frequencies), 0) is None
    assert call(r, 0, r.n_driven) is None


@pytest.mark.parametrize("member", MEMBERS)
def test_result_of_another_simulation_is_refused(guide, tmp_path, member):
    sim, _ = guide
    other = Simulation.from_bytes(guide_mesh(tmp_path, 6e-3), config()).run_sweep()
    with pytest.raises(RuntimeError, match="does not belong to this simulation"):
        getattr(sim, member)(other, 0, 0)


@pytest.mark.parametrize("member", MEMBERS)
def test_result_of_the_same_nodes_in_another_tet_order_is_refused(mesh, guide, member):
    # the same count of unknowns, numbered otherwise: its coefficients would give a wrong field
    from msh_text import reorder_tets
    sim, r = guide
    reordered = Simulation.from_bytes(reorder_tets(mesh, seed=3), config())
    assert reordered.n_dofs == sim.n_dofs
    assert np.array_equal(reordered.mesh_nodes, sim.mesh_nodes)
    with pytest.raises(RuntimeError, match="does not belong to this simulation .*another mesh"):
        getattr(reordered, member)(r, 0, 0)
    # a simulation of the same mesh takes it, whatever its configuration
    same = Simulation.from_bytes(mesh, config("[output]\nnfft_tag = 2\n"))
    assert getattr(same, member)(r, 0, 0) is not None


def last_node_nudged(msh):
    """The mesh with its last node (in file order: inside the guide) 1 nm further along x."""
    from msh_text import map_nodes
    n = int(msh.decode().split("\n")[msh.decode().split("\n").index("$Nodes") + 1].split()[1])
    return map_nodes(msh, lambda k, p: [p[0] + 1e-9, p[1], p[2]] if k == n - 1 else p)


def scaled(factor):
    from msh_text import scaled_msh
    return lambda msh: scaled_msh(msh, factor)


@pytest.mark.parametrize("member", MEMBERS)
@pytest.mark.parametrize("variant", [scaled(1.5), scaled(1e-3), last_node_nudged],
                         ids=["scaled by 1.5", "scaled to mm", "one node moved by 1 nm"])
def test_result_of_the_same_tets_on_other_coordinates_is_refused(mesh, guide, member, variant):
    # the same tetrahedra and unknown numbering on other coordinates: the coefficients mean
    # other fields (another size, another shape), so the result is refused
    sim, r = guide
    other = Simulation.from_bytes(variant(mesh), config())
    assert other.n_dofs == sim.n_dofs and np.array_equal(other.mesh_tets, sim.mesh_tets)
    assert not np.array_equal(other.mesh_nodes, sim.mesh_nodes)
    with pytest.raises(RuntimeError, match="does not belong to this simulation .*another mesh"):
        getattr(other, member)(r, 0, 0)


def test_argument_kinds(guide):
    sim, r = guide
    with pytest.raises(TypeError, match="argument 'result'.*SweepResult"):
        sim.field_at_nodes(object(), 0, 0)
    with pytest.raises(TypeError, match="argument 'freq_idx'"):
        sim.h_field_at_nodes(r, 0.0, 0)
    with pytest.raises(OverflowError):
        sim.current_density_at_nodes(r, 0, -1)
    assert sim.field_at_nodes(result=r, freq_idx=np.int64(0), port_idx=True) is not None
    doc = Simulation.h_field_at_nodes.__doc__
    assert doc.startswith("Magnetic field H = j \u00b7 \u2207\u00d7E / (\u03c9\u03bc\u2080\u03bc_r) at every mesh node")
    assert Simulation.field_at_nodes.__text_signature__ == "($self, result, freq_idx, port_idx)"
