"""Rewrites ASCII Gmsh MSH 4.1 text: the same mesh with its tetrahedra in another order, with
its coordinates scaled or moved, or copied side by side."""
import numpy as np

TETRAHEDRON = "4"  # MSH element type of the four-node tetrahedron


def blocks(lines, section):
    """The entity blocks of the section "$Nodes" or "$Elements" of MSH 4.1 lines: (index of the
    block's header line, its words, its count). A node block holds `count` tag lines, then
    `count` coordinate lines; an element block `count` element lines."""
    i = lines.index(section) + 1
    per_entity = 2 if section == "$Nodes" else 1
    for _ in range(int(lines[i].split()[0])):
        i += 1
        words = lines[i].split()
        count = int(words[3])
        yield i, words, count
        i += per_entity * count


def reorder_tets(msh, seed):
    """The mesh with its tetrahedron blocks in reverse order and the tetrahedra of every block
    shuffled: the same nodes, triangles, tags and unknown count, another tetrahedron numbering."""
    lines = msh.decode().split("\n")
    start = lines.index("$Elements")
    found = [(lines[h], lines[h + 1:h + 1 + count]) for h, _, count in blocks(lines, "$Elements")]
    end = start + 2 + sum(1 + len(body) for _, body in found)
    rng = np.random.default_rng(seed)
    tets = iter([(head, [body[k] for k in rng.permutation(len(body))])
                 for head, body in reversed(found) if head.split()[2] == TETRAHEDRON])
    found = [next(tets) if head.split()[2] == TETRAHEDRON else (head, body) for head, body in found]
    out = lines[:start + 2] + [line for head, body in found for line in [head] + body] + lines[end:]
    return "\n".join(out).encode()


def map_nodes(msh, fn):
    """The same ASCII MSH 4.1 mesh with node k (in file order, from 0) at fn(k, [x, y, z])."""
    lines = msh.decode().split("\n")
    k = 0
    for h, words, count in blocks(lines, "$Nodes"):
        assert words[2] == "0"  # not parametric
        for j in range(h + 1 + count, h + 1 + 2 * count):  # after the block's node tags
            lines[j] = " ".join(repr(c) for c in fn(k, [float(w) for w in lines[j].split()]))
            k += 1
    return "\n".join(lines).encode()


def scaled_msh(msh, factor):
    """The same ASCII MSH 4.1 mesh with every node coordinate multiplied by `factor`."""
    return map_nodes(msh, lambda _, p: [c * factor for c in p])


def copied_msh(msh, offsets, mirror=False):
    """Copies of one ASCII MSH 4.1 mesh of a single volume in one file, the c-th moved by
    offsets[c] (and, with `mirror`, every second one reflected in x = 0 first): identical
    disconnected cavities. Every triangle goes under tag 1, every tetrahedron under tag 10."""
    lines = msh.decode().split("\n")
    tags, coords = [], []
    for h, _, count in blocks(lines, "$Nodes"):
        tags += [int(w) for w in lines[h + 1:h + 1 + count]]
        coords += [[float(w) for w in line.split()] for line in lines[h + 1 + count:h + 1 + 2 * count]]
    index = {t: k for k, t in enumerate(tags)}
    nodes = np.array(coords)
    cells = {"2": [], TETRAHEDRON: []}
    for h, words, count in blocks(lines, "$Elements"):
        if words[2] in cells:
            cells[words[2]] += [[index[int(w)] for w in line.split()[1:]] for line in lines[h + 1:h + 1 + count]]
    n = len(nodes)
    out_nodes = []
    for c, offset in enumerate(offsets):
        p = nodes * ([-1.0, 1.0, 1.0] if mirror and c % 2 else 1.0)
        out_nodes += [p + np.asarray(offset, dtype=float)]
    out_nodes = np.vstack(out_nodes)
    out_blocks = [(1, "2", cells["2"]), (10, TETRAHEDRON, cells[TETRAHEDRON])]
    n_cells = len(offsets) * sum(len(body) for _, _, body in out_blocks)
    text = ["$MeshFormat", "4.1 0 8", "$EndMeshFormat", "$Nodes", f"1 {len(out_nodes)} 1 {len(out_nodes)}",
            f"3 1 0 {len(out_nodes)}"]
    text += [str(k + 1) for k in range(len(out_nodes))]
    text += [" ".join(repr(float(x)) for x in p) for p in out_nodes]
    text += ["$EndNodes", "$Elements", f"2 {n_cells} 1 {n_cells}"]
    k = 0
    for tag, kind, body in out_blocks:
        text.append(f"{2 if kind == '2' else 3} {tag} {kind} {len(offsets) * len(body)}")
        for c in range(len(offsets)):
            for cell in body:
                k += 1
                text.append(f"{k} " + " ".join(str(c * n + v + 1) for v in cell))
    text += ["$EndElements", ""]
    return "\n".join(text).encode()
