"""Far-field direction loop and nodal fields on structured unit boxes (six tetrahedra per cell).

The far field integrates over the box's boundary (n = 41 cells per axis: 20,172 triangles, six
samples each) on the default 91 x 72 grid and on 361 x 180, with all worker threads and with one
(RAYON_NUM_THREADS=1); the sampling (point location and field evaluation, done once per call) is
timed apart. The nodal table times E and H at every node of boxes up to 65^3 nodes (275k), and
with --large of a 100^3-node box (1M nodes, 5.8M tetrahedra; the set-up of that box peaks at about
17 GB, so it is not run by default). Solutions are fixed pseudo-random coefficient vectors: no sweep is run, so no sparse
back end is involved. Every case runs in its own process.

    PYTHONPATH=$PWD python3 bench/bench_farfield.py [--quick | --large]
"""
import json
import os
import resource
import subprocess
import sys

FAR_CELLS = 41
GRIDS = [(91, 72), (361, 180)]
NODAL_CELLS = [40, 64]
LARGE_NODAL = [40, 64, 99]
QUICK_NODAL = [40]


def far_worker():
    import vantrel._testing as probes
    d = probes.farfield_timings(FAR_CELLS, GRIDS)
    d["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps(d))


def nodal_worker(n):
    import vantrel._testing as probes
    d = probes.nodal_timings(n)
    d["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps(d))


def run(args, threads):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__] + args, env=env, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    quick = "--quick" in sys.argv
    cores = os.cpu_count()
    par, one = run(["--far"], None), run(["--far"], 1)
    print(f"Far field: {par['n_tris']} surface triangles, {par['n_samples']} samples; "
          f"sampling {par['sample_s']:.3f} s (all threads), {one['sample_s']:.3f} s (one)")
    head = (f"{'grid':>9} {'directions':>10} {'all s':>8} {'all dir/s':>10} {'one s':>8} "
            f"{'one dir/s':>10} {'speed-up':>8} {'ns/sample/dir (one)':>20}")
    print(head)
    print("-" * len(head))
    for (nt, nph), ps, os_ in zip(GRIDS, par["loop_s"], one["loop_s"]):
        n_dir = nt * nph
        print(f"{nt:>4}x{nph:<4} {n_dir:>10} {ps:>8.3f} {n_dir / ps:>10.0f} {os_:>8.3f} "
              f"{n_dir / os_:>10.0f} {os_ / ps:>8.2f} {os_ / n_dir / par['n_samples'] * 1e9:>20.2f}")
    print()
    print("Nodal fields (E: nodal_field_samples, H: h_field_at_nodes; each node once)")
    head = (f"{'cells':>6} {'nodes':>9} {'tets':>9} {'E all s':>8} {'H all s':>8} {'E one s':>8} "
            f"{'H one s':>8} {'peak MiB':>9}")
    print(head)
    print("-" * len(head))
    sizes = QUICK_NODAL if quick else LARGE_NODAL if "--large" in sys.argv else NODAL_CELLS
    for n in sizes:
        p, o = run(["--nodal", str(n)], None), run(["--nodal", str(n)], 1)
        print(f"{n:>4}^3 {p['n_nodes']:>9} {p['n_tets']:>9} {p['e_s']:>8.3f} {p['h_s']:>8.3f} "
              f"{o['e_s']:>8.3f} {o['h_s']:>8.3f} {p['peak']:>9.0f}")
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except OSError:
        commit = "?"
    print(f"commit {commit}; threads: all = {cores} hardware threads (pool default), one = "
          f"RAYON_NUM_THREADS=1; back end: none (fixed coefficients); load average at end "
          f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    if "--far" in sys.argv:
        far_worker()
    elif "--nodal" in sys.argv:
        nodal_worker(int(sys.argv[sys.argv.index("--nodal") + 1]))
    else:
        main()
