"""splitavg-mpi on this machine, every figure from one run (best of R each), printed and put into
bench/results/RESULTS.md (its own section, for the default shape):

- reading: the program's read of an N x D -v6 file by one process beside a plain read of the same
  bytes, into a buffer reused as dd does and into memory of the file's size (numpy, not our code);
  the same for a wide 2 x 10^6 file;
- the run: P = 1, 2 processes of one thread and one process of two threads (read, exchange, pass,
  total, the bytes moved), beside the module's call on the data already in memory (Octave);
- a sparse 10^6 x 10^6 X with 10 nonzeros a row: the weights against the module's, and each
  process's peak memory against the module's (X in the session plus what the call adds) over P.

    bench/mpi_scaling [N [D [R]]]     (default 1000000 100 3; the data go to build/bench-data)
"""
import os
import subprocess
import sys
import time

import numpy

import results_file  # beside this file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
DATA = os.path.join(BUILD, "bench-data")
PROGRAM = os.path.join(BUILD, "cluster", "splitavg-mpi")
MODULES = os.path.join(BUILD, "octave")
ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")


def octave(code):
    out = subprocess.run(["octave-cli", "--no-gui", "--norc", "--quiet", "--eval", code], env=ENV, check=True,
                         capture_output=True, text=True).stdout
    return out


def make_dense(path, N, D):
    if not os.path.exists(path):
        octave(f"randn('state', 1); X = randn({N}, {D}); y = X * (mod(1:{D}, 7) == 0)' + 0.5 * randn({N}, 1); "
               f"save('-v6', '{path}', 'X', 'y');")


def make_sparse(path, N, D, per_row):
    if not os.path.exists(path):
        octave(f"rand('state', 1); randn('state', 1); X = sparse(kron((1:{N})', ones({per_row}, 1)), "
               f"randi({D}, {per_row * N}, 1), randn({per_row * N}, 1), {N}, {D}); y = randn({N}, 1); "
               f"save('-v6', '{path}', 'X', 'y');")


def plain_reads(path, repeats):
    """Seconds of the best plain read into a reused 8 MB buffer and into memory of the file's size."""
    size = os.path.getsize(path)
    reused, fresh = [], []
    for _ in range(repeats):
        buf = bytearray(8 << 20)
        t = time.perf_counter()
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass
        reused.append(time.perf_counter() - t)
        t = time.perf_counter()
        whole = numpy.empty(size, dtype=numpy.uint8)
        with open(path, "rb", buffering=0) as f:
            f.readinto(whole)
        fresh.append(time.perf_counter() - t)
        del whole
    return min(reused), min(fresh)


def program_run(path, P, t, repeats, seed=5, lam="1e-4"):
    """info of the run with the smallest total time (read_time, ... as floats)."""
    out = os.path.join(DATA, "mpi_out.mat")
    best = None
    for _ in range(repeats):
        subprocess.run(["mpirun", "--oversubscribe", "--bind-to", "none", "-n", str(P), PROGRAM, "--seed", str(seed),
                        "--threads", str(t), "--step", "1e-3", "--lambda", lam, path, out], env=ENV, check=True,
                       stdout=subprocess.DEVNULL)
        line = octave(f"s = load('{out}'); i = s.info; printf('%.6f %.6f %.6f %.6f %.0f %.0f\\n', i.read_time, "
                      f"i.exchange_time, i.pass_time, i.time, i.exchange_bytes, i.peak_memory);")
        v = [float(x) for x in line.split()]
        info = dict(zip(["read", "exchange", "pass", "total", "bytes", "peak"], v))
        if best is None or info["total"] < best["total"]:
            best = info
    return best, out


def module_call(path, threads, repeats):
    """Best seconds of splitavg on the data already in an Octave session."""
    line = octave(f"addpath('{MODULES}'); s = load('{path}'); best = Inf; for r = 1:{repeats}, tic; "
                  f"w = splitavg(s.X, s.y, 1e-3, 1e-4, 0, struct('seed', 5, 'threads', {threads})); "
                  f"best = min(best, toc); end; printf('%.6f\\n', best);")
    return float(line)


def measure(N, D, R):
    os.makedirs(DATA, exist_ok=True)
    dense = os.path.join(DATA, f"mpi_{N}x{D}.mat")
    wide = os.path.join(DATA, "mpi_2x1000000.mat")
    sparse = os.path.join(DATA, "mpi_sparse_1000000x1000000x10.mat")
    make_dense(dense, N, D)
    make_dense(wide, 2, 1000000)
    make_sparse(sparse, 1000000, 1000000, 10)
    m = {"N": N, "D": D, "R": R, "reads": []}
    for name, path in [(f"{N} × {D}", dense), ("2 × 10^6", wide)]:
        reused, fresh = plain_reads(path, R)
        run, _ = program_run(path, 1, 1, R)
        m["reads"].append((name, os.path.getsize(path) / 1e6, reused, fresh, run["read"]))
    m["runs"] = {}
    for P, t in [(1, 1), (2, 1), (1, 2)]:
        m["runs"][(P, t)] = program_run(dense, P, t, R)[0]
    m["module_call"] = module_call(dense, 1, R)
    kb = octave(f"addpath('{MODULES}'); "
                f"kb = @(f) str2double(regexp(fileread('/proc/self/status'), [f ':\\s*(\\d+)'], 'tokens', 'once'){{1}}); "
                f"before = kb('VmRSS'); s = load('{sparse}'); with_data = kb('VmRSS'); "
                f"w = splitavg(s.X, s.y, 1e-3, 1e-6, 0, struct('seed', 5, 'threads', 2)); "
                f"save('-v6', '{DATA}/module_sparse_w.mat', 'w'); "
                f"printf('%d %d\\n', with_data - before, kb('VmHWM') - with_data);").split()
    m["module_x_mb"], m["module_call_mb"] = float(kb[0]) * 1024 / 1e6, float(kb[1]) * 1024 / 1e6
    m["sparse"] = []
    for P, t in [(1, 2), (2, 1)]:
        run, out = program_run(sparse, P, t, 1, lam="1e-6")
        same = octave(f"a = load('{out}'); b = load('{DATA}/module_sparse_w.mat'); "
                      f"printf('%d\\n', isequal(typecast(a.w, 'uint64'), typecast(b.w, 'uint64')));").strip() == "1"
        m["sparse"].append((P, t, same, run))
    return m


def section(m):
    """The RESULTS.md section, targets first."""
    N, D = m["N"], m["D"]
    big, wide = m["reads"]
    runs = m["runs"]
    whole = runs[(1, 1)]["total"] / (m["module_call"] + big[3])
    module_peak = m["module_x_mb"] + m["module_call_mb"]
    P2 = next(s for s in m["sparse"] if s[0] == 2)
    peak_ratio = P2[3]["peak"] / 1e6 / (module_peak / 2)

    def met(ok):
        return "yes" if ok else "**no**"

    L = ["## splitavg-mpi", "",
         f"`bench/mpi_scaling` ({os.cpu_count()} cores, best of {m['R']}; the files in the page cache, `-v6`). The "
         "plain reads are numpy's, not our code: the file's bytes into a reused 8 MB buffer (as `dd` reads) "
         "and into memory of the file's size (which pays the kernel's zeroing of fresh pages, as the "
         "program's rows do).", "",
         "| target | measured | goal | met |", "|---|---|---|---|",
         f"| read of {N} × {D} by one process / plain read into memory | {big[4] / big[3]:.2f} | ≤ 2 | "
         f"{met(big[4] / big[3] <= 2)} |",
         f"| read of 2 × 10^6 by one process / plain read into memory | {wide[4] / wide[3]:.2f} | ≤ 3 | "
         f"{met(wide[4] / wide[3] <= 3)} |",
         f"| whole run P = 1, t = 1 / (the module's call on X in memory + the plain read into memory) | "
         f"{whole:.2f} | ≤ 3 | {met(whole <= 3)} |",
         f"| sparse 10^6 × 10^6 (10 a row), P = 2: weights identical to the module's | "
         f"{'yes' if P2[2] else 'no'} | yes | {met(P2[2])} |",
         f"| sparse 10^6 × 10^6, P = 2: peak per process / (the module's peak / 2) | {peak_ratio:.2f} | ≤ 1.2 | "
         f"{met(peak_ratio <= 1.2)} |", "",
         "| file | MB | plain read, reused buffer s | plain read into memory s | program's read s | program / into memory |",
         "|---|---|---|---|---|---|"]
    for name, mb, reused, fresh, read in m["reads"]:
        L.append(f"| {name} | {mb:.1f} | {reused:.4f} | {fresh:.4f} | {read:.4f} | {read / fresh:.2f} |")
    L += ["", f"Runs on {N} × {D} (seconds; the exchange moves rows between processes through shared memory):", "",
          "| run | read | exchange | pass | total | bytes sent | GB/s |", "|---|---|---|---|---|---|---|"]
    for (P, t), r in runs.items():
        rate = f"{r['bytes'] / r['exchange'] / 1e9:.2f}" if r["bytes"] > 0 else "–"
        L.append(f"| P = {P}, t = {t} | {r['read']:.3f} | {r['exchange']:.3f} | {r['pass']:.3f} | {r['total']:.3f} | "
                 f"{r['bytes']:.0f} | {rate} |")
    L.append(f"| the module's call, 1 thread, X already in an Octave session | | | | {m['module_call']:.3f} | | |")
    L += ["", f"Sparse 10^6 × 10^6 with 10 nonzeros a row (132 MB as `-v6`): the module with 2 threads holds "
          f"X in the session ({m['module_x_mb']:.1f} MB) and adds {m['module_call_mb']:.1f} MB in its call, "
          f"{module_peak:.1f} MB in all.", "",
          "| run | weights identical to the module's | peak per process, MB | / (the module's / P) | read s | exchange s | pass s |",
          "|---|---|---|---|---|---|---|"]
    for P, t, same, r in m["sparse"]:
        L.append(f"| P = {P}, t = {t} | {'yes' if same else 'no'} | {r['peak'] / 1e6:.1f} | "
                 f"{r['peak'] / 1e6 / (module_peak / P):.2f} | {r['read']:.3f} | {r['exchange']:.3f} | {r['pass']:.3f} |")
    L += ["", "The peak of a process is its resident memory above what it held when it started (the MPI "
          "runtime's own). Two processes share the 2 cores here, so the exchange and the pass of P = 2 "
          "say little about scaling; what they show is that the program moves (P − 1)/P of the rows, "
          "once each.", ""]
    return L


def main():
    N = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    D = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    R = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    L = section(measure(N, D, R))
    print("\n".join(L))
    if (N, D) == (1000000, 100):
        results_file.splice("## splitavg-mpi", L)


if __name__ == "__main__":
    main()
