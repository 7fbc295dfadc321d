"""Rewrites ASCII Gmsh MSH 4.1 text: the same mesh with its tetrahedra in another order, or
with its coordinates scaled or moved."""
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
