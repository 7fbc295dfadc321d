"""Gmsh MSH 4.1 import: meshes written by real Gmsh, checked against Gmsh's own arrays."""
import contextlib

import gmsh
import numpy as np
import pytest
from scipy.spatial import cKDTree

import vantrel._testing as vt

LOCAL_EDGES = np.array([(0, 1), (0, 2), (0, 3), (1, 2), (3, 1), (2, 3)])
LOCAL_FACES = np.array([(0, 1, 2), (0, 2, 3), (0, 3, 1), (1, 2, 3)])

VOL_LEFT, VOL_RIGHT = 101, 102       # physical volumes
SURF_PORT1, SURF_PORT2 = 11, 12      # x = 0 and x = 2 faces
SURF_WALLS, SURF_IFACE = 13, 14      # other outer faces, the interface between the boxes
SURF_ALSO_PORT1 = 15                 # a second physical group on the x = 0 face


@contextlib.contextmanager
def gmsh_session():
    gmsh.initialize(readConfigFiles=False)
    gmsh.option.setNumber("General.Terminal", 0)
    gmsh.option.setNumber("General.NumThreads", 1)  # small meshes: threads only cost start-up
    try:
        yield
    finally:
        gmsh.finalize()


def two_boxes(lc, order=1, dim=3):
    """Two unit boxes side by side along x, conformal at x = 1, with physical groups."""
    gmsh.model.add("two_boxes")
    gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    gmsh.model.occ.addBox(1, 0, 0, 1, 1, 1)
    gmsh.model.occ.fragment([(3, 1)], [(3, 2)])
    gmsh.model.occ.synchronize()
    left, right = sorted((gmsh.model.occ.getCenterOfMass(3, v)[0], v)
                         for _, v in gmsh.model.getEntities(3))
    gmsh.model.addPhysicalGroup(3, [left[1]], VOL_LEFT)
    gmsh.model.addPhysicalGroup(3, [right[1]], VOL_RIGHT)
    walls = []
    for _, s in gmsh.model.getEntities(2):
        x = gmsh.model.occ.getCenterOfMass(2, s)[0]
        xmin, _, _, xmax, _, _ = gmsh.model.getBoundingBox(2, s)
        if abs(xmax - xmin) < 1e-6 and abs(x) < 1e-9:
            gmsh.model.addPhysicalGroup(2, [s], SURF_PORT1)
            gmsh.model.addPhysicalGroup(2, [s], SURF_ALSO_PORT1)
        elif abs(xmax - xmin) < 1e-6 and abs(x - 2) < 1e-9:
            gmsh.model.addPhysicalGroup(2, [s], SURF_PORT2)
        elif abs(xmax - xmin) < 1e-6 and abs(x - 1) < 1e-9:
            gmsh.model.addPhysicalGroup(2, [s], SURF_IFACE)
        else:
            walls.append(s)
    gmsh.model.addPhysicalGroup(2, walls, SURF_WALLS)
    gmsh.option.setNumber("Mesh.MeshSizeMax", lc)
    gmsh.option.setNumber("Mesh.MeshSizeMin", lc)
    gmsh.option.setNumber("Mesh.Algorithm3D", 10)
    gmsh.model.mesh.generate(dim)
    if order > 1:
        gmsh.model.mesh.setOrder(order)


def write_bytes(tmp_path, name, binary=False, version=4.1):
    gmsh.option.setNumber("Mesh.MshFileVersion", version)
    gmsh.option.setNumber("Mesh.Binary", 1 if binary else 0)
    path = tmp_path / name
    gmsh.write(str(path))
    return path.read_bytes()


def gmsh_reference():
    """Gmsh's own view of the current model: nodes by tag, tetrahedra per volume, triangles
    per physical surface group (as node-tag arrays)."""
    tags, xyz, _ = gmsh.model.mesh.getNodes()
    coord = dict(zip(tags.tolist(), xyz.reshape(-1, 3)))
    tets = {}
    for _, v in gmsh.model.getEntities(3):
        t, n = gmsh.model.mesh.getElementsByType(4, v)
        tets[v] = n.reshape(-1, 4)
    tris = {}
    for dim, phys in gmsh.model.getPhysicalGroups(2):
        blocks = []
        for s in gmsh.model.getEntitiesForPhysicalGroup(dim, phys):
            _, n = gmsh.model.mesh.getElementsByType(2, s)
            blocks.append(n.reshape(-1, 3))
        tris[phys] = np.concatenate(blocks)
    vol_phys = {p: list(gmsh.model.getEntitiesForPhysicalGroup(3, p))
                for _, p in gmsh.model.getPhysicalGroups(3)}
    return coord, tets, tris, vol_phys


def node_tags_of(m, coord):
    """Our node index -> Gmsh node tag, matched by position. Gmsh writes ASCII coordinates with
    16 significant digits, so a match is the nearest Gmsh node within 1e-12 (nodes of these
    meshes are more than 1e-3 apart)."""
    tags = np.fromiter(coord.keys(), dtype=np.int64)
    dist, idx = cKDTree(np.array(list(coord.values()))).query(m["nodes"])
    assert dist.max() < 1e-12
    assert len(np.unique(idx)) == len(idx)
    return tags[idx]


def check_topology(m):
    """Invariants of the numbering, computed independently with NumPy."""
    tets, nodes = m["tets"], m["nodes"]
    nt = len(tets)
    # Every local edge/face maps to the key of its sorted nodes.
    ek = np.sort(tets[:, LOCAL_EDGES], axis=2)                     # (nt, 6, 2)
    np.testing.assert_array_equal(m["edges"][m["tet_edges"]], ek)
    fk = np.sort(tets[:, LOCAL_FACES], axis=2)                     # (nt, 4, 3)
    np.testing.assert_array_equal(m["faces"][m["tet_faces"]], fk)
    # Keys are distinct and ascending within a key.
    assert len(np.unique(m["edges"], axis=0)) == len(m["edges"])
    assert len(np.unique(m["faces"], axis=0)) == len(m["faces"])
    assert np.all(m["edges"][:, 0] < m["edges"][:, 1])
    assert np.all(np.diff(m["faces"], axis=1) > 0)
    # Numbered in order of first appearance over tetrahedra, then local order.
    for ids, n in ((m["tet_edges"].ravel(), len(m["edges"])), (m["tet_faces"].ravel(), len(m["faces"]))):
        first = np.full(n, -1)
        _, pos = np.unique(ids, return_index=True)
        first[np.unique(ids)] = pos
        assert np.all(np.diff(first) > 0)
    # face_edges: (a,b), (b,c), (a,c).
    f = m["faces"]
    for col, (i, j) in enumerate(((0, 1), (1, 2), (0, 2))):
        np.testing.assert_array_equal(m["edges"][m["face_edges"][:, col]], f[:, [i, j]])
    # face_tets: the tetrahedra that list each face, lower first, -1 when there is one.
    ft = m["face_tets"]
    assert np.all((ft[:, 1] == -1) | (ft[:, 0] < ft[:, 1]))
    owners = np.repeat(np.arange(nt), 4)
    counts = np.bincount(m["tet_faces"].ravel(), minlength=len(f))
    assert counts.max() <= 2
    np.testing.assert_array_equal(counts, 1 + (ft[:, 1] >= 0))
    order = np.lexsort((owners, m["tet_faces"].ravel()))
    firsts = order[np.r_[0, np.flatnonzero(np.diff(m["tet_faces"].ravel()[order])) + 1]]
    np.testing.assert_array_equal(ft[:, 0], owners[firsts])
    # Edge lengths.
    e = m["edges"]
    np.testing.assert_allclose(m["edge_lengths"], np.linalg.norm(nodes[e[:, 1]] - nodes[e[:, 0]], axis=1),
                               rtol=1e-15, atol=0)
    # A ball: V - E + F - T = 1 (the two boxes together are one ball).
    assert len(nodes) - len(e) + len(f) - nt == 1


def check_against_gmsh(m, ref):
    coord, gtets, gtris, vol_phys = ref
    tag = node_tags_of(m, coord)
    # Tetrahedra of each physical volume, in file order, name the same nodes in the same order.
    for phys, vols in vol_phys.items():
        ours = tag[m["tets"][m["volume_groups"][phys]]]
        np.testing.assert_array_equal(ours, np.concatenate([gtets[v] for v in vols]))
    assert sum(len(t) for t in gtets.values()) == len(m["tets"])
    assert sorted(m["volume_groups"]) == sorted(vol_phys)
    # Face groups: every triangle of each physical surface, as a sorted node triple, in order.
    assert sorted(m["face_groups"]) == sorted(gtris)
    for phys, tris in gtris.items():
        ours = np.sort(tag[m["faces"][m["face_groups"][phys]]], axis=1)
        np.testing.assert_array_equal(ours, np.sort(tris, axis=1))
    np.testing.assert_allclose(m["nodes"], np.array([coord[t] for t in tag]), rtol=0, atol=1e-15)


@pytest.mark.parametrize("binary", [False, True], ids=["ascii", "binary"])
def test_two_boxes_against_gmsh(tmp_path, capfd, binary):
    with gmsh_session():
        two_boxes(0.25)
        data = write_bytes(tmp_path, "b.msh", binary)
        ref = gmsh_reference()
    m = vt.load_mesh(data)
    out = capfd.readouterr()
    assert out.err == (f"Mesh: {len(m['nodes'])} nodes, {len(m['edges'])} edges, "
                       f"{len(m['faces'])} tris, {len(m['tets'])} tets\n")
    check_against_gmsh(m, ref)
    check_topology(m)
    # Interface triangles are interior faces, all others are boundary faces.
    ft = m["face_tets"]
    assert np.all(ft[m["face_groups"][SURF_IFACE], 1] >= 0)
    for phys in (SURF_PORT1, SURF_PORT2, SURF_WALLS):
        assert np.all(ft[m["face_groups"][phys], 1] == -1)
    np.testing.assert_array_equal(m["face_groups"][SURF_PORT1], m["face_groups"][SURF_ALSO_PORT1])
    n_boundary = sum(len(m["face_groups"][p]) for p in (SURF_PORT1, SURF_PORT2, SURF_WALLS))
    assert np.count_nonzero(ft[:, 1] == -1) == n_boundary


def test_ascii_and_binary_give_the_same_mesh(tmp_path):
    with gmsh_session():
        two_boxes(0.3)
        a = vt.load_mesh(write_bytes(tmp_path, "a.msh", False))
        b = vt.load_mesh(write_bytes(tmp_path, "b.msh", True))
    for key in ("tets", "edges", "faces", "tet_edges", "tet_faces", "face_edges", "face_tets"):
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    # Gmsh prints ASCII coordinates with 16 significant digits: the last bit may differ.
    for key in ("nodes", "edge_lengths"):
        np.testing.assert_allclose(a[key], b[key], rtol=0, atol=1e-15, err_msg=key)
    for key in ("face_groups", "volume_groups"):
        assert a[key].keys() == b[key].keys()
        for k in a[key]:
            np.testing.assert_array_equal(a[key][k], b[key][k])


def relabel_invariant(m):
    """What must not change when node tags are renumbered: geometry per tetrahedron and every
    numbering that depends only on the tetrahedra."""
    return {"tet_xyz": m["nodes"][m["tets"]], "tet_edges": m["tet_edges"], "tet_faces": m["tet_faces"],
            "face_tets": m["face_tets"], "edge_lengths": m["edge_lengths"],
            **{f"fg{k}": v for k, v in m["face_groups"].items()},
            **{f"vg{k}": v for k, v in m["volume_groups"].items()}}


@pytest.mark.parametrize("binary", [False, True], ids=["ascii", "binary"])
@pytest.mark.parametrize("renumbering", ["sparse", "dense_shuffled"])
def test_renumbered_node_tags(tmp_path, binary, renumbering):
    with gmsh_session():
        two_boxes(0.3)
        plain = vt.load_mesh(write_bytes(tmp_path, "plain.msh", binary))
        old, _, _ = gmsh.model.mesh.getNodes()
        if renumbering == "sparse":
            new = old * 7 + 1000
        else:  # a dense 1..N numbering that the file no longer lists in tag order
            new = np.random.default_rng(3).permutation(len(old)) + 1
        gmsh.model.mesh.renumberNodes(old, new)
        data = write_bytes(tmp_path, "renumbered.msh", binary)
        ref = gmsh_reference()
    m = vt.load_mesh(data)
    check_against_gmsh(m, ref)
    check_topology(m)
    want, got = relabel_invariant(plain), relabel_invariant(m)
    assert want.keys() == got.keys()
    for key in want:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)


@pytest.fixture(scope="module")
def big_mesh(tmp_path_factory):
    """About 100k tetrahedra (binary), with Gmsh's arrays, generated once per module."""
    tmp = tmp_path_factory.mktemp("big")
    with gmsh_session():
        two_boxes(0.042)
        data = write_bytes(tmp, "big.msh", True)
        ref = gmsh_reference()
    return data, ref


def test_big_mesh_against_gmsh(big_mesh):
    data, ref = big_mesh
    m = vt.load_mesh(data)
    assert 80_000 < len(m["tets"]) < 200_000
    check_against_gmsh(m, ref)
    check_topology(m)


def test_truncated_big_mesh_is_a_parse_error(big_mesh):
    data, _ = big_mesh
    for cut in (len(data) // 3, len(data) // 2, len(data) - 20):
        with pytest.raises(RuntimeError, match=r"^Cannot parse mesh bytes: MshParserError\(\["):
            vt.load_mesh(data[:cut])


@pytest.mark.parametrize("version", [2.2, 4.0], ids=["msh22", "msh40"])
def test_other_versions_refused(tmp_path, version):
    with gmsh_session():
        two_boxes(0.5)
        data = write_bytes(tmp_path, "old.msh", False, version)
    with pytest.raises(RuntimeError, match=r"^Cannot parse mesh bytes: MshParserError\(\[.*only 4\.1"):
        vt.load_mesh(data)


@pytest.mark.parametrize("order, dim", [(2, 3), (1, 2)], ids=["second_order", "surface_only"])
def test_meshes_without_linear_tetrahedra(tmp_path, order, dim):
    with gmsh_session():
        two_boxes(0.5, order=order, dim=dim)
        data = write_bytes(tmp_path, "m.msh", False)
    with pytest.raises(RuntimeError, match=r"^No tetrahedra found in mesh$"):
        vt.load_mesh(data)


HEAD = "$MeshFormat\n4.1 0 8\n$EndMeshFormat\n"
NODES = "$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n$EndNodes\n"


def elements(*blocks):
    n = sum(len(b[3]) for b in blocks)
    body = "".join(f"{d} {e} {t} {len(el)}\n" + "".join(" ".join(map(str, x)) + "\n" for x in el)
                   for d, e, t, el in blocks)
    return f"$Elements\n{len(blocks)} {n} 1 {n}\n{body}$EndElements\n"


TET = elements((3, 1, 4, [(1, 1, 2, 3, 4)]))


@pytest.mark.parametrize("text, message", [
    (HEAD + TET, "No nodes in mesh"),
    (HEAD + NODES, "No elements in mesh"),
    (HEAD + NODES + elements((2, 1, 2, [(1, 1, 2, 3)])), "No tetrahedra found in mesh"),
    (HEAD + NODES + elements((3, 1, 4, [(1, 1, 2, 3, 5)])), "Unknown node tag in tet"),
    (HEAD + NODES + elements((2, 1, 2, [(1, 1, 2, 9)]), (3, 1, 4, [(2, 1, 2, 3, 4)])),
     "Unknown node tag in tri"),
    (HEAD + NODES + elements((3, 1, 4, [(8, 1, 2, 3, 1)])), "Degenerate tetrahedron: element 8 repeats node 1"),
    (HEAD + NODES.replace("0 1 0\n", "0 nan 0\n") + TET, "Node 3 has a non-finite coordinate"),
    (HEAD.replace("4.1", "2.2") + NODES + TET,
     "Cannot parse mesh bytes: MshParserError([$MeshFormat section: line 2: unsupported MSH format "
     "version 2.2 (only 4.1 is read)])"),
    (HEAD + NODES.replace("3 1 0 4", "3 1 0 3") + TET,
     "Cannot parse mesh bytes: MshParserError([$Nodes section: line 13: expected $EndNodes, "
     "found '0'])"),
], ids=["no_nodes", "no_elements", "no_tets", "unknown_tet_tag", "unknown_tri_tag", "repeated_node",
        "nan_node", "version", "node_count"])
def test_error_messages(text, message):
    # Every import failure is a RuntimeError carrying the message, never a stop.
    with pytest.raises(RuntimeError) as info:
        vt.load_mesh(text.encode())
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
