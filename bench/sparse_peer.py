#!/usr/bin/python3
"""The peer of the sparse benchmark row: scikit-learn's SGDRegressor on a scipy CSR matrix of the same
kind as stochl1_bench sparse makes (N x D, perRow random distinct columns per row, values N(0,1),
y from a sparse model plus noise), one epoch with penalty 'l1' at the same step size and lambda, its samples shuffled (the default,
like our random draws) and in order.
Prints "key value" lines: the time of the fit, per sample.

Usage: bench/sparse_peer.py N D perRow repeats
       bench/sparse_peer.py --mat FILE.mat stepSize lambda repeats   (X and y of a MAT file, such as
                                                                     the bag of words)
"""
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp


def problem(N, D, per_row, seed=99):
    rng = np.random.default_rng(seed)
    # Distinct columns per row: rows that drew a column twice draw again.
    cols = np.sort(rng.integers(0, D, size=(N, per_row), dtype=np.int32), axis=1)
    while True:
        again = np.nonzero((np.diff(cols, axis=1) == 0).any(axis=1))[0]
        if again.size == 0:
            break
        cols[again] = np.sort(rng.integers(0, D, size=(again.size, per_row), dtype=np.int32), axis=1)
    indptr = np.arange(0, N * per_row + 1, per_row, dtype=np.int64)
    X = sp.csr_matrix((rng.standard_normal(N * per_row), cols.ravel(), indptr), shape=(N, D))
    X.sort_indices()
    w_true = np.zeros(D)
    w_true[::1000] = rng.standard_normal(w_true[::1000].size)
    y = X @ w_true + 0.01 * rng.standard_normal(N)
    return X, y


def main():
    if sys.argv[1] == "--mat":
        import scipy.io
        d = scipy.io.loadmat(sys.argv[2])
        X, y = sp.csr_matrix(d["X"]), np.asarray(d["y"], dtype=float).ravel()
        X.sort_indices()
        step, lam, repeats = float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
    else:
        N, D, per_row, repeats = (int(a) for a in sys.argv[1:5])
        X, y = problem(N, D, per_row)
        step, lam = 0.01, 1e-4
    print(f"nonzeros {X.nnz}")
    for shuffle in (True, False):
        fit(X, y, X.shape[0], repeats, shuffle, step, lam)


def fit(X, y, N, repeats, shuffle, step, lam):
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.linear_model import SGDRegressor
    times = []
    for _ in range(repeats):
        model = SGDRegressor(loss="squared_error", penalty="l1", alpha=lam, l1_ratio=1.0,
                             learning_rate="constant", eta0=step, max_iter=1, tol=None,
                             fit_intercept=False, shuffle=shuffle, random_state=0, average=False)
        t0 = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            model.fit(X, y)
        times.append(time.perf_counter() - t0)
    t = float(np.median(times))
    name = "shuffled" if shuffle else "in_order"
    print(f"sklearn_{name}_fit_s {t:.9g}")
    print(f"sklearn_{name}_sample_ns {t / N * 1e9:.9g}")


if __name__ == "__main__":
    main()
