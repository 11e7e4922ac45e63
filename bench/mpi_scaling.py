"""splitavg-mpi on this machine, every figure from one run (best of R each):

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


def main():
    N = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    D = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    R = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    os.makedirs(DATA, exist_ok=True)
    dense = os.path.join(DATA, f"mpi_{N}x{D}.mat")
    wide = os.path.join(DATA, "mpi_2x1000000.mat")
    sparse = os.path.join(DATA, "mpi_sparse_1000000x1000000x10.mat")
    make_dense(dense, N, D)
    make_dense(wide, 2, 1000000)
    cores = os.cpu_count()
    print(f"splitavg-mpi on this machine ({cores} cores), best of {R}")

    print(f"\nReading, one process (-v6, in the page cache)")
    print(f"{'file':28} {'MB':>8} {'dd-like s':>10} {'into memory s':>14} {'program s':>10} {'/ memory':>9}")
    rows = {}
    for name, path in [(f"{N} x {D}", dense), ("2 x 1000000", wide)]:
        reused, fresh = plain_reads(path, R)
        run, _ = program_run(path, 1, 1, R)
        rows[name] = (reused, fresh, run)
        print(f"{name:28} {os.path.getsize(path) / 1e6:8.1f} {reused:10.4f} {fresh:14.4f} {run['read']:10.4f} "
              f"{run['read'] / fresh:9.2f}")

    print(f"\nRuns on {N} x {D} (seconds; exchange GB/s through shared memory)")
    print(f"{'run':16} {'read':>8} {'exchange':>9} {'pass':>8} {'total':>8} {'bytes':>12} {'GB/s':>6}")
    runs = {}
    for P, t in [(1, 1), (2, 1), (1, 2)]:
        run, _ = program_run(dense, P, t, R)
        runs[(P, t)] = run
        rate = f"{run['bytes'] / run['exchange'] / 1e9:6.2f}" if run["bytes"] > 0 else "     -"
        print(f"{f'P={P} t={t}':16} {run['read']:8.3f} {run['exchange']:9.3f} {run['pass']:8.3f} "
              f"{run['total']:8.3f} {run['bytes']:12.0f} {rate}")
    module1 = module_call(dense, 1, R)
    fresh = rows[f"{N} x {D}"][1]
    total = runs[(1, 1)]["total"]
    print(f"{'module call T=1':16} {'':8} {'':9} {'':8} {module1:8.3f}   (X already in the session)")
    print(f"whole run P=1 t=1 / (module call + plain read into memory): {total / (module1 + fresh):.2f}")
    print(f"strong scaling, pass P=1 / P=2: {runs[(1, 1)]['pass'] / runs[(2, 1)]['pass']:.2f}")

    print("\nSparse 10^6 x 10^6, 10 nonzeros a row (-v6)")
    make_sparse(sparse, 1000000, 1000000, 10)
    peak = octave(f"addpath('{MODULES}'); text = fileread('/proc/self/status'); "
                  f"kb = @(f) str2double(regexp(fileread('/proc/self/status'), [f ':\\s*(\\d+)'], 'tokens', 'once'){{1}}); "
                  f"before = kb('VmRSS'); s = load('{sparse}'); with_data = kb('VmRSS'); "
                  f"w = splitavg(s.X, s.y, 1e-3, 1e-6, 0, struct('seed', 5, 'threads', 2)); "
                  f"save('-v6', '{DATA}/module_sparse_w.mat', 'w'); "
                  f"printf('%d %d\\n', with_data - before, kb('VmHWM') - with_data);").split()
    x_kb, call_kb = float(peak[0]), float(peak[1])
    module_peak = (x_kb + call_kb) * 1024
    print(f"module T=2: X in the session {x_kb / 1024:.1f} MB + the call {call_kb / 1024:.1f} MB = "
          f"{module_peak / 1e6:.1f} MB")
    for P, t in [(1, 2), (2, 1)]:
        run, out = program_run(sparse, P, t, 1, lam="1e-6")
        same = octave(f"a = load('{out}'); b = load('{DATA}/module_sparse_w.mat'); "
                      f"printf('%d\\n', isequal(typecast(a.w, 'uint64'), typecast(b.w, 'uint64')));").strip()
        print(f"P={P} t={t}: weights identical to the module's: {'yes' if same == '1' else 'NO'}; peak per process "
              f"{run['peak'] / 1e6:.1f} MB = {run['peak'] / (module_peak / P):.2f} x the module's / P; "
              f"read {run['read']:.3f} s, exchange {run['exchange']:.3f} s, pass {run['pass']:.3f} s")


if __name__ == "__main__":
    main()
