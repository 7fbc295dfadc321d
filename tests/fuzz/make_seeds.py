"""Writes the seed corpora of the fuzz harnesses into OUTDIR/msh and OUTDIR/config.

msh: small Gmsh MSH 4.1 files, ASCII and binary, made here with Gmsh: first- and second-order
tetrahedra, quadrangles, lines and points, physical groups and names, periodic surfaces, a
partitioned mesh and one with a node-data view.
config: the TOML texts of the configuration tests (tests/cpp/test_config.cpp and
tests/test_config.py), lifted from their string literals.

Usage: python3 tests/fuzz/make_seeds.py OUTDIR
"""
import ast
import pathlib
import re
import sys

import gmsh

ROOT = pathlib.Path(__file__).resolve().parents[2]


# ---- meshes ----------------------------------------------------------------------------------
def box(order=1, size=2.0):
    gmsh.model.occ.addBox(0, 0, 0, 1, 0.5, 0.4)
    gmsh.model.occ.synchronize()
    gmsh.model.addPhysicalGroup(3, [1], 10, name="air")
    gmsh.model.addPhysicalGroup(2, [1], 1, name="port 1")
    gmsh.model.addPhysicalGroup(2, [2], 2, name="port 2")
    gmsh.model.addPhysicalGroup(2, [3, 4, 5, 6], 3, name="walls")
    gmsh.option.setNumber("Mesh.MeshSizeMax", size)
    gmsh.model.mesh.generate(3)
    if order > 1:
        gmsh.model.mesh.setOrder(order)


def two_boxes_with_quads():
    # Two volumes sharing a face, and a recombined plate beside them: tetrahedra, triangles,
    # quadrangles, lines and points in one file (SaveAll keeps every element).
    gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    gmsh.model.occ.addBox(1, 0, 0, 1, 1, 1)
    gmsh.model.occ.fragment([(3, 1)], [(3, 2)])
    gmsh.model.occ.addRectangle(0, 2, 0, 1, 1)
    gmsh.model.occ.synchronize()
    vols = [t for _, t in gmsh.model.getEntities(3)]
    gmsh.model.addPhysicalGroup(3, vols[:1], 1, name="left")
    gmsh.model.addPhysicalGroup(3, vols[1:], 2, name="right")
    plate = max(t for _, t in gmsh.model.getEntities(2))
    gmsh.model.mesh.setRecombine(2, plate)
    gmsh.option.setNumber("Mesh.MeshSizeMax", 2.0)
    gmsh.option.setNumber("Mesh.SaveAll", 1)
    gmsh.model.mesh.generate(3)


def periodic_box():
    gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    gmsh.model.occ.synchronize()
    shift = [1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]
    xmin = [s for _, s in gmsh.model.getEntitiesInBoundingBox(-0.1, -0.1, -0.1, 0.1, 1.1, 1.1, 2)]
    xmax = [s for _, s in gmsh.model.getEntitiesInBoundingBox(0.9, -0.1, -0.1, 1.1, 1.1, 1.1, 2)]
    gmsh.model.mesh.setPeriodic(2, xmax, xmin, shift)
    gmsh.model.addPhysicalGroup(3, [1], 5)
    gmsh.model.addPhysicalGroup(2, xmin + xmax, 6, name="periodic pair")
    gmsh.option.setNumber("Mesh.MeshSizeMax", 2.0)
    gmsh.model.mesh.generate(3)


def partitioned_box():
    box(size=0.5)
    gmsh.model.mesh.partition(2)


def box_with_view():
    box()
    nodes, _, _ = gmsh.model.mesh.getNodes()
    view = gmsh.view.add("potential")
    gmsh.view.addHomogeneousModelData(view, 0, gmsh.model.getCurrent(), "NodeData",
                                      list(nodes), [float(n % 7) for n in nodes])
    return view


MESHES = [
    ("box", box, {}),
    ("box_order2", lambda: box(order=2), {}),
    ("two_boxes_quads", two_boxes_with_quads, {}),
    ("periodic", periodic_box, {}),
    ("partitioned", partitioned_box, {}),
]


def write_meshes(out):
    out.mkdir(parents=True, exist_ok=True)
    gmsh.initialize(readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        # Sizes come from Mesh.MeshSizeMax alone: a few dozen elements keep the seeds small.
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        for name, build, _ in MESHES:
            for binary in (0, 1):
                gmsh.clear()
                gmsh.model.add(name)
                build()
                gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
                gmsh.option.setNumber("Mesh.Binary", binary)
                gmsh.write(str(out / f"{name}_{'bin' if binary else 'ascii'}.msh"))
                gmsh.option.setNumber("Mesh.SaveAll", 0)
        for binary in (0, 1):
            gmsh.clear()
            gmsh.model.add("view")
            view = box_with_view()
            gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
            gmsh.option.setNumber("Mesh.Binary", binary)
            path = out / f"node_data_{'bin' if binary else 'ascii'}.msh"
            gmsh.view.write(view, str(path))  # the mesh, then its $NodeData
    finally:
        gmsh.finalize()


# ---- TOML texts --------------------------------------------------------------------------------
CPP_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def cpp_texts(source):
    """Each statement's adjacent string literals joined, with BASE put in front where named."""
    base = 'mesh.file = "m.msh"\npec.tags = []\n'
    texts = set()
    for statement in re.split(r";\s*\n", source):
        if "R\"(" in statement:
            continue
        literals = CPP_LITERAL.findall(statement)
        if not literals:
            continue
        text = "".join(bytes(s, "utf-8").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")
                       for s in literals)
        if "=" not in text and "[" not in text:
            continue
        texts.add(text)
        if "BASE +" in statement or "BASE+" in statement:
            texts.add(base + text)
    return texts


def python_texts(source):
    """The module's string expressions made of literals, module constants and '+'."""
    tree = ast.parse(source)
    names = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Constant):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node.value.value

    def value(node):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return node.value
        if isinstance(node, ast.Name) and isinstance(names.get(node.id), str):
            return names[node.id]
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
            left, right = value(node.left), value(node.right)
            if left is not None and right is not None:
                return left + right
        return None

    texts = set()
    for node in ast.walk(tree):
        text = value(node)
        if text is not None and ("=" in text or "[" in text) and "TOML parse error" not in text:
            texts.add(text)
    return texts


def write_configs(out):
    out.mkdir(parents=True, exist_ok=True)
    texts = cpp_texts((ROOT / "tests/cpp/test_config.cpp").read_text())
    texts |= python_texts((ROOT / "tests/test_config.py").read_text())
    for i, text in enumerate(sorted(texts)):
        (out / f"test_text_{i:03d}.toml").write_text(text)
    return len(texts)


if __name__ == "__main__":
    outdir = pathlib.Path(sys.argv[1])
    write_meshes(outdir / "msh")
    n = write_configs(outdir / "config")
    print(f"seeds: {len(list((outdir / 'msh').iterdir()))} meshes, {n} TOML texts in {outdir}")
