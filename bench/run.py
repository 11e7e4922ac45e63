#!/usr/bin/python3
"""The benchmark suite, run by bench/run: writes the data, times our modules (C++ through mexhost and
from octave-cli), scikit-learn's SGDRegressor, an Octave m-code loop, and the limits (the plain C++
loop, a plain read of the same bytes, the direct noise transcription, an empty OpenMP region), then
writes bench/results/RESULTS.md and its plots.

Usage: bench/run.py <build dir> [--quick] [--drift]   (--drift: only driftwalk's figures, printed)
"""
import datetime
import os
import platform
import subprocess
import sys
import time
import warnings

import numpy as np

import sparse_rows  # noqa: E402  (beside this file)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build")
QUICK = "--quick" in sys.argv
DATA = os.path.join(BUILD, "bench-data")
RESULTS = os.path.join(ROOT, "bench", "results")
BENCH = os.path.join(BUILD, "bench", "stochl1_bench")
REPEATS = 3 if QUICK else 5
LAMBDA = 0.05

STEP_N = 20000                      # per-step costs: samples drawn from 20 000 rows
STEP_DS = [10, 100, 1000]
PASS_SHAPES = [(200000, 100), (20000, 1000), (1000000, 100)]
DRIFT_SHAPES = [(1000, 100, 50, 2000), (10000, 1000, 100, 200), (1000, 10, 50, 20000)]  # N, D, B, iterations
DRIFT_SWEEP = (2000, 64, [16, 32, 64, 128, 256], 5000)  # N, D, batches, iterations: where a team pays
if QUICK:
    PASS_SHAPES = PASS_SHAPES[:2]


def step_size(D):
    return 0.2 / D  # stable for features of unit variance


def log(msg):
    print(msg, flush=True)


def write_data(N, D):
    """X (column-major, standard normal), y from a sparse model plus noise, the same for the same
    shape. Returns (prefix, X, y)."""
    prefix = os.path.join(DATA, f"n{N}_d{D}")
    rng = np.random.default_rng(7 * N + D)
    Xt = rng.standard_normal((D, N))          # row j of Xt is column j of X: column-major X
    w_true = np.zeros(D)
    nz = rng.choice(D, max(1, D // 10), replace=False)
    w_true[nz] = rng.uniform(-2, 2, nz.size)
    y = Xt.T @ w_true + 0.1 * rng.standard_normal(N)
    Xt.tofile(prefix + ".X")
    y.tofile(prefix + ".y")
    return prefix, Xt.T, y


def run_keys(cmd, env=None):
    """Runs a command that prints "key value" lines; returns them as a dict of floats."""
    out = subprocess.run(cmd, check=True, capture_output=True, text=True,
                         env=dict(os.environ, **(env or {}))).stdout
    vals = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                vals[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return vals


def octave(task, prefix, N, D, step, steps, threads=1, batch=50):
    mfile = os.path.join(ROOT, "bench")
    mods = os.path.join(BUILD, "octave")
    expr = (f"addpath('{mods}'); addpath('{mfile}'); "
            f"octave_bench('{task}', '{prefix}', {N}, {D}, {step!r}, {LAMBDA!r}, {steps}, {REPEATS}, {batch});")
    return run_keys(["octave-cli", "--no-gui", "--norc", "--quiet", "--no-history", "--eval", expr],
                    env={"OMP_NUM_THREADS": str(threads)})


def median_time(f, repeats=REPEATS):
    t = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        t.append(time.perf_counter() - t0)
    return float(np.median(t))


def sklearn_sgd(X, y, step):
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
    return median_time(fit), model.coef_.copy()


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


def fmt(v, digits=3):
    if v is None or not np.isfinite(v):
        return "–"
    return f"{v:.{digits}g}"


def measure_drift():
    """driftwalk per iteration on each shape (ours on 1 and 2 threads, the loop it replaced, Octave),
    and the sweep over batch sizes that places the team threshold."""
    drift = {}
    for (N, D, B, its) in DRIFT_SHAPES:
        log(f"driftwalk N = {N}, D = {D}, B = {B}")
        prefix, X, y = write_data(N, D)
        drift[(N, D, B)] = run_keys([BENCH, "drift", prefix, str(N), str(D), str(B), str(its), str(REPEATS)])
        drift[(N, D, B)].update({"octave_" + k: v for k, v in
                                 octave("drift", prefix, N, D, 0.0, its, threads=2, batch=B).items()})
    sweep = []
    N, D, batches, its = DRIFT_SWEEP
    prefix, X, y = write_data(N, D)
    log(f"driftwalk team threshold, N = {N}, D = {D}")
    for B in batches:
        sweep.append((B, run_keys([BENCH, "drift", prefix, str(N), str(D), str(B), str(its), str(REPEATS)])))
    return drift, sweep


def drift_targets(drift):
    large = drift[(10000, 1000, 100)]
    two = large["solver_T2_s"] / large["solver_T1_s"]
    dr = [drift[k]["octave_mcode_iteration_s"] / drift[k]["solver_s"] for k in [(1000, 100, 50), (10000, 1000, 100)]]
    small = drift[(1000, 10, 50)]
    sr = small["solver_s"] / small["one_thread_loop_s"]
    return [("driftwalk N = 10^4, D = 1000, B = 100: iteration on 2 threads / on 1", f"{two:.2f}", "≤ 0.6",
             two <= 0.6),
            ("Octave m-code loop / ours (driftwalk iteration, N = 1000, D = 100, B = 50; "
             "N = 10^4, D = 1000, B = 100)", ", ".join(f"{v:.1f}" for v in dr), "≥ 10", all(v >= 10 for v in dr)),
            ("driftwalk N = 1000, D = 10, B = 50: ours / the one-thread loop it replaced", f"{sr:.2f}",
             "≤ 1 (not slower)", sr <= 1.0)]


def drift_lines(drift, sweep):
    L = ["\nOne Langevin iteration, µs (the solver on 1 and 2 threads, timed in turns; the module's own "
         "choice: its default team of 2 here, one thread below its threshold; the one-thread loop it "
         "replaced, noise drawn weight by weight; whole calls, which include converting X):\n"]
    L.append("| N × D, batch | 1 thread | 2 threads | module's choice (threads) | one-thread loop before "
             "| mexhost call 1 / 2 thr. | octave-cli call | Octave m-code | 2 thr. / 1 | m-code / ours | same w |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for (N, D, B), r in drift.items():
        def us(k):
            return r[k] * 1e6
        L.append(f"| {N} × {D}, {B} | {us('solver_T1_s'):.2f} | {us('solver_T2_s'):.2f} "
                 f"| {us('solver_s'):.2f} ({r['default_threads']:.0f}) | {us('one_thread_loop_s'):.2f} "
                 f"| {us('call_T1_s'):.2f} / {us('call_T2_s'):.2f} | {us('octave_call_s'):.2f} "
                 f"| {us('octave_mcode_iteration_s'):.2f} | {r['solver_T2_s'] / r['solver_T1_s']:.2f} "
                 f"| {r['octave_mcode_iteration_s'] / r['solver_s']:.1f} | {'yes' if r['identical'] else 'NO'} |")
    N, D, _, _ = DRIFT_SWEEP
    L.append(f"\nWhere a team pays (N = {N}, D = {D}; the module shares a batch out from D·B = 4096 on):\n")
    L.append("| D·B | 1 thread, µs | 2 threads, µs | 2 / 1 |\n|---|---|---|---|")
    for B, r in sweep:
        L.append(f"| {D * B} | {r['solver_T1_s'] * 1e6:.2f} | {r['solver_T2_s'] * 1e6:.2f} "
                 f"| {r['solver_T2_s'] / r['solver_T1_s']:.2f} |")
    L.append("")
    return L


def main():
    if "--drift" in sys.argv:  # only driftwalk's figures, printed; RESULTS.md is left alone
        os.makedirs(DATA, exist_ok=True)
        drift, sweep = measure_drift()
        print("\n".join(f"| {t} | {m} | {g} | {'yes' if ok else '**no**'} |" for t, m, g, ok in drift_targets(drift)))
        print("\n".join(drift_lines(drift, sweep)))
        return
    os.makedirs(DATA, exist_ok=True)
    os.makedirs(RESULTS, exist_ok=True)
    started = time.time()
    load_before = os.getloadavg()
    rows = []        # (group, shape, what, ns per sample-feature or per unit, note)
    targets = []     # (target, measured, goal, met)
    objectives = []  # (shape, method, G)

    # ---- per-step costs: kinkstep method 0 ----
    step_results = {}
    for D in STEP_DS:
        prefix, X, y = write_data(STEP_N, D)
        steps = 20000000 // D
        step = step_size(D)
        log(f"kinkstep method 0, D = {D}: {steps} steps")
        c = run_keys([BENCH, "steps", prefix, str(STEP_N), str(D), str(steps), repr(step), repr(LAMBDA),
                      str(REPEATS)])
        o = octave("steps", prefix, STEP_N, D, step, steps)
        sk_t, _ = sklearn_sgd(X, y, step)
        per = lambda s, n=steps: s / n / D * 1e9   # ns per sample-feature
        r = dict(solver=per(c["solver_s"]), minimal=per(c["minimal_s"]), read=per(c["read_rows_s"]),
                 mexhost_call=per(c["call_s"]), octave_call=per(o["call_s"]),
                 sklearn=per(sk_t, STEP_N), mcode=o["mcode_step_s"] / D * 1e9,
                 identical=c["identical_to_minimal"], stop_check=per(c["stop_check_s"]))
        step_results[D] = r
        if D == 100:
            log("kinkstep method 0, D = 100: 10^6 silent steps with and without opts.progress")
            progress = run_keys([BENCH, "progress", prefix, str(STEP_N), str(D), "1000000", repr(step), repr(LAMBDA),
                                 str(2 * REPEATS + 1)])
    # ---- one pass: splitavg ----
    pass_results = {}
    for (N, D) in PASS_SHAPES:
        prefix, X, y = write_data(N, D)
        step = step_size(D)
        log(f"splitavg {N} x {D}")
        c = run_keys([BENCH, "pass", prefix, str(N), str(D), repr(step), repr(LAMBDA), str(REPEATS)])
        o1 = octave("pass", prefix, N, D, step, N, threads=1)
        o2 = octave("pass", prefix, N, D, step, N, threads=2)
        sk_t, sk_w = sklearn_sgd(X, y, step)
        w_opt = lasso_optimum(X, y)
        per = lambda s: s / N / D * 1e9
        pass_results[(N, D)] = dict(
            read1=per(c["read_T1_s"]), read2=per(c["read_T2_s"]), convert=per(c["convert_s"]),
            shuffle=per(c["shuffle_s"]), pass1=per(c["pass_T1_s"]), pass2=per(c["pass_T2_s"]),
            minimal=per(c["minimal_s"]), call1=per(c["call_T1_s"]), call2=per(c["call_T2_s"]),
            octave1=per(o1["call_s"]), octave2=per(o2["call_s"]), sklearn=per(sk_t),
            mcode=o1["mcode_step_s"] / D * 1e9, identical=c["identical_to_minimal"],
            whole_s=c["call_T2_s"], read_s=c["read_T1_s"])
        shape = f"{N} × {D}"
        for name, w in [("splitavg, 1 thread", read_w(prefix + ".w_splitavg_T1")),
                        ("splitavg, 2 threads", read_w(prefix + ".w_splitavg_T2")),
                        ("kinkstep method 0, N steps", read_w(prefix + ".w_kinkstep0")),
                        ("kinkstep method 1, N/2 iterations x 2 threads", read_w(prefix + ".w_kinkstep1_T2")),
                        ("sklearn SGDRegressor, 1 epoch", sk_w),
                        ("optimum (sklearn Lasso, alpha = lambda)", w_opt)]:
            objectives.append((shape, name, G(X, y, w)))
    # ---- method 1 team overhead ----
    team_results = {}
    for D in STEP_DS:
        log(f"kinkstep method 1 team, D = {D}")
        team_results[D] = run_keys([BENCH, "team", str(D), "20000", str(REPEATS)])
    # ---- driftwalk: noise, permutation, whole iterations ----
    log("driftwalk noise and permutation")
    noise = run_keys([BENCH, "noise", str(REPEATS)])
    drift, sweep = measure_drift()
    # ---- memory ----
    big = max(PASS_SHAPES, key=lambda s: s[0] * s[1])
    log(f"peak memory of one splitavg call on {big[0]} x {big[1]}")
    rss = run_keys([BENCH, "rss", os.path.join(DATA, f"n{big[0]}_d{big[1]}"), str(big[0]), str(big[1])])

    # ---- targets ----
    r100 = step_results[100]
    targets.append(("kinkstep method 0: per step / plain C++ loop (D = 10, 100, 1000)",
                    ", ".join(f"{step_results[D]['solver'] / step_results[D]['minimal']:.2f}" for D in STEP_DS),
                    "≤ 1.3", all(step_results[D]['solver'] / step_results[D]['minimal'] <= 1.3 for D in STEP_DS)))
    targets.append(("kinkstep method 0: sklearn / ours per sample (D = 100)",
                    f"{r100['sklearn'] / r100['solver']:.1f}", "≥ 8", r100['sklearn'] / r100['solver'] >= 8))
    if (1000000, 100) in pass_results:
        p = pass_results[(1000000, 100)]
        targets.append(("splitavg 10^6 x 100: whole call (2 threads) / plain read of X",
                        f"{p['call2'] / p['read1']:.1f}", "≤ 4", p['call2'] / p['read1'] <= 4))
        targets.append(("splitavg 10^6 x 100: pass 1 thread / pass 2 threads",
                        f"{p['pass1'] / p['pass2']:.2f}", "≥ 1.7", p['pass1'] / p['pass2'] >= 1.7))
        targets.append(("splitavg 10^6 x 100: conversion / plain read of X",
                        f"{p['convert'] / p['read1']:.1f}", "near memory speed", None))
    over = [(team_results[D]["iteration_s"] - team_results[D]["steps_alone_s"]) / team_results[D]["empty_region_s"]
            for D in STEP_DS]
    targets.append(("kinkstep method 1: (iteration − steps) / empty region (D = 10, 100, 1000)",
                    ", ".join(f"{v:.2f}" for v in over), "≤ 1.5", all(v <= 1.5 for v in over)))
    nr = noise["noise_direct_s"] / noise["noise_s"]
    pr = [noise[f"perm{n}_direct_s"] / noise[f"perm{n}_s"] for n in (1000, 1000000)]
    targets.append(("driftwalk noise: direct transcription / ours", f"{nr:.2f}", "≥ 3", nr >= 3))
    targets.append(("driftwalk permutation: direct / ours (n = 10^3, 10^6)",
                    ", ".join(f"{v:.2f}" for v in pr), "≥ 3", all(v >= 3 for v in pr)))
    m_ratios = [step_results[D]["mcode"] / step_results[D]["solver"] for D in STEP_DS]
    m_ratios += [p["mcode"] / p["pass1"] for p in pass_results.values()]
    targets.append(("Octave m-code loop / ours (kinkstep D = 10, 100, 1000; splitavg shapes)",
                    ", ".join(f"{v:.0f}" for v in m_ratios), "≥ 50", all(v >= 50 for v in m_ratios)))
    targets += drift_targets(drift)

    write_results(step_results, pass_results, team_results, noise, drift, sweep, rss, objectives, targets,
                  started, load_before, progress)
    # The sparse-X rows, measured last and put in their own section.
    sparse_rows.splice(sparse_rows.lines(sparse_rows.measure(BUILD, QUICK)))


def write_results(step_results, pass_results, team_results, noise, drift, sweep, rss, objectives, targets,
                  started, load_before, progress):
    L = []
    today = datetime.date.today().isoformat()
    L.append(f"# Benchmark results, {today}\n")
    L.append(f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} processors "
             f"(`{cpu_name()}`), load average before the run {load_before[0]:.2f} and after "
             f"{os.getloadavg()[0]:.2f}. Medians of {REPEATS} runs. Suite time {time.time() - started:.0f} s. "
             f"Command: `bench/run`.\n")
    L.append("Figures are ns per sample·feature (one step on one sample of D features counts D), "
             "lower is better. Ratios are peer / ours or ours / limit.\n")
    L.append("## Targets\n")
    L.append("| target | measured | goal | met |\n|---|---|---|---|")
    for t, m, g, ok in targets:
        L.append(f"| {t} | {m} | {g} | {'yes' if ok else ('–' if ok is None else '**no**')} |")
    L.append("")
    L.append("## kinkstep method 0: per-step cost (N = 20 000 rows, steps × D = 2·10^7)\n")
    L.append("| D | ours (solver) | mexhost whole call | octave-cli whole call | plain C++ loop | read of the drawn rows "
             "| sklearn SGD | Octave m-code | ours / loop | sklearn / ours | m-code / ours | same w as loop |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for D, r in step_results.items():
        L.append(f"| {D} | {fmt(r['solver'])} | {fmt(r['mexhost_call'])} | {fmt(r['octave_call'])} | {fmt(r['minimal'])} "
                 f"| {fmt(r['read'])} | {fmt(r['sklearn'])} | {fmt(r['mcode'])} | {r['solver'] / r['minimal']:.2f} "
                 f"| {r['sklearn'] / r['solver']:.1f} | {r['mcode'] / r['solver']:.0f} | {'yes' if r['identical'] else 'NO'} |")
    L.append("\nThe whole calls include the conversion of X (20 000 × D) into rows.\n")
    L.append("## splitavg: one pass\n")
    L.append("| N × D | plain read of X, 1 / 2 threads | conversion | shuffle | pass, 1 thread | pass, 2 threads "
             "| plain C++ loop (1 pass) | mexhost whole call, 1 / 2 threads | octave-cli whole call, 1 / 2 threads "
             "| sklearn SGD, 1 epoch | Octave m-code | pass 1 / 2 threads | whole call (2 thr.) / read "
             "| sklearn / ours (2 thr. call) | m-code / ours (pass) |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for (N, D), p in pass_results.items():
        L.append(f"| {N} × {D} | {fmt(p['read1'])} / {fmt(p['read2'])} | {fmt(p['convert'])} | {fmt(p['shuffle'])} "
                 f"| {fmt(p['pass1'])} | {fmt(p['pass2'])} | {fmt(p['minimal'])} | {fmt(p['call1'])} / {fmt(p['call2'])} "
                 f"| {fmt(p['octave1'])} / {fmt(p['octave2'])} | {fmt(p['sklearn'])} | {fmt(p['mcode'])} "
                 f"| {p['pass1'] / p['pass2']:.2f} | {p['call2'] / p['read1']:.1f} | {p['sklearn'] / p['call2']:.1f} "
                 f"| {p['mcode'] / p['pass1']:.0f} |")
    L.append("\nThe 1-thread pass reproduces the plain loop's weights bit for bit: "
             + ", ".join(f"{N}×{D}: {'yes' if p['identical'] else 'NO'}" for (N, D), p in pass_results.items()) + ".\n")
    L.append("## Objective after one pass\n")
    L.append("G(w) = ||Xw − y||² / (2N) + lambda·|w|₁ with lambda = "
             f"{LAMBDA}: the objective whose one-sample subgradient kinkstep and splitavg step on "
             "(½(x·w − y)² + lambda·|w|₁ averaged over the samples), and the one sklearn's SGDRegressor "
             "(alpha = lambda) and Lasso (alpha = lambda) use. The modules' printed F(w) = Σ(x·w − y)² + "
             "lambda·|w|₁ is a different scaling; its minimiser is Lasso with alpha = lambda / (2N). "
             "Step size 0.2 / D.\n")
    L.append("| N × D | method | G(w) |\n|---|---|---|")
    for shape, name, g in objectives:
        L.append(f"| {shape} | {name} | {g:.6g} |")
    L.append("")
    L.append("## kinkstep method 1: cost of the team per iteration (2 threads, N = 1000)\n")
    L.append("| D | iteration | one thread's step + the average, alone | empty `omp parallel` (2 threads) "
             "| (iteration − steps) / empty |")
    L.append("|---|---|---|---|---|")
    for D, t in team_results.items():
        L.append(f"| {D} | {t['iteration_s'] * 1e6:.2f} µs | {t['steps_alone_s'] * 1e6:.2f} µs "
                 f"| {t['empty_region_s'] * 1e6:.2f} µs "
                 f"| {(t['iteration_s'] - t['steps_alone_s']) / t['empty_region_s']:.2f} |")
    L.append("")
    L.append("## The Ctrl-C check\n")
    L.append("kinkstep method 0, silent, per step with the host's interrupt query (as the modules run) and "
             "without it (the solver alone):\n")
    L.append("| D | without (ns per sample·feature) | with | with / without |\n|---|---|---|---|")
    for D, r in sorted(step_results.items()):
        L.append(f"| {D} | {r['solver']:.3f} | {r['stop_check']:.3f} | {r['stop_check'] / r['solver']:.3f} |")
    L.append("")
    L.append("## The progress line\n")
    L.append("kinkstep method 0 on 20 000 × 100, 10^6 silent steps, whole calls through mexhost (conversion "
             "included), with `struct('seed', 1)` and with `'progress', true` added; the three calls run in turn, "
             f"medians of {2 * REPEATS + 1}:\n")
    L.append("| call | time, s | / without | drawn |\n|---|---|---|---|")
    L.append(f"| without the option | {progress['off_s']:.4f} | 1 | nothing |")
    L.append(f"| progress, output a terminal | {progress['on_terminal_s']:.4f} "
             f"| {progress['on_terminal_s'] / progress['off_s']:.3f} | {progress['terminal_updates']:.0f} updates in place |")
    L.append(f"| progress, output a log or a pipe | {progress['on_plain_s']:.4f} "
             f"| {progress['on_plain_s'] / progress['off_s']:.3f} | {progress['plain_lines']:.0f} lines |")
    L.append(f"\nSame weights with and without the line: {'yes' if progress['identical'] else '**no**'}.\n")
    L.append("## driftwalk\n")
    L.append("| what | ours | direct transcription | direct / ours | same values |\n|---|---|---|---|---|")
    L.append(f"| one noise draw | {noise['noise_s'] * 1e9:.1f} ns | {noise['noise_direct_s'] * 1e9:.1f} ns "
             f"| {noise['noise_direct_s'] / noise['noise_s']:.2f} | {'yes' if noise['noise_identical'] else 'NO'} |")
    L.append(f"| one noise draw, an iteration's seeds eight side by side | {noise['noise_batch_s'] * 1e9:.1f} ns "
             f"| {noise['noise_direct_s'] * 1e9:.1f} ns | {noise['noise_direct_s'] / noise['noise_batch_s']:.2f} "
             f"| {'yes' if noise['noise_batch_identical'] else 'NO'} |")
    for n in (1000, 1000000):
        L.append(f"| permutation of {n}, per element | {noise[f'perm{n}_s'] * 1e9:.2f} ns "
                 f"| {noise[f'perm{n}_direct_s'] * 1e9:.2f} ns | {noise[f'perm{n}_direct_s'] / noise[f'perm{n}_s']:.2f} "
                 f"| {'yes' if noise[f'perm{n}_identical'] else 'NO'} |")
    L += drift_lines(drift, sweep)
    L.append("## Memory\n")
    xb = rss["x_bytes"]
    big = max(PASS_SHAPES, key=lambda s: s[0] * s[1])
    L.append(f"splitavg on {big[0]} × {big[1]} through mexhost, 2 threads: X is "
             f"{xb / 1e6:.0f} MB; resident before the call {rss['rss_before_call_kb'] / 1e3:.0f} MB (X and y), "
             f"peak during the call {rss['peak_rss_kb'] / 1e3:.0f} MB, so the call added "
             f"{(rss['peak_rss_kb'] - rss['rss_before_call_kb']) / 1e3:.0f} MB "
             f"({(rss['peak_rss_kb'] - rss['rss_before_call_kb']) * 1e3 / xb:.2f} × X: its rows, plus labels, "
             f"row table and the per-thread vectors).\n")
    L.append("![ns per sample·feature](per_sample_feature.png)\n")
    L.append(NOTES)
    with open(os.path.join(RESULTS, "RESULTS.md"), "w") as f:
        f.write("\n".join(L))
    plot(step_results, pass_results)
    print("\n".join(L))


def cpu_name():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def plot(step_results, pass_results):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2, figsize=(14, 5))
    series = [("ours", "solver"), ("plain C++ loop", "minimal"), ("read of the rows", "read"),
              ("mexhost call", "mexhost_call"), ("octave-cli call", "octave_call"), ("sklearn SGD", "sklearn"),
              ("Octave m-code", "mcode")]
    draw(axes[0], [f"D = {D}" for D in step_results], [[r[k] for r in step_results.values()] for _, k in series],
         [n for n, _ in series], "kinkstep method 0, per step")
    series = [("ours: pass, 2 threads", "pass2"), ("ours: whole call, 2 threads", "call2"),
              ("ours: pass, 1 thread", "pass1"), ("plain C++ loop", "minimal"), ("plain read of X", "read1"),
              ("octave-cli call, 2 threads", "octave2"), ("sklearn SGD", "sklearn"), ("Octave m-code", "mcode")]
    draw(axes[1], [f"{N}×{D}" for (N, D) in pass_results], [[p[k] for p in pass_results.values()] for _, k in series],
         [n for n, _ in series], "splitavg, one pass")
    fig.tight_layout()
    fig.savefig(os.path.join(RESULTS, "per_sample_feature.png"), dpi=90)


def draw(ax, groups, values, names, title):
    n = len(names)
    width = 0.8 / n
    for k, (vals, name) in enumerate(zip(values, names)):
        ax.bar([g + k * width for g in range(len(groups))], vals, width, label=name)
    ax.set_xticks([g + 0.4 - width / 2 for g in range(len(groups))])
    ax.set_xticklabels(groups)
    ax.set_yscale("log")
    ax.set_ylabel("ns per sample·feature")
    ax.set_title(title)
    ax.legend(fontsize=7)


NOTES = open(os.path.join(ROOT, "bench", "notes.md")).read() if os.path.exists(
    os.path.join(ROOT, "bench", "notes.md")) else ""

if __name__ == "__main__":
    main()
