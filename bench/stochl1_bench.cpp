// The C++ side of the benchmark suite (bench/run drives it): each subcommand times one module
// against its limits on data files written by the driver and prints "key value" lines.
//
//   stochl1_bench steps <data> N D steps stepSize lambda repeats   kinkstep method 0, per step
//   stochl1_bench pass  <data> N D stepSize lambda repeats         splitavg stages, 1 and 2 threads
//   stochl1_bench team  D iterations repeats                       kinkstep method 1 team overhead
//   stochl1_bench noise repeats                                    driftwalk noise and permutation
//   stochl1_bench drift <data> N D batch iterations repeats        driftwalk per iteration, 1 and 2 threads
//   stochl1_bench rss   <data> N D                                 peak memory of one splitavg call
//   stochl1_bench progress <data> N D steps stepSize lambda repeats kinkstep method 0 with and
//                                                                  without opts.progress
//   stochl1_bench sparse N D perRow steps repeats                 a random sparse X made in memory:
//                                                                  the conversion, method 0's steps
//   stochl1_bench sparse_file PATH steps stepSize lambda repeats  the same on X and y from a file
//   stochl1_bench sparse_rss N D perRow steps                     peak memory of a sparse method 0 call
//   stochl1_bench sparse_dense N D steps repeats                  dense data given as sparse, per step
//   stochl1_bench sparse_call N D perRow steps lambda repeats     the whole call, kinkstep(X, y, 1e-2, ...)
//
// <data> is a path prefix: <data>.X holds X column-major (N x D doubles), <data>.y the N labels.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.hpp"
#include "bench/limits.hpp"
#include "bench/sparse_bench.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/threads/busy.hpp"
#include "driftwalk/langevin.hpp"
#include "driftwalk/noise.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "mexhost/display.h"
#include "mexhost/host.hpp"
#include "reference/direct.hpp"
#include "reference/tuned_pass.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"
#include "test_support.hpp"

namespace {

using bench::median_of;
using bench::report;

struct Data {
  int32_t N, D;
  mexhost::ArrayPtr X, y;  // as a host hands them to a module
  const double *x() const { return mxGetPr(X.get()); }
  const double *labels() const { return mxGetPr(y.get()); }
};

Data load(const std::string &prefix, int32_t N, int32_t D) {
  Data d{N, D, mexhost::ArrayPtr(mxCreateDoubleMatrix(N, D, mxREAL)),
         mexhost::ArrayPtr(mxCreateDoubleMatrix(N, 1, mxREAL))};
  bench::read_doubles(prefix + ".X", mxGetPr(d.X.get()), static_cast<size_t>(N) * static_cast<size_t>(D));
  bench::read_doubles(prefix + ".y", mxGetPr(d.y.get()), static_cast<size_t>(N));
  return d;
}

// Median time of whole module calls through mexhost; the last call's output is kept in `w`.
double time_call(const mexhost::Module &m, const std::vector<const mxArray *> &in, int repeats,
                 std::vector<double> *w = nullptr) {
  mexhost::CallResult last;
  const double t = median_of(repeats, [&] { last = m.call(1, in); });
  if (last.failed) {
    std::fprintf(stderr, "%s failed: %s\n", m.path().c_str(), last.error_message.c_str());
    std::exit(3);
  }
  if (w) *w = mexhost::values(last.output());
  return t;
}

std::vector<const mxArray *> inputs(const Data &d, std::vector<mexhost::ArrayPtr> &scalars,
                                    std::initializer_list<double> values) {
  std::vector<const mxArray *> in{d.X.get(), d.y.get()};
  for (double v : values) {
    scalars.push_back(mexhost::make_scalar(v));
    in.push_back(scalars.back().get());
  }
  return in;
}

int steps(char **a) {
  const Data d = load(a[0], std::atoi(a[1]), std::atoi(a[2]));
  const int32_t steps = std::atoi(a[3]);
  const double stepSize = std::atof(a[4]), lambda = std::atof(a[5]);
  const int repeats = std::atoi(a[6]);
  const core::RegressionData data = core::make_regression_data(d.x(), d.N, d.D, d.labels());
  const core::RunContext run{data, false, {}};
  const uint32_t seed = 4242;

  core::WeightVector w;
  const double solver = median_of(repeats, [&] {
    core::seed_thread_rand(seed);
    w = kinkstep::sequential_subgradient_descent(run, {stepSize, lambda, steps}).w;
  });
  // The same run while the host is asked between steps whether the user pressed Ctrl-C, as a
  // module does; the question is a load of a flag, like Octave's.
  core::RunContext asked{data, false, {}};
  static volatile bool never = false;
  asked.stop = core::StopCheck([] { return static_cast<bool>(never); });
  core::WeightVector w_asked;
  const double with_stop_check = median_of(repeats, [&] {
    core::seed_thread_rand(seed);
    w_asked = kinkstep::sequential_subgradient_descent(asked, {stepSize, lambda, steps}).w;
  });
  std::vector<double> v;
  const double minimal = median_of(repeats, [&] { v = bench::minimal_steps(data, seed, steps, stepSize, lambda); });
  // The plain loop again, compiled as the kernels are (widest vector instructions, next row
  // prefetched), and the floor: the dot product's chain of additions alone, rows in the cache.
  const char *isa = "";
  std::vector<double> v_widest;
  const double minimal_widest =
      median_of(repeats, [&] { v_widest = bench::minimal_steps_widest(data, seed, steps, stepSize, lambda, &isa); });
  double chain_sum = 0.0;
  const int64_t adds = static_cast<int64_t>(steps) * d.D;
  const double chain = median_of(repeats, [&] { chain_sum += bench::add_chain(d.D, adds); });
  // The solver against the chain, the fastest of runs in turns (3 x repeats).
  const std::pair<double, double> best = bench::best_in_turns(
      3 * repeats,
      [&] {
        core::seed_thread_rand(seed);
        kinkstep::sequential_subgradient_descent(run, {stepSize, lambda, steps});
      },
      [&] { chain_sum += bench::add_chain(d.D, adds); });
  uint64_t sink = 0;
  const double read = median_of(repeats, [&] { sink ^= bench::read_drawn_rows(data, seed, steps); });

  const mexhost::Module m(mexhost_module("kinkstep"));
  std::vector<mexhost::ArrayPtr> keep;
  const double call = time_call(m, inputs(d, keep, {stepSize, lambda, double(steps), 0, 0}), repeats);
  const double convert = median_of(repeats, [&] { core::make_regression_data(d.x(), d.N, d.D, d.labels()); });

  report("identical_to_minimal", std::equal(w.begin(), w.end(), v.begin(), v.end()));
  report("solver_s", solver);
  report("stop_check_s", with_stop_check);
  report("stop_check_identical", w_asked == w);
  report("minimal_s", minimal);
  report("minimal_widest_s", minimal_widest);
  report("minimal_widest_identical", std::equal(w.begin(), w.end(), v_widest.begin(), v_widest.end()));
  // The versions that ran, as keys: "kernel_<name> 1" and "plain_loop_<name> 1".
  report(std::string("kernel_") + core::kernels().step.name, 1);
  report(std::string("plain_loop_") + isa, 1);
  report("chain_s", chain);
  report("solver_best_s", best.first);
  report("chain_best_s", best.second);
  report("chain_checksum", chain_sum != 0.0);
  report("read_rows_s", read);
  report("call_s", call);
  report("convert_s", convert);
  report("checksum", static_cast<double>(sink & 1));
  return 0;
}

int pass(char **a) {
  const Data d = load(a[0], std::atoi(a[1]), std::atoi(a[2]));
  const double stepSize = std::atof(a[3]), lambda = std::atof(a[4]);
  const int repeats = std::atoi(a[5]);
  const std::string prefix = a[0];
  const size_t nd = static_cast<size_t>(d.N) * static_cast<size_t>(d.D);

  uint64_t sink = 0;
  for (int T : {1, 2}) {
    const double t = median_of(repeats, [&] { sink ^= bench::read_all(d.x(), nd, T); });
    report("read_T" + std::to_string(T) + "_s", t);
  }

  // The conversions into memory just given back, as a call after the first one in a session
  // finds it (the old rows go before the new ones are made); fresh memory is timed on its own.
  core::RegressionData data;
  auto convert = [&](int32_t threads, bool shuffled) {
    return median_of(repeats, [&] {
      data = core::RegressionData{};
      std::vector<int32_t> order;
      if (shuffled) {
        core::seed_thread_rand(99);
        order = core::random_permutation(d.N);
      }
      data = core::make_regression_data(d.x(), d.N, d.D, d.labels(), nullptr,
                                        core::RowPlacement{shuffled ? order.data() : nullptr, threads});
    });
  };
  convert(1, false);  // the first rows of the process take memory the system has not handed out lately
  report("convert_shuffled_T1_s", convert(1, true));
  report("convert_shuffled_T2_s", convert(2, true));  // as the splitavg module builds its rows
  report("convert_T2_s", convert(2, false));
  report("convert_s", convert(1, false));
  report("fresh_pages_s", median_of(repeats, [&] { sink ^= bench::touch_fresh_pages(nd * sizeof(double)); }));
  // The copy alone: into the rows just made, whose pages are in place.
  for (int32_t T : {1, 2})
    report("convert_touched_T" + std::to_string(T) + "_s", median_of(repeats, [&] {
             core::write_rows(data, d.x(), d.labels(), nullptr, core::RowPlacement{nullptr, T});
           }));
  const core::RegressionData unshuffled = data;
  report("shuffle_s", median_of(repeats, [&] {
           data.features = unshuffled.features;
           data.labels = unshuffled.labels;
           core::seed_thread_rand(99);
           splitavg::shuffle_samples(data, 0, d.N - 1);
         }));
  const core::RunContext run{data, false, {}};
  std::vector<double> w1;
  for (int T : {1, 2}) {
    core::WeightVector w(static_cast<size_t>(d.D), 0.0);
    report("pass_T" + std::to_string(T) + "_s", median_of(repeats, [&] {
             if (reference::pass_and_average(run, {stepSize, lambda}, T, w) != T) std::abort();
           }));
    if (T == 1) w1.assign(w.begin(), w.end());
  }
  std::vector<double> v;
  report("minimal_s", median_of(repeats, [&] { v = bench::minimal_pass(data, stepSize, lambda); }));
  report("identical_to_minimal", w1 == v);
  report("minimal_widest_s", median_of(repeats, [&] { v = bench::minimal_pass_widest(data, stepSize, lambda); }));
  report("minimal_widest_identical", w1 == v);
  double chain_sum = 0.0;
  report("chain_s", median_of(repeats, [&] { chain_sum += bench::add_chain(d.D, static_cast<int64_t>(nd)); }));
  {
    core::WeightVector w(static_cast<size_t>(d.D), 0.0);
    const std::pair<double, double> best = bench::best_in_turns(
        3 * repeats,
        [&] {
          reference::pass_and_average(run, {stepSize, lambda}, 1, w);
        },
        [&] { chain_sum += bench::add_chain(d.D, static_cast<int64_t>(nd)); });
    report("pass_T1_best_s", best.first);
    report("chain_best_s", best.second);
  }
  report("chain_checksum", chain_sum != 0.0);

  // Whole calls through mexhost, the weights kept for the objective table.
  const mexhost::Module m(mexhost_module("splitavg"));
  std::vector<mexhost::ArrayPtr> keep;
  const auto in = inputs(d, keep, {stepSize, lambda, 0});
  for (int T : {1, 2}) {
    omp_set_num_threads(T);
    std::vector<double> w;
    report("call_T" + std::to_string(T) + "_s", time_call(m, in, repeats, &w));
    bench::write_doubles(prefix + ".w_splitavg_T" + std::to_string(T), w.data(), w.size());
  }
  // kinkstep on as many samples as one pass: method 0 with N steps, method 1 with N / 2 iterations
  // of two threads. One run each: these are for the objective they reach.
  const mexhost::Module k(mexhost_module("kinkstep"));
  std::vector<double> w;
  omp_set_num_threads(1);
  std::vector<mexhost::ArrayPtr> keep0, keep1;
  report("kinkstep0_call_s", time_call(k, inputs(d, keep0, {stepSize, lambda, double(d.N), 0, 0}), 1, &w));
  bench::write_doubles(prefix + ".w_kinkstep0", w.data(), w.size());
  omp_set_num_threads(2);
  report("kinkstep1_call_s", time_call(k, inputs(d, keep1, {stepSize, lambda, double(d.N / 2), 1, 0}), 1, &w));
  bench::write_doubles(prefix + ".w_kinkstep1_T2", w.data(), w.size());
  report("checksum", static_cast<double>(sink & 1));
  return 0;
}

int team(char **a) {
  const int32_t D = std::atoi(a[0]), iterations = std::atoi(a[1]);
  const int repeats = std::atoi(a[2]);
  const int32_t N = 1000;
  const int T = 2;
  std::vector<double> X(static_cast<size_t>(N) * D), y(N);
  bench::LocalPcg rng(7);
  for (double &v : X) v = (rng.next() * 0x1p-31 - 0.5) / D;
  for (double &v : y) v = rng.next() * 0x1p-31;
  const core::RegressionData data = core::make_regression_data(X.data(), N, D, y.data());
  const core::RunContext run{data, false, {}};
  const kinkstep::Parameters p{0.01, 0.001, iterations};

  omp_set_num_threads(T);
  const double solver = median_of(repeats, [&] { kinkstep::parallel_averaged_descent(run, p); });
  // What one iteration costs without a team: thread 0's step (reseed, draw, subgradient, candidate)
  // and the average of T candidates, on the calling thread.
  std::vector<double> w(D, 0.0), g(D), cand(static_cast<size_t>(T) * D, 0.0);
  const double alone = median_of(repeats, [&] {
    for (int32_t k = 0; k < iterations; ++k) {
      core::seed_thread_rand(static_cast<uint32_t>(k));
      core::sample_subgradient(data, core::draw_sample(N), w.data(), p.lambda, g.data());
      for (int32_t j = 0; j < D; ++j) cand[j] = w[j] - p.stepSize * g[j];
      for (int32_t j = 0; j < D; ++j) {
        double s = 0.0;
        for (int t = 0; t < T; ++t) s = s + cand[static_cast<size_t>(t) * D + j];
        w[j] = s / T;
      }
    }
  });
  int sink = 0;
  const double empty = median_of(repeats, [&] {
    for (int32_t k = 0; k < iterations; ++k) {
#pragma omp parallel num_threads(T)
      {
        if (omp_get_thread_num() == 0) sink += 1;
      }
    }
  });
  report("iteration_s", solver / iterations);
  report("free_processors", core::free_processors());
  report("steps_alone_s", alone / iterations);
  report("empty_region_s", empty / iterations);
  report("checksum", sink & 1);
  return 0;
}

int noise(char **a) {
  const int repeats = std::atoi(a[0]);
  const int count = 1000000;
  std::vector<double> fast(count), direct(count);
  const double t_fast = median_of(repeats, [&] {
    core::seed_thread_rand(3);
    for (int k = 0; k < count; ++k) fast[k] = driftwalk::gaussian_noise(0.0, 1.0);
  });
  const double t_direct = median_of(repeats, [&] {
    core::seed_thread_rand(3);
    for (int k = 0; k < count; ++k) direct[k] = reference::gaussian_noise(0.0, 1.0);
  });
  // The same draws as an iteration takes them: all the generator values first, then the variates of
  // eight seeds side by side.
  std::vector<uint32_t> seeds(count);
  std::vector<double> batch(count);
  const double t_batch = median_of(repeats, [&] {
    core::seed_thread_rand(3);
    for (int k = 0; k < count; ++k) seeds[k] = driftwalk::noise_seed(static_cast<uint32_t>(core::thread_rand()));
    driftwalk::standard_variates(seeds.data(), count, batch.data());
  });
  report("noise_batch_identical", std::memcmp(fast.data(), batch.data(), count * sizeof(double)) == 0);
  report("noise_batch_s", t_batch / count);
  report("noise_identical", std::memcmp(fast.data(), direct.data(), count * sizeof(double)) == 0);
  report("noise_s", t_fast / count);
  report("noise_direct_s", t_direct / count);
  for (int32_t n : {1000, 1000000}) {
    std::vector<int32_t> p(n), q(n);
    const double t_p = median_of(repeats, [&] {
      core::seed_thread_rand(5);
      core::random_permutation(n, p.data());
    });
    const double t_q = median_of(repeats, [&] {
      core::seed_thread_rand(5);
      reference::random_permutation(n, q.data());
    });
    const std::string key = "perm" + std::to_string(n);
    report(key + "_identical", p == q);
    report(key + "_s", t_p / n);
    report(key + "_direct_s", t_q / n);
    // driftwalk's use: only the batch's first 100 entries kept (and a spare), the same n draws.
    std::vector<int32_t> head(101);
    const double t_h = median_of(repeats, [&] {
      core::seed_thread_rand(5);
      core::random_permutation_head(core::this_thread_rand(), n, 100, head.data());
    });
    report("head" + std::to_string(n) + "_identical", std::equal(head.begin(), head.begin() + 100, q.begin()));
    report("head" + std::to_string(n) + "_s", t_h / n);
  }
  return 0;
}

// Per iteration: the solver on 1 and on 2 threads (timed in turns, so that both see the same load),
// the one-thread loop it replaced, and whole calls through mexhost on 1 and 2 threads.
int drift(char **a) {
  const Data d = load(a[0], std::atoi(a[1]), std::atoi(a[2]));
  const int32_t batch = std::atoi(a[3]), iterations = std::atoi(a[4]);
  const int repeats = std::atoi(a[5]);
  const core::RegressionData data = core::make_regression_data(d.x(), d.N, d.D, d.labels());
  driftwalk::Parameters p;
  p.stepScale = 2e-4;
  p.stepOffset = 10;
  p.stepPower = -0.55;
  p.lambda = 1;
  p.batchSize = batch;
  p.maxIter = iterations;
  const uint32_t seed = 31;

  // Teams of 1 and 2 whatever the batch, and the module's own choice (the default team of 2 above
  // its threshold, else one thread).
  std::vector<double> t1, t2, tdefault, tloop;
  core::WeightVector w1, w2, wdefault;
  std::vector<double> wloop;
  for (int r = 0; r < repeats; ++r) {
    const double t0 = bench::now();
    wloop = bench::one_thread_langevin(data, seed, p.stepScale, p.stepOffset, p.stepPower, p.lambda, batch, iterations);
    tloop.push_back(bench::now() - t0);
    for (int T : {1, 2, 0}) {
      // After a team the runtime's idle worker spins for a while before it sleeps, taking a
      // processor from whatever runs next on a busy machine: let it settle first.
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      core::RunContext run{data, false, {}};
      run.threads = T;
      omp_set_num_threads(2);
      core::seed_thread_rand(seed);
      const double t0 = bench::now();
      core::WeightVector w = T ? driftwalk::detail::langevin_solve(run, p, 0).w : driftwalk::langevin_solve(run, p).w;
      const double t = bench::now() - t0;
      (T == 1 ? t1 : T == 2 ? t2 : tdefault).push_back(t);
      (T == 1 ? w1 : T == 2 ? w2 : wdefault) = std::move(w);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
  };
  report("solver_T1_s", median(t1) / iterations);
  report("solver_T2_s", median(t2) / iterations);
  report("solver_s", median(tdefault) / iterations);
  report("one_thread_loop_s", median(tloop) / iterations);
  const auto same = [&wloop](const core::WeightVector &w) {
    return std::equal(w.begin(), w.end(), wloop.begin(), wloop.end());
  };
  report("identical", same(w1) && same(w2) && same(wdefault));
  int32_t threads = 0;
  {
    // As before each timed run: the last team's idle worker would count as a busy processor.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    core::RunContext run{data, false, {}};
    p.maxIter = 1;
    threads = driftwalk::langevin_solve(run, p).threads;
    p.maxIter = iterations;
  }
  report("default_threads", threads);

  const mexhost::Module m(mexhost_module("driftwalk"));
  std::vector<mexhost::ArrayPtr> keep;
  const auto in =
      inputs(d, keep, {p.stepScale, p.stepOffset, p.stepPower, p.lambda, double(batch), double(iterations), 0});
  for (int T : {1, 2}) {
    omp_set_num_threads(T);
    report("call_T" + std::to_string(T) + "_s", time_call(m, in, repeats) / iterations);
  }
  omp_set_num_threads(2);
  return 0;
}

int rss(char **a) {
  const Data d = load(a[0], std::atoi(a[1]), std::atoi(a[2]));
  const long before = bench::status_kb("VmRSS");
  const mexhost::Module m(mexhost_module("splitavg"));
  std::vector<mexhost::ArrayPtr> keep;
  std::vector<double> w;
  omp_set_num_threads(2);
  time_call(m, inputs(d, keep, {1e-3, 1e-3, 0}), 1, &w);
  report("x_bytes", static_cast<double>(d.N) * d.D * sizeof(double));
  report("rss_before_call_kb", static_cast<double>(before));
  report("peak_rss_kb", static_cast<double>(bench::status_kb("VmHWM")));
  return 0;
}

// A silent kinkstep method 0 call, whole through mexhost, with struct('seed', 1) and with
// struct('seed', 1, 'progress', true), on a terminal (updates every 0.25 s) and not (a line per
// 10 %). The three are run in turn, `repeats` times, so that the machine's load falls on each alike.
int progress(char **a) {
  const Data d = load(a[0], std::atoi(a[1]), std::atoi(a[2]));
  const double steps = std::atof(a[3]), stepSize = std::atof(a[4]), lambda = std::atof(a[5]);
  const int repeats = std::atoi(a[6]);
  const mexhost::Module m(mexhost_module("kinkstep"));
  auto opts = [](bool progress) {
    mexhost::ArrayPtr s = mexhost::make_struct(progress ? std::vector<std::string>{"seed", "progress"}
                                                        : std::vector<std::string>{"seed"});
    mxSetField(s.get(), 0, "seed", mxCreateDoubleScalar(1));
    if (progress) {
      mxArray *on = mxCreateLogicalMatrix(1, 1);
      mxGetLogicals(on)[0] = true;
      mxSetField(s.get(), 0, "progress", on);
    }
    return s;
  };
  std::vector<mexhost::ArrayPtr> keep;
  std::vector<const mxArray *> off_in = inputs(d, keep, {stepSize, lambda, steps, 0, 0});
  std::vector<const mxArray *> on_in = off_in;
  keep.push_back(opts(false));
  off_in.push_back(keep.back().get());
  keep.push_back(opts(true));
  on_in.push_back(keep.back().get());

  std::vector<double> t_off, t_on, t_plain;
  size_t updates = 0, lines = 0;
  std::vector<double> w_off, w_on;
  for (int r = 0; r < repeats; ++r) {
    for (int which = 0; which < 3; ++which) {
      mexhost_set_output_terminal(which == 1);
      const double t0 = bench::now();
      const mexhost::CallResult c = m.call(1, which == 0 ? off_in : on_in);
      const double t = bench::now() - t0;
      if (c.failed) {
        std::fprintf(stderr, "kinkstep failed: %s\n", c.error_message.c_str());
        std::exit(3);
      }
      (which == 0 ? t_off : which == 1 ? t_on : t_plain).push_back(t);
      if (which == 0) w_off = mexhost::values(c.output());
      if (which == 1) {
        w_on = mexhost::values(c.output());
        updates = 0;
        for (char ch : c.printed) updates += ch == '\r';
      }
      if (which == 2) lines = c.lines.size();
    }
  }
  mexhost_set_output_terminal(false);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
  };
  report("off_s", median(t_off));
  report("on_terminal_s", median(t_on));
  report("on_plain_s", median(t_plain));
  report("terminal_updates", static_cast<double>(updates));
  report("plain_lines", static_cast<double>(lines));
  report("identical", w_on == w_off);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  struct Command {
    const char *name;
    int args;
    int (*run)(char **);
  };
  const Command commands[] = {{"steps", 7, steps},
                              {"pass", 6, pass},
                              {"team", 3, team},
                              {"noise", 1, noise},
                              {"drift", 6, drift},
                              {"rss", 3, rss},
                              {"progress", 7, progress},
                              {"sparse", 5, bench::sparse},
                              {"sparse_file", 5, bench::sparse_file},
                              {"sparse_rss", 4, bench::sparse_rss},
                              {"sparse_dense", 4, bench::sparse_dense},
                              {"sparse_call", 6, bench::sparse_call}};
  for (const Command &c : commands)
    if (argc == c.args + 2 && std::strcmp(argv[1], c.name) == 0) return c.run(argv + 2);
  std::fprintf(stderr, "usage: see the comment at the top of bench/stochl1_bench.cpp\n");
  return 1;
}
