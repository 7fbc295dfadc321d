"""Eigenmode benchmark: a closed WR-90 box 100 mm long (conducting walls), Gmsh-meshed at ~50k and
~200k unknowns, six modes near 10 GHz, for every sparse back end, beside the sweep's
factorisation of the same matrix (a one-frequency sweep of the same box at the target).

    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py
    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py --sizes 50k --solvers pardiso
    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py --timeout 600

Each (size, back end, road) runs in a fresh process, so the peak resident memory is that run's
own; a run that passes --timeout seconds is stopped and reported as such.
Columns: assembly + conductor elimination + merge (s), factorisation of E - sigma B (s), Krylov
steps, back-end solve per step (s), the rest of a step (mass product, orthogonalisation) (s),
Ritz extraction with residual checks (s), the whole search (s), the budget "factorisation + 100
solves" (s), peak memory, the sweep's factorisation of the same matrix and its peak memory, and
the largest relative residual ||Ex - lambda Bx|| / ||Ex|| of the modes returned.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

A, B, LENGTH = 22.86e-3, 10.16e-3, 100e-3
SIZES = [("50k", 2.55e-3), ("200k", 1.6e-3)]
TARGET = 10e9
EIG_CONFIG = f"""
[mesh]
file = "box.msh"
[frequency]
values = [{TARGET}]
[pec]
tags = [1]
[eigenmode]
target_frequency = {TARGET}
n_modes = 6
"""
# The same box and the same matrix E - k0^2 B at k0 = 2 pi f_target / c0, through the sweep.
SWEEP_CONFIG = EIG_CONFIG.split("[eigenmode]")[0]


def make_mesh(path, h):
    import gmsh

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("box")
        vol = gmsh.model.occ.addBox(0, 0, 0, A, B, LENGTH)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(2, [e for _, e in gmsh.model.getEntities(2)], 1)
        gmsh.model.addPhysicalGroup(3, [vol], 10)
        gmsh.option.setNumber("Mesh.MeshSizeMax", h)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.option.setNumber("Mesh.Binary", 1)
        gmsh.model.mesh.generate(3)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def child(road, mesh_path):
    """One search or one sweep in this process; prints its timings and peak memory as JSON."""
    import resource

    import vantrel._testing as t

    with open(mesh_path, "rb") as fh:
        mesh = fh.read()
    wall = time.perf_counter()
    d = t.eigenmode_search(mesh, EIG_CONFIG) if road == "eigen" else t.sweep_timings(mesh, SWEEP_CONFIG)
    d["wall_s"] = time.perf_counter() - wall
    for m in d.get("modes", []):
        m["eigenvalue"] = [m["eigenvalue"].real, m["eigenvalue"].imag]
    d["peak_rss_gb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024**2
    print("RESULT " + json.dumps(d))


def run_case(road, mesh_path, solver, timeout):
    env = dict(os.environ, VANTREL_SOLVER=solver)
    try:
        p = subprocess.run([sys.executable, __file__, "--child", road, mesh_path], env=env,
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, f"stopped after {timeout} s"
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:]), p.stderr
    return None, p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="50k,200k")
    ap.add_argument("--solvers", default="pardiso,faer,accelerate")
    ap.add_argument("--timeout", type=float, default=900.0, help="seconds per run")
    ap.add_argument("--child", nargs=2)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return

    sizes = [s for s in SIZES if s[0] in args.sizes.split(",")]
    solvers = args.solvers.split(",")
    tmp = tempfile.mkdtemp(prefix="bench_eigenmode_")
    head = (f"{'mesh':>5} {'unknowns':>9} {'free':>8} {'back end':>24} {'setup s':>7} {'factor s':>8} "
            f"{'steps':>5} {'solve/step s':>12} {'rest/step s':>11} {'ritz s':>6} {'total s':>7} "
            f"{'fac+100 sol s':>13} {'peak GB':>7} {'sweep fac s':>11} {'sweep GB':>8} {'max resid':>9}")
    print(head)
    print("-" * len(head))
    names = set()
    for label, h in sizes:
        path = os.path.join(tmp, f"box_{label}.msh")
        make_mesh(path, h)
        for solver in solvers:
            d, err = run_case("eigen", path, solver, args.timeout)
            if d is None:
                last = err.strip().splitlines()[-1] if err.strip() else "no output"
                print(f"{label:>5} {'':>9} {'':>8} {solver:>24}  eigenmode failed: {last}", flush=True)
                continue
            s, serr = run_case("sweep", path, solver, args.timeout)
            name = next((l.split("using ", 1)[1] for l in err.splitlines() if "solver: using" in l), solver)
            names.add(name)
            steps = max(d["steps"], 1)
            solve = d["solve_s"] / steps
            rest = (d["krylov_s"] - d["solve_s"]) / steps
            total = d["assembly_s"] + d["pattern_s"] + d["factor_s"] + d["krylov_s"] + d["ritz_s"]
            budget = d["factor_s"] + 100 * solve
            resid = max((m["residual"] for m in d["modes"]), default=float("nan"))
            sweep_fac = f"{s['factor_s'][0]:>11.2f}" if s else f"{'stopped' if 'stopped' in serr else 'failed':>11}"
            sweep_gb = f"{s['peak_rss_gb']:>8.2f}" if s else f"{'':>8}"
            print(f"{label:>5} {d['n_dofs']:>9} {d['n_free']:>8} {name[:24]:>24} "
                  f"{d['assembly_s'] + d['pattern_s']:>7.2f} {d['factor_s']:>8.2f} {d['steps']:>5} "
                  f"{solve:>12.3f} {rest:>11.3f} {d['ritz_s']:>6.2f} {total:>7.2f} {budget:>13.2f} "
                  f"{d['peak_rss_gb']:>7.2f} {sweep_fac} {sweep_gb} {resid:>9.1e}", flush=True)
    rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    threads = os.environ.get("RAYON_NUM_THREADS") or os.cpu_count()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"commit {rev or '?'}, {threads} threads, load average {load:.1f} at the end; "
          f"6 modes near {TARGET / 1e9:g} GHz; back ends: {', '.join(sorted(names))}")


if __name__ == "__main__":
    main()
