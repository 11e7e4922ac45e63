#!/usr/bin/python3
"""Data sets and their exact lasso optima, for judging how close the modules get.

For each data set this writes OUTDIR/NAME.mat (MAT version 5, loadable by Octave) with X, y and the
minimiser w_star of

    F(w) = sum_i (x_i.w - y_i)^2 + mu * sum_j |w_j|,

found by coordinate descent (scikit-learn's Lasso, which minimises F / (2N) with alpha = mu / (2N)).
kinkstep and splitavg head for that minimiser when given lambda = mu / (2N); driftwalk takes mu.
The same file holds the optimum with an unpenalised intercept b (x_i.w + b in place of x_i.w).

The data: five small dense sets bundled with Debian's scikit-learn, and a bag of words of chunks of
the Python sources on this machine (the same installed packages give the same matrix).

Usage (Debian's interpreter, which has numpy, scipy and scikit-learn):
    /usr/bin/python3 bench/quality_data.py build [OUTDIR]   # data sets and optima
    /usr/bin/python3 bench/quality_data.py show  [OUTDIR]   # table of the data sets
    /usr/bin/python3 bench/quality_data.py peer  [OUTDIR]   # SGDRegressor on the bag of words
OUTDIR defaults to build/quality under the repository root.

Variables in each MAT file (vectors are columns, index lists count from 1 as Octave does):
    X, y              data; X is sparse for the bag of words
    mu, lambda        penalty of F, and mu / (2N) for kinkstep and splitavg
    F_star, w_star, nnz_star, support_star, gap_star      optimum without intercept
    F_icpt, w_icpt, b_icpt, nnz_icpt, support_icpt, gap_icpt   optimum with an intercept
    gap_*             duality gap of that optimum, relative to its F
    passes_*          passes of coordinate descent that took
    row_sq_max, row_sq_mean, eig_max     max_i |x_i|^2, mean_i |x_i|^2, largest eigenvalue of X'X/N
    dropped           (dense sets) original columns dropped for being constant
    words             (bag of words) the word of each column
"""
import os

# Single-threaded BLAS: the timings stay comparable and the machine stays free for other work.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import json
import math
import re
import sys
import sysconfig
import time
import warnings
from collections import Counter

import numpy as np
import sklearn
import scipy.io
import scipy.sparse as sp
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import Lasso, SGDRegressor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKDATA = "/usr/lib/python3/dist-packages/sklearn/datasets/data"
DENSE = ("diabetes", "boston", "breast_cancer", "wine", "digits")
BOW = "python_bow"

# Bag of words: Python sources of the standard library and of Debian's Python packages.
PY_TREES = (sysconfig.get_paths()["stdlib"], "/usr/lib/python3/dist-packages")
MIN_TOKENS = 30          # a document is whole paragraphs of one file, at least this many words
MAX_DOCS_PER_FILE = 200  # so that a few huge (often generated) files do not dominate
MAX_DOCS_PER_CLASS = 50000
MIN_DOC_FREQ = 2         # a word seen in one document only says nothing about the others
MIN_WORDS = 5            # distinct words of the vocabulary a document needs
TOKEN = re.compile(r"\b[a-z_][a-z0-9_]*")

# Coordinate descent: a loose tolerance while searching for mu, a tight one for the optimum.
# scikit-learn stops once its duality gap is below tol * |y|^2.
PATH_TOL = 1e-6
EXACT_TOL = 1e-12
MAX_ITER = 20000
ONES_SCALE = 1e8  # see lasso()
PATH_STEPS_PER_DECADE = 10


# ---------------------------------------------------------------- dense data sets

def _table(name, **kw):
    return np.loadtxt(os.path.join(SKDATA, name), **kw)


def load_dense(name):
    """Raw features and target of one of scikit-learn's bundled data sets."""
    if name == "diabetes":
        return _table("diabetes_data_raw.csv.gz"), _table("diabetes_target.csv.gz")
    # The other files start with a line "N,D,class names..."; boston has a header line too.
    skip = {"boston": 2, "breast_cancer": 1, "wine": 1, "digits": 0}[name]
    file = {"boston": "boston_house_prices.csv", "breast_cancer": "breast_cancer.csv",
            "wine": "wine_data.csv", "digits": "digits.csv.gz"}[name]
    table = _table(file, delimiter=",", skiprows=skip)
    # Boston's target is the median house value; for breast cancer (0 malignant, 1 benign),
    # wine (cultivar 0, 1, 2) and digits (0 .. 9) the class label itself is the numeric target.
    return table[:, :-1], table[:, -1]


def standardise(X):
    """Columns to mean 0 and standard deviation 1 (population, ddof=0); constant columns dropped."""
    std = X.std(axis=0)
    dropped = np.flatnonzero(std == 0)
    keep = std > 0
    return (X[:, keep] - X[:, keep].mean(axis=0)) / std[keep], dropped


# ---------------------------------------------------------------- bag of words

def python_files():
    """Every regular .py file under PY_TREES in sorted order (links skipped: they duplicate)."""
    for tree in PY_TREES:
        for dirpath, dirnames, filenames in os.walk(tree):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                if name.endswith(".py") and not os.path.islink(path):
                    yield path


def is_test_module(path):
    """A module of a test suite: in a directory test(s), or test_*.py, *_test.py, conftest.py."""
    parts = path.split(os.sep)
    name = parts[-1]
    return (any(p in ("test", "tests") for p in parts[:-1]) or name.startswith("test_")
            or name.endswith("_test.py") or name == "conftest.py")


def tokens(text):
    """Lower-case identifiers and words of two to 40 characters, surrounding underscores removed."""
    out = []
    for t in TOKEN.findall(text.lower()):
        t = t.strip("_")
        if 2 <= len(t) <= 40 and t[0].isalpha():
            out.append(t)
    return out


def documents(text):
    """Consecutive blank-line separated paragraphs, merged until each has MIN_TOKENS words."""
    docs, words = [], []
    for paragraph in re.split(r"\n[ \t]*\n", text):
        words += tokens(paragraph)
        if len(words) >= MIN_TOKENS:
            docs.append(Counter(words))
            words = []
            if len(docs) == MAX_DOCS_PER_FILE:
                break
    return docs  # a short tail is dropped


def evenly(indices, n):
    """n of the indices spread evenly over the array, in order."""
    return indices[np.arange(n) * indices.size // n]


def select(docs, labels):
    """Equally many documents of each class, the words that two or more of them use, and how
    many documents were set aside.

    Documents left with fewer than MIN_WORDS such words hold data (hex, base64, tables) rather
    than code or prose: they are set aside and the draw is made again without them.
    """
    candidates = np.arange(len(docs))
    while True:
        test = candidates[labels[candidates] > 0]
        library = candidates[labels[candidates] < 0]
        n = min(MAX_DOCS_PER_CLASS, test.size, library.size)
        rows = np.sort(np.concatenate([evenly(test, n), evenly(library, n)]))
        freq = Counter(w for i in rows for w in docs[i])
        short = [i for i in rows if sum(freq[w] >= MIN_DOC_FREQ for w in docs[i]) < MIN_WORDS]
        if not short:
            words = sorted(w for w, c in freq.items() if c >= MIN_DOC_FREQ)
            return rows, words, len(docs) - candidates.size
        candidates = np.setdiff1d(candidates, short)


def bag_of_words():
    """Word counts of chunks of Python source, rows scaled to unit norm, and the label.

    y is +1 for a chunk from a test module and -1 for one from library code: a real property of
    the document that its words suggest (assert, fixtures, test names) but do not settle.  The two
    classes are drawn in equal numbers, so y has mean 0.
    """
    docs, labels, seen, files = [], [], set(), 0
    for path in python_files():
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        files += 1
        test = is_test_module(path)
        for doc in documents(text):
            key = frozenset(doc.items())
            if key not in seen:  # licence headers and generated code repeat verbatim
                seen.add(key)
                docs.append(doc)
                labels.append(1.0 if test else -1.0)
    rows, words, set_aside = select(docs, np.array(labels))
    docs = [docs[i] for i in rows]
    column = {w: j for j, w in enumerate(words)}
    indptr, indices, counts = [0], [], []
    for doc in docs:
        cols = sorted(column[w] for w in doc if w in column)
        indices += cols
        counts += [doc[words[j]] for j in cols]
        indptr.append(len(indices))
    X = sp.csr_matrix((np.array(counts, float), indices, indptr), shape=(len(docs), len(words)))
    norms = np.sqrt(np.asarray(X.multiply(X).sum(axis=1)).ravel())
    X = (sp.diags(1 / norms) @ X).tocsr()
    y = np.array(labels)[rows]
    return X, y, words, {"files": files, "chunks": len(labels), "set_aside": set_aside}


# ---------------------------------------------------------------- lasso optima

def objective(X, y, w, mu, b=0.0):
    """F in float64: squared residuals plus mu times the L1 norm of w (b is not penalised)."""
    r = X @ w + b - y
    return float(r @ r + mu * np.abs(w).sum())


def relative_gap(X, y, w, mu, b=None):
    """Duality gap of F at w (and intercept b) over F(w), a bound on (F(w) - F*) / F(w).

    The dual of F is 2u'y - u'u subject to |X'u|_inf <= mu/2 (and sum(u) = 0 with an intercept);
    the scaled residual is feasible and tends to the dual optimum.
    """
    r = y - X @ w - (b or 0.0)
    u = r - r.mean() if b is not None else r
    corr = np.abs(X.T @ u).max()
    if corr > mu / 2:
        u = u * (mu / 2 / corr)
    primal = float(r @ r + mu * np.abs(w).sum())
    return (primal - float(2 * u @ y - u @ u)) / primal


def lasso(X, y, mu, fit_intercept, tol, w0):
    """Coordinate descent for F; returns w, b and the number of passes.

    With an intercept, scikit-learn centres a sparse X implicitly at O(N) per coordinate, hours
    on the bag of words; there the intercept is instead the weight of one more column, of ones
    times ONES_SCALE, whose penalty mu * |b| / ONES_SCALE is below the rounding of F.
    """
    ones_column = fit_intercept and sp.issparse(X)
    if ones_column:
        X = sp.hstack([X, np.full((X.shape[0], 1), ONES_SCALE)], format="csc")
        w0 = np.append(w0, np.mean(y - X[:, :-1] @ w0) / ONES_SCALE)
    model = Lasso(alpha=mu / (2 * X.shape[0]), fit_intercept=fit_intercept and not ones_column,
                  tol=tol, max_iter=MAX_ITER, warm_start=True)
    model.coef_ = w0.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # judged by the duality gap instead
        model.fit(X, y)
    w, b = model.coef_.copy(), float(model.intercept_)
    if ones_column:
        w, b = w[:-1], w[-1] * ONES_SCALE
    return w, b, int(model.n_iter_)


def choose_mu(X, y, target_nnz):
    """Walk down a geometric grid from the smallest mu with w* = 0 until w* has target_nnz nonzeros.

    mu is then rounded to two significant digits, so that it is easy to quote.
    """
    mu_max = 2 * np.abs(X.T @ y).max()
    w = np.zeros(X.shape[1])
    for k in range(1, 10 * PATH_STEPS_PER_DECADE):
        mu = mu_max * 10 ** (-k / PATH_STEPS_PER_DECADE)
        w, _, _ = lasso(X, y, mu, False, PATH_TOL, w)
        if np.count_nonzero(w) >= target_nnz:
            break
    return float(f"{mu:.2g}"), w


def optimum(X, y, mu, fit_intercept, w0):
    """The exact minimiser of F with its figures, as MAT variables with the given suffix."""
    w, b, passes = lasso(X, y, mu, fit_intercept, EXACT_TOL, w0)
    suffix = "icpt" if fit_intercept else "star"
    figures = {f"F_{suffix}": objective(X, y, w, mu, b), f"w_{suffix}": w,
               f"nnz_{suffix}": np.count_nonzero(w),
               f"support_{suffix}": np.flatnonzero(w).astype(float) + 1,
               f"gap_{suffix}": relative_gap(X, y, w, mu, b if fit_intercept else None),
               f"passes_{suffix}": passes}
    if fit_intercept:
        figures["b_icpt"] = b
    return figures


# ---------------------------------------------------------------- step-size figures

def largest_eigenvalue(X, iterations=100, rtol=1e-8):
    """Largest eigenvalue of X'X/N by power iteration (products with X and X' only: sparse-safe)."""
    v = np.random.default_rng(0).standard_normal(X.shape[1])
    v /= np.linalg.norm(v)
    value = 0.0
    for _ in range(iterations):
        u = X.T @ (X @ v) / X.shape[0]
        new, v = float(v @ u), u / np.linalg.norm(u)
        if abs(new - value) <= rtol * new:
            return new
        value = new
    return value


def scale_figures(X):
    """The figures that bound stable step sizes (see the README on choosing the step size)."""
    row_sq = np.asarray((X.multiply(X) if sp.issparse(X) else X * X).sum(axis=1)).ravel()
    return {"row_sq_max": float(row_sq.max()), "row_sq_mean": float(row_sq.mean()),
            "eig_max": largest_eigenvalue(X)}


# ---------------------------------------------------------------- subcommands

def solve_and_save(outdir, name, X, y, target_nnz, extra):
    """Choose mu, find both optima and write NAME.mat with the data and every figure."""
    t0 = time.perf_counter()
    mu, w_path = choose_mu(X, y, target_nnz)
    t1 = time.perf_counter()
    data = {"X": X, "y": y, "mu": mu, "lambda": mu / (2 * X.shape[0]), **extra}
    data.update(optimum(X, y, mu, False, w_path))
    t2 = time.perf_counter()
    data.update(optimum(X, y, mu, True, data["w_star"]))
    t3 = time.perf_counter()
    data.update(scale_figures(X))
    scipy.io.savemat(os.path.join(outdir, name + ".mat"), data, format="5", oned_as="column",
                     do_compression=True)
    print(f"{name}: mu {mu:.6g}, F* {data['F_star']:.12g} ({data['nnz_star']} nonzeros, "
          f"gap {data['gap_star']:.1e}, {data['passes_star']} passes), with intercept "
          f"F* {data['F_icpt']:.12g}, b* {data['b_icpt']:.6g} ({data['nnz_icpt']} nonzeros, gap "
          f"{data['gap_icpt']:.1e}, {data['passes_icpt']} passes); seconds: mu {t1 - t0:.1f}, "
          f"optimum {t2 - t1:.1f}, with intercept {t3 - t2:.1f}", flush=True)


def build(outdir):
    os.makedirs(outdir, exist_ok=True)
    for name in DENSE:
        X, y = load_dense(name)
        X, dropped = standardise(X)
        y = y - y.mean()
        if dropped.size:
            print(f"{name}: dropped constant columns {', '.join(str(j + 1) for j in dropped)} "
                  "(counting from 1)")
        # A moderate share of the features active: half of them.
        solve_and_save(outdir, name, X, y, math.ceil(X.shape[1] / 2),
                       {"dropped": dropped.astype(float) + 1})

    t0 = time.perf_counter()
    X, y, words, info = bag_of_words()
    print(f"{BOW}: {info['files']} files, {info['chunks']} distinct chunks ({info['set_aside']} "
          f"set aside as data), {X.shape[0]} documents x {X.shape[1]} words, {X.nnz} nonzeros, "
          f"{int((y > 0).sum())} from tests; {time.perf_counter() - t0:.1f} s", flush=True)
    # Some two thousand words: a sparse model, yet large enough to be hard to find.
    solve_and_save(outdir, BOW, X.tocsc(), y, 2000, {"words": np.array(words, dtype=object)})


def load(outdir, name):
    """One MAT file as a dict, scalars as numbers and vectors one-dimensional."""
    data = scipy.io.loadmat(os.path.join(outdir, name + ".mat"))
    for key, value in data.items():  # scalars and vectors come back as 2-D arrays
        if isinstance(value, np.ndarray) and value.dtype != object and value.size == 1:
            data[key] = value.item()
        elif isinstance(value, np.ndarray) and value.ndim == 2 and 1 in value.shape:
            data[key] = value.ravel()
    return data


def show(outdir):
    head = ("name", "N", "D", "nnz(X)", "mu", "lambda", "F*", "nnz(w*)",
            "max|x|^2", "mean|x|^2", "eig(X'X/N)")
    print(("{:<14}{:>7}{:>7}{:>10}{:>11}{:>11}{:>18}{:>9}{:>10}{:>10}{:>11}").format(*head))
    for name in DENSE + (BOW,):
        d = load(outdir, name)
        X = d["X"]
        nnz = X.nnz if sp.issparse(X) else np.count_nonzero(X)
        print(("{:<14}{:>7}{:>7}{:>10}{:>11.4g}{:>11.4g}{:>18.12g}{:>9}{:>10.4g}{:>10.4g}{:>11.4g}")
              .format(name, X.shape[0], X.shape[1], nnz, d["mu"], d["lambda"], d["F_star"],
                      int(d["nnz_star"]), d["row_sq_max"], d["row_sq_mean"], d["eig_max"]))


def peer(outdir, epochs=20):
    """scikit-learn's SGD with an L1 penalty on the bag of words, against F*."""
    d = load(outdir, BOW)
    X, y = sp.csr_matrix(d["X"]), d["y"]
    results = []
    for eta0 in (0.5, 0.05):
        def fit():
            model = SGDRegressor(loss="squared_error", penalty="l1", alpha=d["lambda"],
                                 learning_rate="constant", eta0=eta0, fit_intercept=False,
                                 max_iter=epochs, tol=None, shuffle=True, random_state=0,
                                 average=False)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                return model.fit(X, y)
        fit()  # warm-up
        t0 = time.perf_counter()
        w = fit().coef_
        seconds = time.perf_counter() - t0
        F = objective(X, y, w, d["mu"])
        results.append({"eta0": eta0, "epochs": epochs, "F": F, "F_star": d["F_star"],
                        "rel_gap": (F - d["F_star"]) / d["F_star"],
                        "nnz": int(np.count_nonzero(w)), "nnz_star": int(d["nnz_star"]),
                        "seconds_per_epoch": seconds / epochs})
    print(f"SGDRegressor on {BOW} ({X.shape[0]} x {X.shape[1]}, lambda {d['lambda']:.4g}, "
          f"{epochs} epochs)")
    print(f"{'eta0':>6}{'F':>16}{'(F-F*)/F*':>12}{'nnz':>8}{'nnz*':>7}{'s/epoch':>10}")
    for r in results:
        print(f"{r['eta0']:>6}{r['F']:>16.10g}{r['rel_gap']:>12.3e}{r['nnz']:>8}"
              f"{r['nnz_star']:>7}{r['seconds_per_epoch']:>10.4f}")
    with open(os.path.join(outdir, "peer.json"), "w") as f:
        json.dump({"data": BOW, "N": X.shape[0], "D": X.shape[1], "lambda": d["lambda"],
                   "mu": d["mu"], "sklearn": sklearn.__version__, "runs": results}, f, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("command", choices=("build", "show", "peer"))
    parser.add_argument("outdir", nargs="?", default=os.path.join(ROOT, "build", "quality"))
    args = parser.parse_args()
    {"build": build, "show": show, "peer": peer}[args.command](args.outdir)


if __name__ == "__main__":
    sys.exit(main())
