#!/usr/bin/python3
"""The benchmark suite, run by bench/run: writes the data, times our modules (C++ through mexhost and
from octave-cli), scikit-learn's SGDRegressor, an Octave m-code loop, and the limits (the plain C++
loop, a plain read of the same bytes, the direct noise transcription, an empty OpenMP region), then
writes bench/results/RESULTS.md and its plots.

Usage: bench/run.py [build dir] [--quick] [--small] [--drift] [--repeats R]   (see --help)

What is measured (the shapes, SHAPES below), what each target compares (TARGETS) and what each table
shows (the *_COLUMNS lists) are written once, as data; the code runs and formats them.
"""
import argparse
import datetime
import os
import platform
import subprocess
import time
import warnings
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

import results_file  # beside this file
import sparse_rows  # beside this file
from key_values import run_keys  # beside this file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAMBDA = 0.05
# Whole calls beside a busy processor: N x D, and the calls' figures (bench/octave_bench.m 'busy').
BUSY_CALLS = (50000, 100)
BUSY_CALL_KEYS = ("kinkstep1_call_s", "splitavg_call_s", "driftwalk_call_s")


# ---------------------------------------------------------------------------------------------------
# Configuration: from the command line (parse_args), never at import.

@dataclass
class Shapes:
    step_bytes: int                                 # per-step costs: samples drawn from step_bytes of rows
    step_ds: List[int]
    step_work: int                                  # steps × D of each per-step run
    progress_steps: int                             # the progress-line runs, at D = step_ds[1]
    pass_shapes: List[Tuple[int, int]]              # N, D
    big_pass: Optional[Tuple[int, int]]             # the pass the splitavg targets are about
    drift: Dict[str, Tuple[int, int, int, int]]     # role -> N, D, B, iterations
    drift_sweep: Tuple[int, int, List[int], int]    # N, D, batches, iterations: where a team pays
    team_iterations: int


SHAPES = {
    "full": Shapes(step_bytes=40000000, step_ds=[10, 100, 1000], step_work=50000000, progress_steps=1000000,
                   pass_shapes=[(200000, 100), (20000, 1000), (1000000, 100)], big_pass=(1000000, 100),
                   drift={"medium": (1000, 100, 50, 2000), "large": (10000, 1000, 100, 200),
                          "small": (1000, 10, 50, 20000)},
                   drift_sweep=(2000, 64, [16, 32, 64, 128, 256], 5000), team_iterations=20000),
    # A check that every part of the suite runs, in a minute or two: small shapes (the targets are
    # shown but say little on them), RESULTS.md is left alone.
    "small": Shapes(step_bytes=1600000, step_ds=[10, 100, 1000], step_work=2000000, progress_steps=100000,
                    pass_shapes=[(20000, 100), (2000, 1000)], big_pass=None,
                    drift={"medium": (1000, 100, 50, 200), "large": (2000, 200, 100, 50),
                           "small": (1000, 10, 50, 2000)},
                    drift_sweep=(1000, 64, [16, 64, 256], 500), team_iterations=2000),
}


@dataclass
class Config:
    build: str
    data: str
    results: str
    bench: str
    repeats: int
    shapes: Shapes
    small: bool
    drift_only: bool


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="The stochl1 benchmark suite (bench/run builds and calls this).")
    p.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"),
                   help="the Release build folder (default: build/)")
    p.add_argument("--quick", action="store_true", help="skip the 10^6 x 100 problem; 3 repeats")
    p.add_argument("--small", action="store_true",
                   help="small shapes, a check that the suite runs; prints the results, leaves RESULTS.md alone")
    p.add_argument("--drift", action="store_true", help="only driftwalk's figures, printed")
    p.add_argument("--repeats", type=int, help="runs per figure (default 5; 3 with --quick or --small)")
    a = p.parse_args(argv)
    shapes = SHAPES["small" if a.small else "full"]
    if a.quick and not a.small:
        shapes = Shapes(**{**shapes.__dict__, "pass_shapes": shapes.pass_shapes[:2], "big_pass": None})
    build = os.path.abspath(a.build)
    return Config(build=build, data=os.path.join(build, "bench-data"), results=os.path.join(ROOT, "bench", "results"),
                  bench=os.path.join(build, "bench", "stochl1_bench"),
                  repeats=a.repeats or (3 if a.quick or a.small else 5), shapes=shapes, small=a.small,
                  drift_only=a.drift)


# ---------------------------------------------------------------------------------------------------
# Running the measurements.

def step_rows(shapes, D):
    """The rows the per-step runs draw from: step_bytes of them whatever D (40 MB in the full suite,
    so that the rows come from memory, not from a cache)."""
    return shapes.step_bytes // (8 * D)


def step_size(D):
    return 0.2 / D  # stable for features of unit variance


def log(msg):
    print(msg, flush=True)


def write_data(cfg, N, D):
    """X (column-major, standard normal), y from a sparse model plus noise, the same for the same
    shape. Returns (prefix, X, y)."""
    prefix = os.path.join(cfg.data, f"n{N}_d{D}")
    rng = np.random.default_rng(7 * N + D)
    Xt = rng.standard_normal((D, N))          # row j of Xt is column j of X: column-major X
    w_true = np.zeros(D)
    nz = rng.choice(D, max(1, D // 10), replace=False)
    w_true[nz] = rng.uniform(-2, 2, nz.size)
    y = Xt.T @ w_true + 0.1 * rng.standard_normal(N)
    Xt.tofile(prefix + ".X")
    y.tofile(prefix + ".y")
    return prefix, Xt.T, y


def bench(cfg, *args):
    """One subcommand of stochl1_bench (see its header); floats are passed exactly."""
    return run_keys([cfg.bench] + [repr(a) if isinstance(a, float) else str(a) for a in args])


def octave(cfg, task, prefix, N, D, step, steps, threads=1, batch=50, preexec_fn=None):
    mfile = os.path.join(ROOT, "bench")
    mods = os.path.join(cfg.build, "octave")
    expr = (f"addpath('{mods}'); addpath('{mfile}'); "
            f"octave_bench('{task}', '{prefix}', {N}, {D}, {step!r}, {LAMBDA!r}, {steps}, {cfg.repeats}, {batch});")
    return run_keys(["octave-cli", "--no-gui", "--norc", "--quiet", "--no-history", "--eval", expr],
                    env={"OMP_NUM_THREADS": str(threads)}, preexec_fn=preexec_fn)


def median_time(f, repeats):
    t = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        t.append(time.perf_counter() - t0)
    return float(np.median(t))


def sklearn_sgd(cfg, X, y, step):
    """One epoch of SGDRegressor at our step size and penalty: N sample steps, as one pass."""
    from sklearn.linear_model import SGDRegressor
    from sklearn.exceptions import ConvergenceWarning
    Xc = np.ascontiguousarray(X)
    model = None

    def fit():
        nonlocal model
        model = SGDRegressor(loss="squared_error", penalty="l1", alpha=LAMBDA, l1_ratio=1.0,
                             learning_rate="constant", eta0=step, max_iter=1, tol=None,
                             fit_intercept=False, shuffle=True, random_state=0, average=False)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            model.fit(Xc, y)
    return median_time(fit, cfg.repeats), model.coef_.copy()


def lasso_optimum(X, y):
    """The minimiser of G(w) = ||Xw - y||^2 / (2N) + lambda |w|_1, the objective whose per-sample
    subgradient the one-pass methods step on: sklearn's Lasso with alpha = lambda."""
    from sklearn.linear_model import Lasso
    m = Lasso(alpha=LAMBDA, fit_intercept=False, tol=1e-12, max_iter=100000, precompute=True)
    m.fit(np.ascontiguousarray(X), y)
    return m.coef_.copy()


def G(X, y, w):
    r = X @ w - y
    return float(r @ r / (2 * len(y)) + LAMBDA * np.abs(w).sum())


def read_w(path):
    return np.fromfile(path, dtype=np.float64)


@dataclass
class Results:
    steps: dict = field(default_factory=dict)       # D -> figures, ns per sample-feature
    progress: dict = field(default_factory=dict)
    passes: dict = field(default_factory=dict)      # (N, D) -> figures, ns per sample-feature
    objectives: list = field(default_factory=list)  # (shape, method, G)
    team: dict = field(default_factory=dict)        # D -> seconds
    noise: dict = field(default_factory=dict)
    drift: dict = field(default_factory=dict)       # role -> figures, seconds (and N, D, B)
    sweep: list = field(default_factory=list)       # (B, figures)
    rss: dict = field(default_factory=dict)
    busy: dict = field(default_factory=dict)        # figures beside a CPU-bound job, seconds
    big_pass: Optional[Tuple[int, int]] = None
    kernels: str = "–"                              # the step kernels' version that ran


def measure_steps(cfg, res):
    s = cfg.shapes
    for D in s.step_ds:
        N = step_rows(s, D)
        prefix, X, y = write_data(cfg, N, D)
        steps = s.step_work // D
        step = step_size(D)
        log(f"kinkstep method 0, D = {D}: {steps} steps on {N} rows")
        c = bench(cfg, "steps", prefix, N, D, steps, step, LAMBDA, cfg.repeats)
        res.kernels = ", ".join(k[len("kernel_"):] for k in c if k.startswith("kernel_")) or res.kernels
        o = octave(cfg, "steps", prefix, N, D, step, steps)
        sk_t, _ = sklearn_sgd(cfg, X, y, step)
        per = lambda t, n=steps: t / n / D * 1e9   # ns per sample-feature
        res.steps[D] = dict(D=D, solver=per(c["solver_s"]), minimal=per(c["minimal_s"]), read=per(c["read_rows_s"]),
                            mexhost_call=per(c["call_s"]), octave_call=per(o["call_s"]),
                            sklearn=per(sk_t, N), mcode=o["mcode_step_s"] / D * 1e9,
                            identical=c["identical_to_minimal"], stop_check=per(c["stop_check_s"]),
                            N=N, steps=steps, chain=per(c["chain_s"]), widest=per(c["minimal_widest_s"]),
                            identical_widest=c["minimal_widest_identical"],
                            best_vs_chain=c["solver_best_s"] / c["chain_best_s"])
        if D == s.step_ds[1]:
            log(f"kinkstep method 0, D = {D}: {s.progress_steps} silent steps with and without opts.progress")
            res.progress = bench(cfg, "progress", prefix, N, D, s.progress_steps, step, LAMBDA,
                                 2 * cfg.repeats + 1)


def measure_passes(cfg, res):
    for (N, D) in cfg.shapes.pass_shapes:
        prefix, X, y = write_data(cfg, N, D)
        step = step_size(D)
        log(f"splitavg {N} x {D}")
        c = bench(cfg, "pass", prefix, N, D, step, LAMBDA, cfg.repeats)
        o1 = octave(cfg, "pass", prefix, N, D, step, N, threads=1)
        o2 = octave(cfg, "pass", prefix, N, D, step, N, threads=2)
        sk_t, sk_w = sklearn_sgd(cfg, X, y, step)
        w_opt = lasso_optimum(X, y)
        per = lambda t: t / N / D * 1e9
        res.passes[(N, D)] = dict(
            N=N, D=D, read1=per(c["read_T1_s"]), read2=per(c["read_T2_s"]), convert=per(c["convert_s"]),
            convert2=per(c["convert_T2_s"]), shuffled1=per(c["convert_shuffled_T1_s"]),
            shuffled2=per(c["convert_shuffled_T2_s"]), fresh=per(c["fresh_pages_s"]),
            touched1=per(c["convert_touched_T1_s"]), touched2=per(c["convert_touched_T2_s"]),
            shuffle=per(c["shuffle_s"]), pass1=per(c["pass_T1_s"]), pass2=per(c["pass_T2_s"]),
            minimal=per(c["minimal_s"]), call1=per(c["call_T1_s"]), call2=per(c["call_T2_s"]),
            octave1=per(o1["call_s"]), octave2=per(o2["call_s"]), sklearn=per(sk_t),
            mcode=o1["mcode_step_s"] / D * 1e9, identical=c["identical_to_minimal"],
            whole_s=c["call_T2_s"], read_s=c["read_T1_s"], chain=per(c["chain_s"]),
            widest=per(c["minimal_widest_s"]), identical_widest=c["minimal_widest_identical"],
            best_vs_chain=c["pass_T1_best_s"] / c["chain_best_s"])
        shape = f"{N} × {D}"
        for name, w in [("splitavg, 1 thread", read_w(prefix + ".w_splitavg_T1")),
                        ("splitavg, 2 threads", read_w(prefix + ".w_splitavg_T2")),
                        ("kinkstep method 0, N steps", read_w(prefix + ".w_kinkstep0")),
                        ("kinkstep method 1, N/2 iterations x 2 threads", read_w(prefix + ".w_kinkstep1_T2")),
                        ("sklearn SGDRegressor, 1 epoch", sk_w),
                        ("optimum (sklearn Lasso, alpha = lambda)", w_opt)]:
            res.objectives.append((shape, name, G(X, y, w)))


def measure_team(cfg, res):
    for D in cfg.shapes.step_ds:
        log(f"kinkstep method 1 team, D = {D}")
        res.team[D] = dict(D=D, **bench(cfg, "team", D, cfg.shapes.team_iterations, cfg.repeats))


def measure_noise(cfg, res):
    log("driftwalk noise and permutation")
    res.noise = bench(cfg, "noise", cfg.repeats)


def measure_drift(cfg, res):
    """driftwalk per iteration on each shape (ours on 1 and 2 threads, the loop it replaced, Octave),
    and the sweep over batch sizes that places the team threshold."""
    for role, (N, D, B, its) in cfg.shapes.drift.items():
        log(f"driftwalk N = {N}, D = {D}, B = {B}")
        prefix, X, y = write_data(cfg, N, D)
        r = dict(N=N, D=D, B=B, **bench(cfg, "drift", prefix, N, D, B, its, cfg.repeats))
        r.update({"octave_" + k: v for k, v in octave(cfg, "drift", prefix, N, D, 0.0, its, threads=2, batch=B).items()})
        res.drift[role] = r
    N, D, batches, its = cfg.shapes.drift_sweep
    prefix, X, y = write_data(cfg, N, D)
    log(f"driftwalk team threshold, N = {N}, D = {D}")
    for B in batches:
        res.sweep.append((B, bench(cfg, "drift", prefix, N, D, B, its, cfg.repeats)))


def measure_busy(cfg, res):
    """Teams beside a CPU-bound job on processor 0 (`yes`): kinkstep method 1 and driftwalk as a call
    sizes them, against one thread doing the same work (method 1's T = 2 candidates on processor 1
    alone; driftwalk with a team of 1)."""
    if len(os.sched_getaffinity(0)) < 2:
        log("one processor: the busy-machine rows are not measured")
        return
    N, D, B, its = cfg.shapes.drift["large"]
    prefix = os.path.join(cfg.data, f"n{N}_d{D}")
    on = lambda cpus: (lambda: os.sched_setaffinity(0, cpus))
    bn, bd = BUSY_CALLS
    busy_prefix = os.path.join(cfg.data, f"n{bn}_d{bd}")
    if not os.path.exists(busy_prefix + ".X"):
        write_data(cfg, bn, bd)
    job = subprocess.Popen(["yes"], stdout=subprocess.DEVNULL, preexec_fn=on({0}))
    try:
        time.sleep(0.5)
        for d in (100, 1000):
            log(f"beside a busy processor: kinkstep method 1 team, D = {d}")
            args = [cfg.bench, "team", str(d), str(cfg.shapes.team_iterations), str(cfg.repeats)]
            res.busy[f"team{d}"] = run_keys(args)["iteration_s"]
            res.busy[f"one{d}"] = run_keys(args, preexec_fn=on({1}))["iteration_s"]
        log(f"beside a busy processor: driftwalk N = {N}, D = {D}, B = {B}")
        res.busy["drift"] = bench(cfg, "drift", prefix, N, D, B, its, cfg.repeats)
        log(f"beside a busy processor: whole calls from Octave on {bn} x {bd}")
        res.busy["calls"] = octave(cfg, "busy", busy_prefix, bn, bd, 0.2 / bd, 20000, threads=2, batch=10)
        res.busy["calls_one"] = octave(cfg, "busy", busy_prefix, bn, bd, 0.2 / bd, 20000, threads=2, batch=10,
                                       preexec_fn=on({1}))
    finally:
        job.kill()
        job.wait()


def measure_rss(cfg, res):
    N, D = max(cfg.shapes.pass_shapes, key=lambda s: s[0] * s[1])
    log(f"peak memory of one splitavg call on {N} x {D}")
    res.rss = dict(N=N, D=D, **bench(cfg, "rss", os.path.join(cfg.data, f"n{N}_d{D}"), N, D))


# ---------------------------------------------------------------------------------------------------
# The ratios the targets judge and the tables show, each written once.

def step_vs_loop(r): return r["solver"] / r["widest"]
def step_vs_chain(r): return r["solver"] / r["chain"]
def step_vs_chain_best(r): return r["best_vs_chain"]
def sklearn_vs_octave_call(r): return r["sklearn"] / r["octave_call"]
def pass_vs_chain(p): return p["pass1"] / p["chain"]
def pass_vs_chain_best(p): return p["best_vs_chain"]
def sklearn_vs_step(r): return r["sklearn"] / r["solver"]
def mcode_vs_step(r): return r["mcode"] / r["solver"]
def pass_1_vs_2(p): return p["pass1"] / p["pass2"]
def call_vs_read(p): return p["call2"] / p["read1"]
def convert_vs_read(p): return p["convert"] / p["read1"]
def convert2_vs_read2(p): return p["convert2"] / p["read2"]
def touched1_vs_read1(p): return p["touched1"] / p["read1"]
def touched2_vs_read2(p): return p["touched2"] / p["read2"]
def shuffled2_vs_read1(p): return p["shuffled2"] / p["read1"]
def sklearn_vs_call(p): return p["sklearn"] / p["call2"]
def mcode_vs_pass(p): return p["mcode"] / p["pass1"]
def team_overhead(t): return (t["iteration_s"] - t["steps_alone_s"]) / t["empty_region_s"]
def drift_2_vs_1(r): return r["solver_T2_s"] / r["solver_T1_s"]
def drift_mcode_vs_ours(r): return r["octave_mcode_iteration_s"] / r["solver_s"]
def drift_vs_loop(r): return r["solver_s"] / r["one_thread_loop_s"]


def power(n):
    """10000 -> "10^4"; other numbers as they are."""
    k = len(str(n)) - 1
    return f"10^{k}" if n >= 10000 and n == 10 ** k else str(n)


def spaced(n):
    """20000 -> "20 000"."""
    return f"{n:,}".replace(",", " ")


def sci(n):
    """1000000 -> "10^6", 20000000 -> "2·10^7"."""
    k = len(str(int(n))) - 1
    m = n / 10 ** k
    return f"10^{k}" if m == 1 else f"{m:g}·10^{k}"


def drift_shape(r):
    return f"N = {power(r['N'])}, D = {r['D']}, B = {r['B']}"


@dataclass
class Target:
    group: str                                   # "drift" and "busy" targets are the ones --drift prints
    what: Callable[[Results], str]
    goal: str
    values: Callable[[Results], List[float]]     # the measured ratios; [] when not measured this run
    digits: str                                  # the ratios' format
    holds: Optional[Callable[[float], bool]]     # every ratio must pass; None: shown, not judged


def at_most(limit): return lambda v: v <= limit
def at_least(limit): return lambda v: v >= limit


def ds(res):
    return ", ".join(str(D) for D in res.steps)


def big(res):
    """The large pass the splitavg targets are about, when this run measured it."""
    return [res.passes[res.big_pass]] if res.big_pass in res.passes else []


def big_shape(res):
    N, D = res.big_pass
    return f"splitavg {power(N)} x {D}"


def steps_at(res, Ds):
    return [r for D, r in res.steps.items() if D in Ds]


def teams_at(res, Ds):
    return [t for D, t in res.team.items() if D in Ds]


TARGETS = [
    Target("steps", lambda R: ("kinkstep method 0: per step / add chain, rows from memory, fastest in turns "
                               f"(D = {', '.join(str(r['D']) for r in steps_at(R, (100, 1000)))})"), "≤ 2",
           lambda R: [step_vs_chain_best(r) for r in steps_at(R, (100, 1000))], ".2f", at_most(2)),
    Target("steps", lambda R: "kinkstep method 0: per step / add chain, rows from memory, fastest in turns (D = 10)",
           "≤ 3", lambda R: [step_vs_chain_best(r) for r in steps_at(R, (10,))], ".2f", at_most(3)),
    Target("steps", lambda R: f"kinkstep method 0: per step / add chain, medians (D = {ds(R)})", "–",
           lambda R: [step_vs_chain(r) for r in R.steps.values()], ".2f", None),
    Target("steps", lambda R: f"kinkstep method 0: per step / plain C++ loop built as ours (D = {ds(R)})", "≤ 1.3",
           lambda R: [step_vs_loop(r) for r in R.steps.values()], ".2f", at_most(1.3)),
    Target("steps", lambda R: ("kinkstep method 0: sklearn / ours, whole call from Octave at equal work "
                               f"(D = {list(R.steps)[1]}, {spaced(list(R.steps.values())[1]['N'])} samples, "
                               f"{spaced(list(R.steps.values())[1]['steps'])} steps)"), "≥ 8",
           lambda R: [sklearn_vs_octave_call(list(R.steps.values())[1])], ".1f", at_least(8)),
    Target("pass", lambda R: f"{big_shape(R)}: pass on 1 thread / add chain (fastest in turns; median)", "≤ 2",
           lambda R: [v for p in big(R) for v in (pass_vs_chain_best(p), pass_vs_chain(p))], ".2f", at_most(2)),
    Target("pass", lambda R: f"{big_shape(R)}: pass 1 thread / pass 2 threads", "≥ 1.8",
           lambda R: [pass_1_vs_2(p) for p in big(R)], ".2f", at_least(1.8)),
    Target("pass", lambda R: (f"{big_shape(R)}: the conversion's copy (into rows whose pages are in place) / "
                              "plain read of X, both on 1 thread; both on 2 threads"), "≤ 3",
           lambda R: [v for p in big(R) for v in (touched1_vs_read1(p), touched2_vs_read2(p))], ".1f", at_most(3)),
    Target("pass", lambda R: (f"{big_shape(R)}: conversion as a call makes it (fresh rows: the kernel's zeroing of "
                              "their pages included) / plain read of X, both on 1 thread; both on 2 threads"), "–",
           lambda R: [v for p in big(R) for v in (convert_vs_read(p), convert2_vs_read2(p))], ".1f", None),
    Target("pass", lambda R: (f"{big_shape(R)}: the splitavg call's conversion (2 threads, into the shuffled "
                              "order) / plain read of X on 1 thread"), "–",
           lambda R: [shuffled2_vs_read1(p) for p in big(R)], ".1f", None),
    Target("pass", lambda R: f"{big_shape(R)}: sklearn one epoch / our whole call (2 threads)", "≥ 5",
           lambda R: [sklearn_vs_call(p) for p in big(R)], ".1f", at_least(5)),
    Target("pass", lambda R: f"{big_shape(R)}: whole call (2 threads) / plain read of X", "–",
           lambda R: [call_vs_read(p) for p in big(R)], ".1f", None),
    Target("team", lambda R: "kinkstep method 1: (iteration − steps) / empty region (D = 10, 100)", "≤ 1.5",
           lambda R: [team_overhead(t) for t in teams_at(R, (10, 100))], ".2f", at_most(1.5)),
    Target("team", lambda R: "kinkstep method 1: (iteration − steps) / empty region (D = 1000)", "≤ 3",
           lambda R: [team_overhead(t) for t in teams_at(R, (1000,))], ".2f", at_most(3)),
    Target("noise", lambda R: "driftwalk noise: direct transcription / ours", "≥ 3",
           lambda R: [R.noise["noise_direct_s"] / R.noise["noise_s"]], ".2f", at_least(3)),
    Target("noise", lambda R: "driftwalk permutation: direct / ours (n = 10^3, 10^6)", "≥ 3",
           lambda R: [R.noise[f"perm{n}_direct_s"] / R.noise[f"perm{n}_s"] for n in (1000, 1000000)], ".2f",
           at_least(3)),
    Target("mcode", lambda R: f"Octave m-code loop / ours (kinkstep D = {ds(R)}; splitavg shapes)", "≥ 50",
           lambda R: [mcode_vs_step(r) for r in R.steps.values()] + [mcode_vs_pass(p) for p in R.passes.values()],
           ".0f", at_least(50)),
    Target("drift", lambda R: f"driftwalk {drift_shape(R.drift['large'])}: iteration on 2 threads / on 1", "≤ 0.6",
           lambda R: [drift_2_vs_1(R.drift["large"])], ".2f", at_most(0.6)),
    Target("drift", lambda R: ("Octave m-code loop / ours (driftwalk iteration, "
                               f"{drift_shape(R.drift['medium'])}; {drift_shape(R.drift['large'])})"), "≥ 10",
           lambda R: [drift_mcode_vs_ours(R.drift[k]) for k in ("medium", "large")], ".1f", at_least(10)),
    Target("drift", lambda R: f"driftwalk {drift_shape(R.drift['small'])}: ours / the one-thread loop it replaced",
           "≤ 1 (not slower)", lambda R: [drift_vs_loop(R.drift["small"])], ".2f", at_most(1.0)),
    Target("busy", lambda R: ("beside a CPU-bound job: kinkstep method 1, a team of 2 / one thread computing both "
                              "candidates (D = 100, 1000)"), "≤ 1.5",
           lambda R: [R.busy[f"team{d}"] / R.busy[f"one{d}"] for d in (100, 1000)] if R.busy else [], ".2f",
           at_most(1.5)),
    Target("busy", lambda R: (f"beside a CPU-bound job: driftwalk {drift_shape(R.drift['large'])}, "
                              "the default team of 2 / one thread"), "≤ 1.5",
           lambda R: [R.busy["drift"]["solver_s"] / R.busy["drift"]["solver_T1_s"]] if R.busy else [], ".2f",
           at_most(1.5)),
    Target("busy", lambda R: ("beside a CPU-bound job: whole calls from Octave on "
                              f"{BUSY_CALLS[0]} × {BUSY_CALLS[1]} (kinkstep method 1 and splitavg asking for a team "
                              "of 2, driftwalk's default) / the same calls held to the free processor"), "≤ 1.5",
           lambda R: [R.busy["calls"][k] / R.busy["calls_one"][k] for k in BUSY_CALL_KEYS] if R.busy else [],
           ".2f", at_most(1.5)),
    Target("busy", lambda R: "beside a CPU-bound job: driftwalk, a team of 2 asked by opts.threads / one thread",
           "–", lambda R: [R.busy["drift"]["solver_T2_s"] / R.busy["drift"]["solver_T1_s"]] if R.busy else [],
           ".2f", None),
]


def judged(targets, res):
    """(what, measured, goal, met) for each target measured in this run; met is None when not judged."""
    rows = []
    for t in targets:
        values = t.values(res)
        if not values:
            continue
        met = None if t.holds is None else all(t.holds(v) for v in values)
        rows.append((t.what(res), ", ".join(format(v, t.digits) for v in values), t.goal, met))
    return rows


# ---------------------------------------------------------------------------------------------------
# The tables: each a list of (header, cell) columns, cell(row) giving the text.

def fmt(v, digits=3):
    if v is None or not np.isfinite(v):
        return "–"
    return f"{v:.{digits}g}"


def same(v):
    return "yes" if v else "NO"


def table(columns, rows):
    L = ["| " + " | ".join(h for h, _ in columns) + " |", "|" + "---|" * len(columns)]
    for r in rows:
        L.append("| " + " | ".join(cell(r) for _, cell in columns) + " |")
    return L


def per_second(key, scale=1e6):
    return lambda r: f"{r[key] * scale:.2f}"


TARGET_COLUMNS = [("target", lambda t: t[0]), ("measured", lambda t: t[1]), ("goal", lambda t: t[2]),
                  ("met", lambda t: "yes" if t[3] else ("–" if t[3] is None else "**no**"))]

STEP_COLUMNS = [
    ("D", lambda r: str(r["D"])),
    ("N (rows)", lambda r: spaced(r["N"])),
    ("ours (solver)", lambda r: fmt(r["solver"])),
    ("add chain (floor)", lambda r: fmt(r["chain"])),
    ("ours / chain, median; fastest in turns", lambda r: f"{step_vs_chain(r):.2f}; {step_vs_chain_best(r):.2f}"),
    ("mexhost whole call", lambda r: fmt(r["mexhost_call"])),
    ("octave-cli whole call", lambda r: fmt(r["octave_call"])),
    ("plain C++ loop, built as ours / generic", lambda r: f"{fmt(r['widest'])} / {fmt(r['minimal'])}"),
    ("read of the drawn rows", lambda r: fmt(r["read"])),
    ("sklearn SGD", lambda r: fmt(r["sklearn"])),
    ("Octave m-code", lambda r: fmt(r["mcode"])),
    ("ours / loop built as ours", lambda r: f"{step_vs_loop(r):.2f}"),
    ("sklearn / octave-cli call", lambda r: f"{sklearn_vs_octave_call(r):.1f}"),
    ("m-code / ours", lambda r: f"{mcode_vs_step(r):.0f}"),
    ("same w as the loops", lambda r: same(r["identical"] and r["identical_widest"])),
]

PASS_COLUMNS = [
    ("N × D", lambda p: f"{p['N']} × {p['D']}"),
    ("plain read of X, 1 / 2 threads", lambda p: f"{fmt(p['read1'])} / {fmt(p['read2'])}"),
    ("conversion, 1 / 2 threads", lambda p: f"{fmt(p['convert'])} / {fmt(p['convert2'])}"),
    ("its copy alone (pages in place), 1 / 2 threads", lambda p: f"{fmt(p['touched1'])} / {fmt(p['touched2'])}"),
    ("conversion into shuffled order, 1 / 2 threads (the call's)",
     lambda p: f"{fmt(p['shuffled1'])} / {fmt(p['shuffled2'])}"),
    ("shuffle after a conversion (before)", lambda p: fmt(p["shuffle"])),
    ("first touch of fresh pages", lambda p: fmt(p["fresh"])),
    ("pass, 1 thread", lambda p: fmt(p["pass1"])),
    ("pass, 2 threads", lambda p: fmt(p["pass2"])),
    ("add chain (floor)", lambda p: fmt(p["chain"])),
    ("pass 1 thr. / chain, median; fastest in turns", lambda p: f"{pass_vs_chain(p):.2f}; {pass_vs_chain_best(p):.2f}"),
    ("plain C++ loop (1 pass), built as ours / generic", lambda p: f"{fmt(p['widest'])} / {fmt(p['minimal'])}"),
    ("mexhost whole call, 1 / 2 threads", lambda p: f"{fmt(p['call1'])} / {fmt(p['call2'])}"),
    ("octave-cli whole call, 1 / 2 threads", lambda p: f"{fmt(p['octave1'])} / {fmt(p['octave2'])}"),
    ("sklearn SGD, 1 epoch", lambda p: fmt(p["sklearn"])),
    ("Octave m-code", lambda p: fmt(p["mcode"])),
    ("pass 1 / 2 threads", lambda p: f"{pass_1_vs_2(p):.2f}"),
    ("whole call (2 thr.) / read", lambda p: f"{call_vs_read(p):.1f}"),
    ("sklearn / ours (2 thr. call)", lambda p: f"{sklearn_vs_call(p):.1f}"),
    ("m-code / ours (pass)", lambda p: f"{mcode_vs_pass(p):.0f}"),
]

OBJECTIVE_COLUMNS = [("N × D", lambda o: o[0]), ("method", lambda o: o[1]), ("G(w)", lambda o: f"{o[2]:.6g}")]

TEAM_COLUMNS = [
    ("D", lambda t: str(t["D"])),
    ("iteration", lambda t: f"{t['iteration_s'] * 1e6:.2f} µs"),
    ("one thread's step + the average, alone", lambda t: f"{t['steps_alone_s'] * 1e6:.2f} µs"),
    ("empty `omp parallel` (2 threads)", lambda t: f"{t['empty_region_s'] * 1e6:.2f} µs"),
    ("(iteration − steps) / empty", lambda t: f"{team_overhead(t):.2f}"),
]

STOP_CHECK_COLUMNS = [
    ("D", lambda r: str(r["D"])),
    ("without (ns per sample·feature)", lambda r: f"{r['solver']:.3f}"),
    ("with", lambda r: f"{r['stop_check']:.3f}"),
    ("with / without", lambda r: f"{r['stop_check'] / r['solver']:.3f}"),
]

DRIFT_COLUMNS = [
    ("N × D, batch", lambda r: f"{r['N']} × {r['D']}, {r['B']}"),
    ("1 thread", per_second("solver_T1_s")),
    ("2 threads", per_second("solver_T2_s")),
    ("module's choice (threads)", lambda r: f"{r['solver_s'] * 1e6:.2f} ({r['default_threads']:.0f})"),
    ("one-thread loop before", per_second("one_thread_loop_s")),
    ("mexhost call 1 / 2 thr.", lambda r: f"{r['call_T1_s'] * 1e6:.2f} / {r['call_T2_s'] * 1e6:.2f}"),
    ("octave-cli call", per_second("octave_call_s")),
    ("Octave m-code", per_second("octave_mcode_iteration_s")),
    ("2 thr. / 1", lambda r: f"{drift_2_vs_1(r):.2f}"),
    ("m-code / ours", lambda r: f"{drift_mcode_vs_ours(r):.1f}"),
    ("same w", lambda r: "yes" if r["identical"] else "NO"),
]

SWEEP_COLUMNS = [
    ("D·B", lambda s: str(s[0] * s[1])),
    ("1 thread, µs", lambda s: f"{s[2]['solver_T1_s'] * 1e6:.2f}"),
    ("2 threads, µs", lambda s: f"{s[2]['solver_T2_s'] * 1e6:.2f}"),
    ("2 / 1", lambda s: f"{s[2]['solver_T2_s'] / s[2]['solver_T1_s']:.2f}"),
]


def drift_lines(cfg, res):
    L = ["\nOne Langevin iteration, µs (the solver on 1 and 2 threads, timed in turns; the module's own "
         "choice: its default team of 2 here, one thread below its threshold; the one-thread loop it "
         "replaced, noise drawn weight by weight; whole calls, which include converting X):\n"]
    L += table(DRIFT_COLUMNS, res.drift.values())
    N, D, _, _ = cfg.shapes.drift_sweep
    L.append(f"\nWhere a team pays (N = {N}, D = {D}; the module takes a team from D·B + 16·D + 2·N = 16384 on):\n")
    L += table(SWEEP_COLUMNS, [(D, B, r) for B, r in res.sweep])
    L.append("")
    return L


def noise_lines(noise):
    rows = [("one noise draw", noise["noise_s"], noise["noise_direct_s"], noise["noise_identical"], 1),
            ("one noise draw, an iteration's seeds eight side by side", noise["noise_batch_s"],
             noise["noise_direct_s"], noise["noise_batch_identical"], 1)]
    rows += [(f"permutation of {n}, per element", noise[f"perm{n}_s"], noise[f"perm{n}_direct_s"],
              noise[f"perm{n}_identical"], 2) for n in (1000, 1000000)]
    rows += [(f"its first 100 entries only (driftwalk's batch), n = {n}, per element", noise[f"head{n}_s"],
              noise[f"perm{n}_direct_s"], noise[f"head{n}_identical"], 2) for n in (1000, 1000000)]
    columns = [("what", lambda r: r[0]), ("ours", lambda r: f"{r[1] * 1e9:.{r[4]}f} ns"),
               ("direct transcription", lambda r: f"{r[2] * 1e9:.{r[4]}f} ns"),
               ("direct / ours", lambda r: f"{r[2] / r[1]:.2f}"), ("same values", lambda r: same(r[3]))]
    return table(columns, rows)


def results_text(cfg, res, targets, started, load_before):
    s = cfg.shapes
    L = []
    today = datetime.date.today().isoformat()
    L.append(f"# Benchmark results, {today}\n")
    L.append(f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} processors "
             f"(`{cpu_name()}`), load average before the run {load_before[0]:.2f} and after "
             f"{os.getloadavg()[0]:.2f}. Medians of {cfg.repeats} runs. Suite time {time.time() - started:.0f} s. "
             f"Step kernels: {res.kernels}. "
             f"Command: `bench/run{' --small' if cfg.small else ''}`.\n")
    L.append("Figures are ns per sample·feature (one step on one sample of D features counts D), "
             "lower is better. Ratios are peer / ours or ours / limit.\n")
    L.append("## Targets\n")
    L += table(TARGET_COLUMNS, targets)
    L.append("")
    L.append(f"## kinkstep method 0: per-step cost (N × D × 8 = {spaced(s.step_bytes)} bytes of rows, "
             f"steps × D = {sci(s.step_work)})\n")
    L += table(STEP_COLUMNS, res.steps.values())
    L.append("\nThe add chain is the floor of a step: D dependent additions s = s + x[k]·w[k] on one accumulator, "
             "rows in the cache, measured in the same run. \"Fastest in turns\": the fastest of "
             f"{3 * cfg.repeats} runs each of ours and the chain, run in turns. The whole calls include the "
             "conversion of X (N × D) into rows.\n")
    L.append("## splitavg: one pass\n")
    L += table(PASS_COLUMNS, res.passes.values())
    L.append("\nThe conversions write into memory just given back, as a later call in a session finds it; "
             "\"first touch of fresh pages\" writes one value to every 4 KB page of a block of the rows' size "
             "just allocated. The splitavg call converts on its team straight into the shuffled order: its "
             "preparation is that column alone, where it was a conversion on one thread and then the shuffle.\n")
    L.append("The 1-thread pass reproduces the plain loop's weights bit for bit: "
             + ", ".join(f"{N}×{D}: {'yes' if p['identical'] else 'NO'}" for (N, D), p in res.passes.items()) + ".\n")
    L.append("## Objective after one pass\n")
    L.append("G(w) = ||Xw − y||² / (2N) + lambda·|w|₁ with lambda = "
             f"{LAMBDA}: the objective whose one-sample subgradient kinkstep and splitavg step on "
             "(½(x·w − y)² + lambda·|w|₁ averaged over the samples), and the one sklearn's SGDRegressor "
             "(alpha = lambda) and Lasso (alpha = lambda) use. The modules' printed F(w) = Σ(x·w − y)² + "
             "lambda·|w|₁ is a different scaling; its minimiser is Lasso with alpha = lambda / (2N). "
             "Step size 0.2 / D.\n")
    L += table(OBJECTIVE_COLUMNS, res.objectives)
    L.append("")
    L.append("## kinkstep method 1: cost of the team per iteration (2 threads, N = 1000)\n")
    L += table(TEAM_COLUMNS, res.team.values())
    L.append("")
    L.append("## The Ctrl-C check\n")
    L.append("kinkstep method 0, silent, per step with the host's interrupt query (as the modules run) and "
             "without it (the solver alone):\n")
    L += table(STOP_CHECK_COLUMNS, [res.steps[D] for D in sorted(res.steps)])
    L.append("")
    progress = res.progress
    D = s.step_ds[1]
    L.append("## The progress line\n")
    L.append(f"kinkstep method 0 on {spaced(step_rows(s, D))} × {D}, {sci(s.progress_steps)} silent steps, whole calls "
             "through mexhost (conversion included), with `struct('seed', 1)` and with `'progress', true` added; "
             f"the three calls run in turn, medians of {2 * cfg.repeats + 1}:\n")
    off = progress["off_s"]
    progress_rows = [("without the option", off, "1", "nothing"),
                     ("progress, output a terminal", progress["on_terminal_s"],
                      f"{progress['on_terminal_s'] / off:.3f}", f"{progress['terminal_updates']:.0f} updates in place"),
                     ("progress, output a log or a pipe", progress["on_plain_s"], f"{progress['on_plain_s'] / off:.3f}",
                      f"{progress['plain_lines']:.0f} lines")]
    L += table([("call", lambda r: r[0]), ("time, s", lambda r: f"{r[1]:.4f}"), ("/ without", lambda r: r[2]),
                ("drawn", lambda r: r[3])], progress_rows)
    L.append(f"\nSame weights with and without the line: {'yes' if progress['identical'] else '**no**'}.\n")
    L.append("## driftwalk\n")
    L += noise_lines(res.noise)
    L += drift_lines(cfg, res)
    L.append("## Memory\n")
    rss = res.rss
    xb = rss["x_bytes"]
    L.append(f"splitavg on {rss['N']} × {rss['D']} through mexhost, 2 threads: X is "
             f"{xb / 1e6:.0f} MB; resident before the call {rss['rss_before_call_kb'] / 1e3:.0f} MB (X and y), "
             f"peak during the call {rss['peak_rss_kb'] / 1e3:.0f} MB, so the call added "
             f"{(rss['peak_rss_kb'] - rss['rss_before_call_kb']) / 1e3:.0f} MB "
             f"({(rss['peak_rss_kb'] - rss['rss_before_call_kb']) * 1e3 / xb:.2f} × X: its rows, plus labels, "
             f"the order of the samples and the per-thread vectors).\n")
    L.append("![ns per sample·feature](per_sample_feature.png)\n")
    notes = os.path.join(ROOT, "bench", "notes.md")
    if os.path.exists(notes):
        L.append(open(notes).read())
    return L


def cpu_name():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


# The bars of the plot: (legend, figure key).
STEP_SERIES = [("ours", "solver"), ("add chain (floor)", "chain"), ("plain C++ loop, built as ours", "widest"),
               ("read of the rows", "read"),
               ("mexhost call", "mexhost_call"), ("octave-cli call", "octave_call"), ("sklearn SGD", "sklearn"),
               ("Octave m-code", "mcode")]
PASS_SERIES = [("ours: pass, 2 threads", "pass2"), ("ours: whole call, 2 threads", "call2"),
               ("ours: pass, 1 thread", "pass1"), ("add chain (floor)", "chain"),
               ("plain C++ loop, built as ours", "widest"), ("plain read of X", "read1"),
               ("octave-cli call, 2 threads", "octave2"), ("sklearn SGD", "sklearn"), ("Octave m-code", "mcode")]


def plot(cfg, res):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2, figsize=(14, 5))
    draw(axes[0], [f"D = {D}" for D in res.steps], res.steps.values(), STEP_SERIES, "kinkstep method 0, per step")
    draw(axes[1], [f"{N}×{D}" for (N, D) in res.passes], res.passes.values(), PASS_SERIES, "splitavg, one pass")
    fig.tight_layout()
    fig.savefig(os.path.join(cfg.results, "per_sample_feature.png"), dpi=90)


def draw(ax, groups, rows, series, title):
    rows = list(rows)
    width = 0.8 / len(series)
    for k, (name, key) in enumerate(series):
        ax.bar([g + k * width for g in range(len(groups))], [r[key] for r in rows], width, label=name)
    ax.set_xticks([g + 0.4 - width / 2 for g in range(len(groups))])
    ax.set_xticklabels(groups)
    ax.set_yscale("log")
    ax.set_ylabel("ns per sample·feature")
    ax.set_title(title)
    ax.legend(fontsize=7)


# Sections measured by their own commands (bench/mpi_scaling, bench/quality), kept as they are.
KEPT_HEADINGS = ("## splitavg-mpi", "## Quality against the optimum")


def main(argv=None):
    cfg = parse_args(argv)
    os.makedirs(cfg.data, exist_ok=True)
    res = Results(big_pass=cfg.shapes.big_pass)
    if cfg.drift_only:  # only driftwalk's figures, printed; RESULTS.md is left alone
        measure_drift(cfg, res)
        measure_busy(cfg, res)
        print("\n".join(table(TARGET_COLUMNS, judged([t for t in TARGETS if t.group in ("drift", "busy")], res))[2:]))
        print("\n".join(drift_lines(cfg, res)))
        return
    started = time.time()
    load_before = os.getloadavg()
    for measure in (measure_steps, measure_passes, measure_team, measure_noise, measure_drift, measure_busy,
                    measure_rss):
        measure(cfg, res)
    L = results_text(cfg, res, judged(TARGETS, res), started, load_before)
    if not cfg.small:
        os.makedirs(cfg.results, exist_ok=True)
        kept = {h: results_file.section(h) for h in KEPT_HEADINGS}
        with open(os.path.join(cfg.results, "RESULTS.md"), "w") as f:
            f.write("\n".join(L))
        for heading, lines in kept.items():
            if lines:
                results_file.splice(heading, lines)
        plot(cfg, res)
        # The sparse-X rows, measured last, in a section of their own.
        sparse_rows.splice(sparse_rows.lines(sparse_rows.measure(cfg.build, cfg.repeats < 5)))
    print("\n".join(L))


if __name__ == "__main__":
    main()
