"""Mesh import speed: vantrel's MSH 4.1 reader beside Gmsh's own, on a ~1M-tetrahedron box.

The meshes are generated once (Gmsh, HXT) and cached under build/bench/. Each measurement runs
in a fresh subprocess so that its peak RSS is its own; the table shows the peak RSS growth over
the process's state just before the import (bytes already in memory for vantrel).

    PYTHONPATH=$PWD python3 bench/bench_mesh_import.py [--tets 1000000] [--repeat 3]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "bench"


def generate(path, target_tets, binary):
    import gmsh

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", os.cpu_count() or 1)
        gmsh.model.add("bench")
        # Two boxes side by side: two volumes, shared interface, physical groups on both.
        gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
        gmsh.model.occ.addBox(1, 0, 0, 1, 1, 1)
        gmsh.model.occ.fragment([(3, 1)], [(3, 2)])
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [1], 1)
        gmsh.model.addPhysicalGroup(3, [2], 2)
        surfs = [s for _, s in gmsh.model.getEntities(2)]
        gmsh.model.addPhysicalGroup(2, surfs, 10)
        # HXT gives about 3.9 tetrahedra per lc^3 of volume in a box.
        lc = (2.0 * 3.9 / target_tets) ** (1.0 / 3.0)
        gmsh.option.setNumber("Mesh.MeshSizeMax", lc)
        gmsh.option.setNumber("Mesh.MeshSizeMin", lc)
        gmsh.option.setNumber("Mesh.Algorithm3D", 10)
        gmsh.model.mesh.generate(3)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.option.setNumber("Mesh.Binary", 1 if binary else 0)
        tmp = path.with_suffix(".tmp.msh")
        gmsh.write(str(tmp))
        tmp.rename(path)
    finally:
        gmsh.finalize()


def child(kind, path):
    """Runs one import in this (fresh) process and prints a JSON line."""
    import resource

    def rss_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    if kind in ("vantrel", "load_mesh"):
        import vantrel._testing as testing

        t0 = time.perf_counter()
        data = pathlib.Path(path).read_bytes()
        t_read = time.perf_counter() - t0
        base = rss_kib()
        stderr_fd = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)  # the summary line
        try:
            if kind == "vantrel":
                r = testing.time_mesh_import(data)
                t_import, n_tets = r["seconds"], r["tets"]
            else:
                t0 = time.perf_counter()
                m = testing.load_mesh(data)
                t_import = time.perf_counter() - t0
                n_tets = len(m["tets"])
        finally:
            os.dup2(stderr_fd, 2)
    else:
        import gmsh

        gmsh.initialize()
        gmsh.option.setNumber("General.Terminal", 0)
        base = rss_kib()
        t_read = 0.0
        t0 = time.perf_counter()
        gmsh.open(path)
        t_import = time.perf_counter() - t0
        n_tets = len(gmsh.model.mesh.getElementsByType(4)[0])
        gmsh.finalize()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    print(json.dumps({"tets": n_tets, "read": t_read, "import": t_import,
                      "mem_mib": (peak - base) / 1024.0}))


def run_child(kind, path):
    out = subprocess.run([sys.executable, __file__, "--child", kind, str(path)],
                         capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": str(ROOT)})
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tets", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--child", nargs=2)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return

    CACHE.mkdir(parents=True, exist_ok=True)
    rows = []
    for fmt, binary in (("ascii", False), ("binary", True)):
        path = CACHE / f"two_boxes_{args.tets}_{fmt}.msh"
        if not path.exists():
            print(f"generating {path.name} ...", file=sys.stderr, flush=True)
            generate(path, args.tets, binary)
        size_mb = path.stat().st_size / 1e6
        for kind in ("vantrel", "load_mesh", "gmsh"):
            runs = [run_child(kind, path) for _ in range(args.repeat)]
            best = min(runs, key=lambda r: r["import"])
            rows.append((fmt, size_mb, kind, best))

    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    print(f"{'format':<7} {'file MB':>8} {'reader':<9} {'tets':>9} {'read s':>7} {'import s':>9} "
          f"{'Mtets/s':>8} {'peak dRSS MiB':>14}")
    for fmt, size_mb, kind, r in rows:
        rate = r["tets"] / r["import"] / 1e6
        print(f"{fmt:<7} {size_mb:8.1f} {kind:<9} {r['tets']:9d} {r['read']:7.3f} "
              f"{r['import']:9.3f} {rate:8.2f} {r['mem_mib']:14.1f}")
    threads = os.environ.get("RAYON_NUM_THREADS", str(os.cpu_count()))
    print(f"best of {args.repeat}; commit {commit}; {threads} threads; load avg "
          f"{os.getloadavg()[0]:.1f}\n"
          f"vantrel = load_msh_bytes (parse + topology + groups) from bytes in memory; load_mesh = "
          f"the same through vantrel._testing.load_mesh with its NumPy arrays; gmsh = gmsh.open "
          f"(reads the file itself); read s = reading the file into bytes")


if __name__ == "__main__":
    main()
