"""Eigenmode benchmark: a closed WR-90 box 100 mm long (conducting walls), Gmsh-meshed at ~50k and
~200k unknowns, for every sparse back end, in three cases: six modes near 10 GHz ("near"), six
modes with a target of 100 MHz, far below the first resonance at 6.6 GHz ("low"), and 40 modes
near 10 GHz ("many"); beside the sweep's factorisation of the same matrix (a one-frequency sweep
of the same box at 10 GHz).

    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py
    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py --sizes 50k --solvers pardiso --cases near,low
    PYTHONPATH=$PWD python3 bench/bench_eigenmode.py --timeout 600

Each (size, back end, case) runs in a fresh process, so the peak resident memory is that run's
own; a run that passes --timeout seconds is stopped and reported as such.
Columns: modes returned, assembly + conductor elimination + merge (s), the gradient fields (G,
K = G^T B G and its factorisation) (s), factorisation of E - s B (s), Krylov steps (solves),
restarts, and of the steps those of the check for missing copies of repeated modes (after the
wanted pairs converge, a sequence from a fresh vector), back-end solve per step (s), the rest of a step (mass products, gradient projection,
orthogonalisation) (s), Ritz extraction with residual checks (s), the whole search (s), the
budget "factorisation + 100 solves" (s), peak memory, the sweep's factorisation of the same
matrix and its peak memory, and the largest relative residual ||Ex - lambda Bx|| / ||Ex|| of the
modes returned.
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
CASES = {"near": (TARGET, 6), "low": (100e6, 6), "many": (TARGET, 40)}
BOX_CONFIG = f"""
[mesh]
file = "box.msh"
[frequency]
values = [{TARGET}]
[pec]
tags = [1]
"""
# The same box and the same matrix E - k0^2 B at k0 = 2 pi f_target / c0, through the sweep.
SWEEP_CONFIG = BOX_CONFIG


def eig_config(case):
    target, n_modes = CASES[case]
    return BOX_CONFIG + f"[eigenmode]\ntarget_frequency = {target}\nn_modes = {n_modes}\n"


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
    """One search (road = a case name) or one sweep (road = "sweep") in this process; prints its
    timings and peak memory as JSON."""
    import resource

    import vantrel._testing as t

    with open(mesh_path, "rb") as fh:
        mesh = fh.read()
    wall = time.perf_counter()
    d = t.sweep_timings(mesh, SWEEP_CONFIG) if road == "sweep" else t.eigenmode_search(mesh, eig_config(road))
    d["wall_s"] = time.perf_counter() - wall
    for m in d.get("modes", []):
        m["eigenvalue"] = [m["eigenvalue"].real, m["eigenvalue"].imag]
        m.pop("field", None)  # the field array is not JSON
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
    ap.add_argument("--cases", default="near,low,many")
    ap.add_argument("--timeout", type=float, default=900.0, help="seconds per run")
    ap.add_argument("--child", nargs=2)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return

    sizes = [s for s in SIZES if s[0] in args.sizes.split(",")]
    solvers = args.solvers.split(",")
    tmp = tempfile.mkdtemp(prefix="bench_eigenmode_")
    cases = [c for c in CASES if c in args.cases.split(",")]
    head = (f"{'mesh':>5} {'unknowns':>9} {'free':>8} {'back end':>24} {'case':>4} {'modes':>5} "
            f"{'setup s':>7} {'grad s':>6} {'factor s':>8} {'steps':>5} {'rst':>3} {'check':>5} {'solve/step s':>12} "
            f"{'rest/step s':>11} {'ritz s':>6} {'total s':>7} {'fac+100 sol s':>13} {'peak GB':>7} "
            f"{'sweep fac s':>11} {'sweep GB':>8} {'max resid':>9}")
    print(head)
    print("-" * len(head))
    names = set()
    for label, h in sizes:
        path = os.path.join(tmp, f"box_{label}.msh")
        make_mesh(path, h)
        for solver in solvers:
            s, serr = run_case("sweep", path, solver, args.timeout)
            sweep_fac = f"{s['factor_s'][0]:>11.2f}" if s else f"{'stopped' if 'stopped' in serr else 'failed':>11}"
            sweep_gb = f"{s['peak_rss_gb']:>8.2f}" if s else f"{'':>8}"
            for case in cases:
                d, err = run_case(case, path, solver, args.timeout)
                if d is None:
                    last = err.strip().splitlines()[-1] if err.strip() else "no output"
                    print(f"{label:>5} {'':>9} {'':>8} {solver:>24} {case:>4}  eigenmode failed: {last}", flush=True)
                    continue
                name = next((l.split("using ", 1)[1] for l in err.splitlines() if "solver: using" in l), solver)
                names.add(name)
                steps = max(d["steps"], 1)
                solve = d["solve_s"] / steps
                rest = (d["krylov_s"] - d["solve_s"]) / steps
                total = (d["assembly_s"] + d["pattern_s"] + d["gradient_s"] + d["factor_s"] + d["krylov_s"]
                         + d["ritz_s"])
                budget = d["factor_s"] + 100 * solve
                resid = max((m["residual"] for m in d["modes"]), default=float("nan"))
                print(f"{label:>5} {d['n_dofs']:>9} {d['n_free']:>8} {name[:24]:>24} {case:>4} "
                      f"{len(d['modes']):>5} {d['assembly_s'] + d['pattern_s']:>7.2f} {d['gradient_s']:>6.2f} "
                      f"{d['factor_s']:>8.2f} {d['steps']:>5} {d['restarts']:>3} {d.get('check_steps', 0):>5} {solve:>12.3f} {rest:>11.3f} "
                      f"{d['ritz_s']:>6.2f} {total:>7.2f} {budget:>13.2f} {d['peak_rss_gb']:>7.2f} "
                      f"{sweep_fac} {sweep_gb} {resid:>9.1e}", flush=True)
    rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    threads = os.environ.get("RAYON_NUM_THREADS") or os.cpu_count()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"commit {rev or '?'}, {threads} threads, load average {load:.1f} at the end; "
          f"cases: " + ", ".join(f"{c} = {CASES[c][1]} modes near {CASES[c][0] / 1e9:g} GHz" for c in cases)
          + f"; back ends: {', '.join(sorted(names))}")


if __name__ == "__main__":
    main()
