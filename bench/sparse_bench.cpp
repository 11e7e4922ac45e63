#include "bench/sparse_bench.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/harness.hpp"
#include "bench/limits.hpp"
#include "core/data/cache_hint.hpp"
#include "core/kernels/batch.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "mexhost/host.hpp"

namespace bench {
namespace {

std::string module_path(const char *name) {
  return std::string(MEXHOST_MODULE_DIR) + "/" + name + ".mexa64";
}

// An N x D sparse X with `per_row` nonzeros in every row (random distinct columns, values N(0,1)),
// made directly in compressed columns as a host holds it, and y = X w* + noise for a w* with a
// thousandth of its entries nonzero. Nothing of size N x D is made.
struct SparseProblem {
  int32_t N, D;
  mexhost::ArrayPtr X, y;
};

SparseProblem make_problem(int32_t N, int32_t D, int32_t per_row, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z(0.0, 1.0);
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D), k = static_cast<size_t>(per_row);
  // The pattern by rows first: per row `per_row` distinct columns.
  std::vector<int32_t> cols(n * k);
  std::uniform_int_distribution<int32_t> col(0, D - 1);
  for (size_t i = 0; i < n; ++i) {
    int32_t *c = cols.data() + i * k;
    for (size_t h = 0; h < k; ++h) {
      int32_t j;
      do j = col(gen);
      while (std::find(c, c + h, j) != c + h);
      c[h] = j;
    }
  }
  std::vector<double> w_true(d, 0.0);
  for (size_t j = 0; j < d; j += 1000) w_true[j] = z(gen);
  SparseProblem p{N, D, mexhost::ArrayPtr(mxCreateSparse(n, d, n * k, mxREAL)),
                  mexhost::ArrayPtr(mxCreateDoubleMatrix(n, 1, mxREAL))};
  mwIndex *jc = mxGetJc(p.X.get()), *ir = mxGetIr(p.X.get());
  double *pr = mxGetPr(p.X.get()), *y = mxGetPr(p.y.get());
  // Compressed columns by counting; rows increase within each column since rows are visited in order.
  std::fill(jc, jc + d + 1, 0);
  for (int32_t c : cols) ++jc[static_cast<size_t>(c) + 1];
  for (size_t j = 0; j < d; ++j) jc[j + 1] += jc[j];
  std::vector<mwIndex> at(jc, jc + d);
  for (size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (size_t h = 0; h < k; ++h) {
      const size_t j = static_cast<size_t>(cols[i * k + h]);
      const double v = z(gen);
      const mwIndex e = at[j]++;
      ir[e] = i;
      pr[e] = v;
      s += v * w_true[j];
    }
    y[i] = s + 0.01 * z(gen);
  }
  return p;
}

core::SparseRows convert(const SparseProblem &p, int32_t threads = 1) {
  return core::make_sparse_rows(mxGetJc(p.X.get()), mxGetIr(p.X.get()), mxGetPr(p.X.get()), mxGetNzmax(p.X.get()), p.N,
                                p.D, mxGetPr(p.y.get()), nullptr, threads);
}

// One read of the nonzeros as a host holds them: every row index and every value.
double read_nonzeros(const SparseProblem &p) {
  const size_t nnz = mxGetJc(p.X.get())[p.D];
  const mwIndex *ir = mxGetIr(p.X.get());
  const double *pr = mxGetPr(p.X.get());
  double s = 0.0;
  mwIndex r = 0;
  for (size_t e = 0; e < nnz; ++e) {
    s += pr[e];
    r ^= ir[e];
  }
  return s + static_cast<double>(r & 1);
}

// The loop the steps are measured against: the sample draw, the row's in-order dot product and the
// update of the features it touches, and nothing for the others (no catch-up): the least any
// exact step can do.
std::vector<double> touched_only_steps(const core::SparseRows &data, uint32_t seed, int32_t steps, double stepSize,
                                       double lambda) {
  std::vector<double> w(static_cast<size_t>(data.D), 0.0);
  LocalPcg rng(seed);
  double *const wp = w.data();
  for (int32_t k = 0; k < steps; ++k) {
    const int32_t i = rng.next() % data.N;
    const core::SparseRow x = data.row(i);
    const double c = data.dot(i, wp) - data.labels[static_cast<size_t>(i)];
    for (int64_t h = 0; h < x.count; ++h) {
      const int32_t j = x.columns[h];
      wp[j] = wp[j] - stepSize * core::add_l1_subgradient(c * x.values[h], wp[j], lambda);
    }
  }
  return w;
}

// The same loop with every fetch asked for early: the draws (which do not depend on the weights)
// are made kRowAhead steps ahead; each drawn sample's row offsets are asked for then, its columns
// and values kRowAhead - kRowsReady steps ahead, and the weights it touches kWeightsAhead ahead, so
// that the misses of several steps overlap. The floor an exact step with the same look-ahead could
// reach.
std::vector<double> touched_only_lookahead(const core::SparseRows &data, uint32_t seed, int32_t steps, double stepSize,
                                           double lambda) {
  constexpr int32_t kRowAhead = 16, kRowsReady = 8, kWeightsAhead = 3, kRing = 32;
  std::vector<double> w(static_cast<size_t>(data.D), 0.0);
  LocalPcg rng(seed);
  double *const wp = w.data();
  int32_t ring[kRing];
  for (int32_t k = 0; k < kRowAhead && k < steps; ++k) ring[k] = static_cast<int32_t>(rng.next() % data.N);
  for (int32_t k = 0; k < steps; ++k) {
    if (k + kRowAhead < steps) {
      const int32_t far = static_cast<int32_t>(rng.next() % data.N);
      ring[(k + kRowAhead) % kRing] = far;
      data.prefetch(far);
      core::fetch_line(data.labels.data() + far);
    }
    if (k + kRowsReady < steps) {
      const core::SparseRow x = data.row(ring[(k + kRowsReady) % kRing]);
      core::fetch_lines(x.columns, x.columns + x.count);
      core::fetch_lines(x.values, x.values + x.count);
    }
    if (k + kWeightsAhead < steps) {
      const core::SparseRow x = data.row(ring[(k + kWeightsAhead) % kRing]);
      for (int64_t h = 0; h < x.count; ++h) core::fetch_line_for_write(wp + x.columns[h]);
    }
    const int32_t i = ring[k % kRing];
    const core::SparseRow x = data.row(i);
    const double c = data.dot(i, wp) - data.labels[static_cast<size_t>(i)];
    for (int64_t h = 0; h < x.count; ++h) {
      const int32_t j = x.columns[h];
      wp[j] = wp[j] - stepSize * core::add_l1_subgradient(c * x.values[h], wp[j], lambda);
    }
  }
  return w;
}

}  // namespace

namespace {

// The conversion (on one thread and on two) against one read of the nonzeros, then kinkstep
// method 0's steps against the touched-only loop, as it comes and with every fetch asked early.
int measure_steps(const SparseProblem &p, int32_t steps, double stepSize, double lambda, int repeats) {
  double sink = 0.0;
  const double read = median_of(repeats, [&] { sink += read_nonzeros(p); });
  const double conversion = median_of(repeats, [&] { sink += static_cast<double>(convert(p).nonzeros()); });
  const double conversion_two_threads =
      median_of(repeats, [&] { sink += static_cast<double>(convert(p, 2).nonzeros()); });
  const core::SparseRows data = convert(p);
  const uint32_t seed = 4242;
  std::vector<double> minimal;
  const double touched = median_of(repeats, [&] { minimal = touched_only_steps(data, seed, steps, stepSize, lambda); });
  std::vector<double> ahead;
  const double lookahead =
      median_of(repeats, [&] { ahead = touched_only_lookahead(data, seed, steps, stepSize, lambda); });
  core::WeightVector w;
  const double solver = median_of(repeats, [&] {
    core::seed_thread_rand(seed);
    w = kinkstep::sequential_subgradient_descent(core::RunContext{data}, {stepSize, lambda, steps}).w;
  });
  report("nonzeros", static_cast<double>(data.nonzeros()));
  report("read_nonzeros_s", read);
  report("convert_s", conversion);
  report("convert_over_read", conversion / read);
  report("convert_T2_s", conversion_two_threads);
  report("convert_T2_team", core::conversion_team(2, p.N, mxGetJc(p.X.get())[p.D]));  // the team it had
  report("convert_T2_over_read", conversion_two_threads / read);
  report("solver_step_ns", solver / steps * 1e9);
  report("touched_only_step_ns", touched / steps * 1e9);
  report("solver_over_touched_only", solver / touched);
  report("touched_lookahead_step_ns", lookahead / steps * 1e9);
  report("solver_over_lookahead", solver / lookahead);
  report("lookahead_same_weights", ahead == minimal);
  report("checksum", sink != sink ? 1.0 : 0.0);
  return 0;
}

// X and y from a file of compressed columns (bench/sparse_rows.py writes the bag of words so), all
// little-endian: int64 N, D, nnz; int64 jc[D + 1]; int64 ir[nnz]; double pr[nnz]; double y[N].
SparseProblem read_problem(const char *path) {
  std::FILE *f = std::fopen(path, "rb");
  if (!f) throw std::runtime_error(std::string("cannot open ") + path);
  auto read = [&](void *to, size_t bytes) {
    if (std::fread(to, 1, bytes, f) != bytes) {
      std::fclose(f);
      throw std::runtime_error(std::string("too short: ") + path);
    }
  };
  int64_t head[3];
  read(head, sizeof head);
  const size_t n = static_cast<size_t>(head[0]), d = static_cast<size_t>(head[1]), nnz = static_cast<size_t>(head[2]);
  SparseProblem p{static_cast<int32_t>(n), static_cast<int32_t>(d),
                  mexhost::ArrayPtr(mxCreateSparse(n, d, nnz > 0 ? nnz : 1, mxREAL)),
                  mexhost::ArrayPtr(mxCreateDoubleMatrix(n, 1, mxREAL))};
  std::vector<int64_t> index(std::max(d + 1, nnz));
  read(index.data(), (d + 1) * sizeof(int64_t));
  std::copy(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(d + 1), mxGetJc(p.X.get()));
  read(index.data(), nnz * sizeof(int64_t));
  std::copy(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(nnz), mxGetIr(p.X.get()));
  read(mxGetPr(p.X.get()), nnz * sizeof(double));
  read(mxGetPr(p.y.get()), n * sizeof(double));
  std::fclose(f);
  return p;
}

}  // namespace

int sparse(char **a) {
  const int32_t N = std::atoi(a[0]), D = std::atoi(a[1]), per_row = std::atoi(a[2]), steps = std::atoi(a[3]);
  return measure_steps(make_problem(N, D, per_row, 99), steps, 0.01, 1e-4, std::atoi(a[4]));
}

int sparse_file(char **a) {
  return measure_steps(read_problem(a[0]), std::atoi(a[1]), std::atof(a[2]), std::atof(a[3]), std::atoi(a[4]));
}

int sparse_rss(char **a) {
  const int32_t N = std::atoi(a[0]), D = std::atoi(a[1]), per_row = std::atoi(a[2]), steps = std::atoi(a[3]);
  const long before_data = status_kb("VmRSS");
  const SparseProblem p = make_problem(N, D, per_row, 99);
  const long with_data = status_kb("VmRSS");
  const mexhost::Module m(module_path("kinkstep"));
  std::vector<mexhost::ArrayPtr> keep;
  std::vector<const mxArray *> in{p.X.get(), p.y.get()};
  for (double v : {0.01, 1e-4, static_cast<double>(steps), 0.0, 0.0}) {
    keep.push_back(mexhost::make_scalar(v));
    in.push_back(keep.back().get());
  }
  const double t0 = now();
  const mexhost::CallResult r = m.call(1, in);
  const double call = now() - t0;
  if (r.failed) {
    std::fprintf(stderr, "kinkstep failed: %s\n", r.error_message.c_str());
    return 3;
  }
  report("dense_x_bytes", static_cast<double>(N) * static_cast<double>(D) * sizeof(double));
  report("host_data_kb", static_cast<double>(with_data - before_data));
  report("peak_rss_kb", static_cast<double>(status_kb("VmHWM")));
  report("call_s", call);
  report("call_step_ns", call / steps * 1e9);
  return 0;
}

// The call a user makes: kinkstep(X, y, 1e-2, lambda, steps, 0, 0, struct('seed', 1)) on the random
// sparse X, through mexhost, conversion and output included; the median of `repeats` calls and a
// digest of w's bits (the same digest under STOCHL1_GENERIC_KERNELS=1 means the same weights as the
// one-by-one catch-ups).
int sparse_call(char **a) {
  const int32_t N = std::atoi(a[0]), D = std::atoi(a[1]), per_row = std::atoi(a[2]), steps = std::atoi(a[3]);
  const double lambda = std::atof(a[4]);
  const int repeats = std::atoi(a[5]);
  const SparseProblem p = make_problem(N, D, per_row, 99);
  const mexhost::Module m(module_path("kinkstep"));
  std::vector<mexhost::ArrayPtr> keep;
  std::vector<const mxArray *> in{p.X.get(), p.y.get()};
  for (double v : {0.01, lambda, static_cast<double>(steps), 0.0, 0.0}) {
    keep.push_back(mexhost::make_scalar(v));
    in.push_back(keep.back().get());
  }
  keep.push_back(mexhost::make_struct({"seed"}));
  mxSetField(keep.back().get(), 0, "seed", mexhost::make_scalar(1.0).release());
  in.push_back(keep.back().get());
  uint64_t digest = 0;
  bool failed = false;
  const double call = median_of(repeats, [&] {
    const mexhost::CallResult r = m.call(1, in);
    if (r.failed) {
      std::fprintf(stderr, "kinkstep failed: %s\n", r.error_message.c_str());
      failed = true;
      return;
    }
    const double *w = mxGetPr(r.outputs[0].get());
    digest = 1469598103934665603ull;  // FNV-1a over the bits of w
    for (int32_t j = 0; j < D; ++j) {
      uint64_t b;
      std::memcpy(&b, w + j, sizeof b);
      digest = (digest ^ b) * 1099511628211ull;
    }
  });
  if (failed) return 3;
  report("call_s", call);
  report("w_digest_high", static_cast<double>(digest >> 32));
  report("w_digest_low", static_cast<double>(digest & 0xFFFFFFFFu));
  return 0;
}

int sparse_dense(char **a) {
  const int32_t N = std::atoi(a[0]), D = std::atoi(a[1]), steps = std::atoi(a[2]);
  const int repeats = std::atoi(a[3]);
  const double stepSize = 0.2 / D, lambda = 1e-3;
  std::mt19937_64 gen(5);
  std::normal_distribution<double> z(0.0, 1.0);
  std::vector<double> X(static_cast<size_t>(N) * static_cast<size_t>(D)), y(static_cast<size_t>(N));
  for (double &v : X) v = z(gen);
  for (double &v : y) v = z(gen);
  const mexhost::ArrayPtr sx = mexhost::make_sparse(static_cast<size_t>(N), static_cast<size_t>(D), X);
  const core::RegressionData dense = core::make_regression_data(X.data(), N, D, y.data());
  const core::SparseRows sparse = core::make_sparse_rows(mxGetJc(sx.get()), mxGetIr(sx.get()), mxGetPr(sx.get()),
                                                         mxGetNzmax(sx.get()), N, D, y.data());
  core::RegressionData shape;
  shape.N = N;
  shape.D = D;
  core::WeightVector wd, ws;
  // In turns, so that the machine's load falls on both alike.
  std::vector<double> td, ts;
  for (int r = 0; r < repeats; ++r) {
    td.push_back(median_of(1, [&] {
      core::seed_thread_rand(7);
      wd = kinkstep::sequential_subgradient_descent(core::RunContext{dense}, {stepSize, lambda, steps}).w;
    }));
    ts.push_back(median_of(1, [&] {
      core::seed_thread_rand(7);
      ws = kinkstep::sequential_subgradient_descent(core::RunContext{sparse}, {stepSize, lambda, steps}).w;
    }));
  }
  std::sort(td.begin(), td.end());
  std::sort(ts.begin(), ts.end());
  report("dense_step_ns", td[td.size() / 2] / steps * 1e9);
  report("sparse_step_ns", ts[ts.size() / 2] / steps * 1e9);
  report("sparse_over_dense", ts[ts.size() / 2] / td[td.size() / 2]);
  report("identical", wd == ws);

  // The whole call as a user makes it, kinkstep(X, ...) against kinkstep(sparse(X), ...): the module
  // takes X that fills its cells as full rows.
  const mexhost::Module m(module_path("kinkstep"));
  const mexhost::ArrayPtr fx = mexhost::make_double(static_cast<size_t>(N), static_cast<size_t>(D), X);
  const mexhost::ArrayPtr my = mexhost::make_double(static_cast<size_t>(N), 1, y);
  std::vector<mexhost::ArrayPtr> keep;
  std::vector<const mxArray *> tail;
  for (double v : {stepSize, lambda, static_cast<double>(steps), 0.0, 0.0}) {
    keep.push_back(mexhost::make_scalar(v));
    tail.push_back(keep.back().get());
  }
  const mexhost::ArrayPtr opts = mexhost::make_struct({"seed"});
  mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(1));
  tail.push_back(opts.get());
  std::vector<double> cd, cs;
  std::vector<double> call_w[2];
  for (int r = 0; r < repeats; ++r)
    for (int which = 0; which < 2; ++which) {
      std::vector<const mxArray *> in{which ? sx.get() : fx.get(), my.get()};
      in.insert(in.end(), tail.begin(), tail.end());
      const double t0 = now();
      const mexhost::CallResult c = m.call(1, in);
      (which ? cs : cd).push_back(now() - t0);
      if (c.failed) {
        std::fprintf(stderr, "kinkstep failed: %s\n", c.error_message.c_str());
        return 3;
      }
      const double *w = mxGetPr(c.output());
      call_w[which].assign(w, w + D);
    }
  std::sort(cd.begin(), cd.end());
  std::sort(cs.begin(), cs.end());
  report("dense_call_s", cd[cd.size() / 2]);
  report("sparse_call_s", cs[cs.size() / 2]);
  report("sparse_call_over_dense", cs[cs.size() / 2] / cd[cd.size() / 2]);
  report("call_identical", call_w[0] == call_w[1]);
  return 0;
}

}  // namespace bench
