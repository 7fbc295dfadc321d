"""Rewrites ASCII Gmsh MSH 4.1 text: the same mesh with its tetrahedra in another order, with
its coordinates scaled or moved, or copied side by side."""
import numpy as np

TETRAHEDRON = "4"  # MSH element type of the four-node tetrahedron


def reorder_tets(msh, seed):
    """The mesh with its tetrahedron blocks in reverse order and the tetrahedra of every block
    shuffled: the same nodes, triangles, tags and unknown count, another tetrahedron numbering."""
    lines = msh.decode().split("\n")
    start = lines.index("$Elements")
    i = start + 2
    blocks = []
    for _ in range(int(lines[start + 1].split()[0])):
        head = lines[i]
        count = int(head.split()[3])
        blocks.append((head, lines[i + 1:i + 1 + count]))
        i += 1 + count
    rng = np.random.default_rng(seed)
    tets = iter([(head, [body[k] for k in rng.permutation(len(body))])
                 for head, body in reversed(blocks) if head.split()[2] == TETRAHEDRON])
    blocks = [next(tets) if head.split()[2] == TETRAHEDRON else (head, body)
              for head, body in blocks]
    out = lines[:start + 2] + [line for head, body in blocks for line in [head] + body] + lines[i:]
    return "\n".join(out).encode()


def map_nodes(msh, fn):
    """The same ASCII MSH 4.1 mesh with node k (in file order, from 0) at fn(k, [x, y, z])."""
    lines = msh.decode().split("\n")
    i = lines.index("$Nodes") + 1
    n_blocks = int(lines[i].split()[0])
    i += 1
    k = 0
    for _ in range(n_blocks):
        _, _, parametric, count = (int(w) for w in lines[i].split())
        assert parametric == 0
        i += 1 + count  # the block header, then its node tags
        for j in range(i, i + count):
            lines[j] = " ".join(repr(c) for c in fn(k, [float(w) for w in lines[j].split()]))
            k += 1
        i += count
    return "\n".join(lines).encode()


def scaled_msh(msh, factor):
    """The same ASCII MSH 4.1 mesh with every node coordinate multiplied by `factor`."""
    return map_nodes(msh, lambda _, p: [c * factor for c in p])


def copied_msh(msh, offsets, mirror=False):
    """Copies of one ASCII MSH 4.1 mesh of a single volume in one file, the c-th moved by
    offsets[c] (and, with `mirror`, every second one reflected in x = 0 first): identical
    disconnected cavities. Every triangle goes under tag 1, every tetrahedron under tag 10."""
    lines = msh.decode().split("\n")
    i = lines.index("$Nodes") + 1
    n_blocks = int(lines[i].split()[0])
    i += 1
    tags, coords = [], []
    for _ in range(n_blocks):
        count = int(lines[i].split()[3])
        tags += [int(w) for w in lines[i + 1:i + 1 + count]]
        coords += [[float(w) for w in line.split()] for line in lines[i + 1 + count:i + 1 + 2 * count]]
        i += 1 + 2 * count
    index = {t: k for k, t in enumerate(tags)}
    nodes = np.array(coords)
    cells = {"2": [], TETRAHEDRON: []}
    i = lines.index("$Elements") + 1
    n_blocks = int(lines[i].split()[0])
    i += 1
    for _ in range(n_blocks):
        _, _, kind, count = lines[i].split()
        if kind in cells:
            cells[kind] += [[index[int(w)] for w in line.split()[1:]] for line in lines[i + 1:i + 1 + int(count)]]
        i += 1 + int(count)
    n = len(nodes)
    out_nodes = []
    for c, offset in enumerate(offsets):
        p = nodes * ([-1.0, 1.0, 1.0] if mirror and c % 2 else 1.0)
        out_nodes += [p + np.asarray(offset, dtype=float)]
    out_nodes = np.vstack(out_nodes)
    blocks = [(1, "2", cells["2"]), (10, TETRAHEDRON, cells[TETRAHEDRON])]
    n_cells = len(offsets) * sum(len(body) for _, _, body in blocks)
    text = ["$MeshFormat", "4.1 0 8", "$EndMeshFormat", "$Nodes", f"1 {len(out_nodes)} 1 {len(out_nodes)}",
            f"3 1 0 {len(out_nodes)}"]
    text += [str(k + 1) for k in range(len(out_nodes))]
    text += [" ".join(repr(float(x)) for x in p) for p in out_nodes]
    text += ["$EndNodes", "$Elements", f"2 {n_cells} 1 {n_cells}"]
    k = 0
    for tag, kind, body in blocks:
        text.append(f"{2 if kind == '2' else 3} {tag} {kind} {len(offsets) * len(body)}")
        for c in range(len(offsets)):
            for cell in body:
                k += 1
                text.append(f"{k} " + " ".join(str(c * n + v + 1) for v in cell))
    text += ["$EndElements", ""]
    return "\n".join(text).encode()
