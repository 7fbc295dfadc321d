"""Frequency-sweep benchmark: a Gmsh-meshed WR-90 guide 100 mm long, two rectangular ports,
three frequencies, at three mesh sizes, for every sparse back end.

    PYTHONPATH=$PWD python3 bench/bench_sweep.py            # ~50k and ~200k unknowns
    PYTHONPATH=$PWD python3 bench/bench_sweep.py --large    # adds ~600k unknowns
    PYTHONPATH=$PWD python3 bench/bench_sweep.py --solvers pardiso,accelerate

Each (size, back end) runs in a fresh process, so the peak resident memory is that run's own.
Columns: element assembly (tets/s), per frequency the back end's factorisation + solves (first
frequency: analysis + factorisation; later ones reuse the analysis), and our own share per
frequency (assembly, merged values, surface terms, right-hand sides, gathers, copies and the
S-parameter extraction) as a
fraction of the back end's factor + solve time. Targets: 0.8x the reference per frequency.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

A, B, LENGTH = 22.86e-3, 10.16e-3, 100e-3
# (label, mesh size h in metres, reference unknowns, reference seconds per frequency)
SIZES = [("50k", 2.55e-3, 49158, 1.55), ("200k", 1.6e-3, 192698, 9.2), ("600k", 1.07e-3, 599366, 43.9)]
CONFIG = """
[mesh]
file = "wr90.msh"
[frequency]
values = [8.5e9, 10e9, 11.5e9]
[[ports]]
type = "rectangular"
tag = 1
[[ports]]
type = "rectangular"
tag = 2
[pec]
tags = [3]
"""


def make_mesh(path, h):
    import gmsh

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("wr90")
        vol = gmsh.model.occ.addBox(0, 0, 0, A, B, LENGTH)
        gmsh.model.occ.synchronize()
        groups = {1: [], 2: [], 3: []}
        for dim, ent in gmsh.model.getEntities(2):
            z0, z1 = gmsh.model.getBoundingBox(dim, ent)[2::3]
            groups[1 if z1 < 1e-6 else 2 if z0 > LENGTH - 1e-6 else 3].append(ent)
        for tag, ents in groups.items():
            gmsh.model.addPhysicalGroup(2, ents, tag)
        gmsh.model.addPhysicalGroup(3, [vol], 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.option.setNumber("Mesh.Binary", 1)
        gmsh.model.mesh.generate(3)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def child(mesh_path):
    """One sweep in this process; prints its timings and peak memory as JSON."""
    import resource

    import vantrel._testing as t

    with open(mesh_path, "rb") as fh:
        mesh = fh.read()
    wall = time.perf_counter()
    d = t.sweep_timings(mesh, CONFIG)
    d["wall_s"] = time.perf_counter() - wall
    d["peak_rss_gb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024**2
    print("RESULT " + json.dumps(d))


def run_case(mesh_path, solver):
    env = dict(os.environ, VANTREL_SOLVER=solver)
    p = subprocess.run([sys.executable, __file__, "--child", mesh_path], env=env,
                       capture_output=True, text=True)
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:]), p.stderr
    return None, p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--large", action="store_true", help="also the ~600k-unknown mesh")
    ap.add_argument("--solvers", default="faer,accelerate,pardiso")
    ap.add_argument("--child")
    args = ap.parse_args()
    if args.child:
        child(args.child)
        return

    sizes = SIZES if args.large else SIZES[:2]
    solvers = args.solvers.split(",")
    tmp = tempfile.mkdtemp(prefix="bench_sweep_")
    head = (f"{'mesh':>5} {'tets':>7} {'unknowns':>9} {'free':>8} {'back end':>24} "
            f"{'assembly s':>10} {'Mtets/s':>7} {'f1 fac+sol s':>12} {'f2,f3 s':>8} {'target s':>8} "
            f"{'ours/fac+sol':>12} {'peak GB':>7}")
    print(head)
    print("-" * len(head))
    for label, h, ref_unknowns, ref_s in sizes:
        path = os.path.join(tmp, f"wr90_{label}.msh")
        make_mesh(path, h)
        for solver in solvers:
            d, err = run_case(path, solver)
            if d is None:
                last = err.strip().splitlines()[-1] if err.strip() else "no output"
                print(f"{label:>5} {'':>7} {'':>9} {'':>8} {solver:>24}  failed: {last}")
                continue
            name = next((l.split("using ", 1)[1] for l in err.splitlines() if "solver: using" in l), solver)
            fs = [a + b for a, b in zip(d["factor_s"], d["solve_s"])]
            ours = (d["assembly_s"] + d["pattern_s"] + d["materials_s"] + sum(d["fill_s"]) +
                    sum(d["rhs_s"]) + d.get("extract_s", 0.0))
            later = sum(fs[1:]) / max(len(fs) - 1, 1)
            print(f"{label:>5} {d['n_tets']:>7} {d['n_dofs']:>9} {d['n_free']:>8} {name[:24]:>24} "
                  f"{d['assembly_s']:>10.3f} {d['n_tets'] / d['assembly_s'] / 1e6:>7.3f} "
                  f"{fs[0]:>12.2f} {later:>8.2f} {0.8 * ref_s:>8.2f} "
                  f"{ours / sum(fs):>12.1%} {d['peak_rss_gb']:>7.2f}", flush=True)
    rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    threads = os.environ.get("RAYON_NUM_THREADS") or os.cpu_count()
    print(f"commit {rev or '?'}, {threads} threads, 3 frequencies, 2 right-hand sides each; "
          f"reference per frequency {', '.join(f'{s[3]} s @ {s[2]}' for s in sizes)} unknowns")


if __name__ == "__main__":
    main()
