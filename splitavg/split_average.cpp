#include "splitavg/split_average.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/kernels/sample_steps.hpp"
#include "core/threads/busy.hpp"
#include "core/threads/team.hpp"
#include "splitavg/sample_source.hpp"

namespace splitavg {

namespace {

// Samples each share has passed, written by the thread passing it once per block and read by thread 0 for
// the progress line; one cache line each.
struct alignas(64) PassedCount {
  std::atomic<int64_t> samples{0};
};

// What the threads of one pass share.
struct PassShared {
  std::atomic<bool> stop{false};
  std::atomic<bool> pause{false};
  std::vector<PassedCount> passed;  // one per share, only when the run has a progress line
};

// One pass over the share from local position `from` on, one sample after another; returns the
// position it stopped at (share.end + 1 when the share is done). The gradient buffer is reused:
// every step overwrites all of it before reading it, so the result is that of a fresh buffer per
// step. Between blocks of samples of about StopCheck::kWorkPerQuestion features thread 0 asks the
// host whether to stop (only the calling thread may ask) and every thread looks at the answer; a
// stopped pass leaves its models unfinished. When the run's progress line wants an update, thread
// 0 asks the team to pause: every thread leaves the region at its next look, the calling thread
// draws the line outside it, and the pass goes on from where each thread stopped.
// The work of one sample's step, for the Ctrl-C questions: D + 1 features on full rows, about its
// nonzeros on sparse ones.
uint64_t sample_work(const core::RegressionData &rows) {
  return static_cast<uint64_t>(rows.D) + 1;
}
uint64_t sample_work(const core::SparseRows &rows) {
  return 3 * static_cast<uint64_t>(rows.nonzeros() / std::max<int32_t>(1, rows.N)) + 8;
}

// The share's passes from step `from` on (the steps counted over all passes: step q is on position
// share.start + q % length); returns the step it stopped at (passes * length when the share is
// done).
// Share u's counter is shared.passed[u]; `asks`: run by the calling thread, which asks the host.
template <typename Rows, typename Steps>
int64_t descend_from(const core::RunContext<Rows> &run, const Rows &rows, Share share, int32_t passes, int64_t from,
                     double *m, Steps &steps, PassShared &shared, int32_t u, bool asks) {
  const int64_t block =
      std::max<int64_t>(1, static_cast<int64_t>(core::StopCheck::kWorkPerQuestion / sample_work(rows)));
  const core::Progress *progress = run.stop.progress();
  std::atomic<bool> &stop = shared.stop, &pause = shared.pause;
  const int64_t length = share.empty() ? 0 : static_cast<int64_t>(share.end) - share.start + 1;
  if (length == 0) return from;  // an empty share has nothing to pass
  const int64_t total = length * passes;
  int64_t q = from;
  while (q < total) {
    {
      if (progress) shared.passed[static_cast<size_t>(u)].samples.store(q, std::memory_order_relaxed);
      if (asks) {
        // The progress line counts the samples of all threads together.
        uint64_t done = 0;
        if (progress)
          for (const PassedCount &c : shared.passed)
            done += static_cast<uint64_t>(c.samples.load(std::memory_order_relaxed));
        if (run.stop.should_stop(done))
          stop.store(true, std::memory_order_relaxed);
        else if (progress && progress->wanted())
          pause.store(true, std::memory_order_relaxed);
      }
      if (stop.load(std::memory_order_relaxed) || pause.load(std::memory_order_relaxed)) return q;
    }
    // The block's samples back to back within one pass, each step from the model the one before left
    // (on dense rows one kernel call, which carries each step's dot product into the next).
    const int64_t at = q % length;
    const int32_t count = static_cast<int32_t>(std::min(block, length - at));
    steps.pass(share.start + static_cast<int32_t>(at), count, m);
    q += count;
  }
  steps.bring_up_to_date(m);  // the share is done (a pause or a stop returned above)
  return q;
}

// The pass of pass_shares on the steps `make(u)` gives share u.
template <typename Rows, typename Steps, typename Make>
int32_t pass_with(const core::RunContext<Rows> &run, const Parameters &p, const ShareRange &range, ShareModels &models,
                  std::atomic<bool> &stop, std::vector<core::StepsOutcome> *outcomes, Make make) {
  const Rows &rows = run.rows;
  const int32_t count = range.count;
  const int32_t passes = p.passes();
  // Each share's steps, made before the team starts (nothing inside a region may allocate).
  std::vector<Steps> steps;
  steps.reserve(static_cast<size_t>(count));
  for (int32_t u = 0; u < count; ++u) {
    steps.push_back(make(u));
    steps.back().start_from(models.model(u));
  }
  // Where each thread goes on after a pause.
  std::vector<int64_t> next(static_cast<size_t>(count), 0);
  PassShared shared;
  if (run.stop.progress()) shared.passed = std::vector<PassedCount>(static_cast<size_t>(count));
  // The shares are passed by the processors free of other processes' work, thread p taking shares
  // p, p + P, ... in turn: each share's steps are the same on any thread, and a thread that shares
  // a processor with a busy job would hold the average back (a team of 2 beside one took up to 1.7
  // times as long as one thread passing both shares).
  const int32_t P = std::max(1, std::min(count, core::free_processors()));
  int32_t team_size = 0;
  for (;;) {
    shared.pause.store(false);
#pragma omp parallel num_threads(P)
    {
      const int32_t size = omp_get_num_threads();
      const int32_t me = omp_get_thread_num();
      if (me == 0) team_size = size;
      // With another team size some shares would go unprocessed.
      if (size == P) {
        for (int32_t u = me; u < count; u += P) {
          int64_t &at = next[static_cast<size_t>(u)];
          at = descend_from(run, rows, range.local(u), passes, at, models.model(u), steps[static_cast<size_t>(u)],
                            shared, u, me == 0);
          if (shared.stop.load(std::memory_order_relaxed) || shared.pause.load(std::memory_order_relaxed)) break;
        }
      }
    }
    if (team_size != P || shared.stop.load()) break;
    if (!shared.pause.load()) break;
    // The samples passed by all threads together.
    uint64_t passed = 0;
    for (int32_t u = 0; u < count; ++u) passed += static_cast<uint64_t>(next[static_cast<size_t>(u)]);
    run.stop.progress()->update(passed);
  }
  if (team_size == P) team_size = count;  // every share passed as planned
  if (shared.stop.load()) {
    stop.store(true, std::memory_order_relaxed);
    return team_size;
  }
  if (team_size == count && outcomes) {
    outcomes->assign(static_cast<size_t>(count), core::StepsOutcome());
    for (int32_t u = 0; u < count; ++u)
      (*outcomes)[static_cast<size_t>(u)] = steps[static_cast<size_t>(u)].finish(models.model(u));
  }
  return team_size;
}

}  // namespace

template <typename Rows>
int32_t pass_shares(const core::RunContext<Rows> &run, const Parameters &p, const ShareRange &range,
                    ShareModels &models, std::atomic<bool> &stop, std::vector<core::StepsOutcome> *outcomes) {
  if (!p.options || p.options->plain_steps())
    return pass_with<Rows, core::SampleSteps<Rows>>(run, p, range, models, stop, outcomes, [&](int32_t) {
      return core::SampleSteps<Rows>(run.rows, p.stepSize, p.lambda);
    });
  // Each share's own rule: the second half of the run is the second half of its own steps.
  return pass_with<Rows, core::OptionSteps<Rows>>(run, p, range, models, stop, outcomes, [&](int32_t u) {
    const Share share = range.local(u);
    const uint64_t length = share.empty() ? 0 : static_cast<uint64_t>(share.end - share.start + 1);
    return core::OptionSteps<Rows>(
        run.rows, core::StepRule(p.stepSize, p.lambda, *p.options, length * static_cast<uint64_t>(p.passes())));
  });
}

template int32_t pass_shares(const core::RunContext<core::RegressionData> &, const Parameters &, const ShareRange &,
                             ShareModels &, std::atomic<bool> &, std::vector<core::StepsOutcome> *);
template int32_t pass_shares(const core::RunContext<core::SparseRows> &, const Parameters &, const ShareRange &,
                             ShareModels &, std::atomic<bool> &, std::vector<core::StepsOutcome> *);

template <typename Rows>
core::FitResult split_average_solve(const core::RunContext<Rows> &run, const Parameters &p,
                                    SampleSource<Rows> &source) {
  core::FitResult r;
  const int32_t D = run.rows.D;
  // Dynamic adjustment is off from the sizing team on, so that the load cannot shrink it.
  const core::FixedTeamSize fixed_team_size;
  // Where fewer processors are free than the team asked for, the pass runs on those (see
  // pass_with), and T is learnt without a team whose idle worker would spin beside it.
  core::TeamOutcome team = core::sizing_team_for(run.threads, core::free_processors());
  const int32_t here = team.ok() ? team.threads : 0;
  team.threads = source.all_threads(here, team.problem);
  if (!core::team_started(r, team, run.threads)) return r;
  r.threads = team.threads;
  // Printed by the calling thread, which is thread 0 of the sizing team, once that team has ended:
  // the host is never entered from inside a region.
  if (run.verbose) {
    run.out.printf("Number of threads = %d\n", r.threads);
    source.describe(run.out);
  }
  std::exception_ptr failure;
  const bool intercept = p.options && p.options->intercept;
  const bool w0 = p.options && !p.options->w0.empty();
  std::vector<double> average;  // the models' average; with an intercept, the bias after the weights
  try {
    core::start_weights(r, D, p.options);
    average.resize(static_cast<size_t>(D) + (intercept ? 1 : 0));
  } catch (...) {
    failure = std::current_exception();
  }
  source.agree(failure);
  const int32_t N = source.total_samples();
  int32_t empty_shares = 0;
  for (int32_t t = 0; t < r.threads; ++t) empty_shares += chunk_bounds(N, r.threads, t).empty();
  const bool reported = run.report_objective(
      run.trace != nullptr, 0, [&] { return source.objective(run.rows, r.w.data(), p.lambda, run.stop, nullptr); },
      [&](double f) { run.out.printf("Initial object function = %f\n", f); });
  if (!reported) return r.stopped();
  // The pass prints nothing until it ends: what was printed so far shows now, whatever it cost.
  if (run.verbose) run.out.flush();
  std::unique_ptr<ShareModels> models;
  std::vector<core::StepsOutcome> outcomes;
  try {
    models = std::make_unique<ShareModels>(here, D);
    if (w0) models->start_from(r.w.data());
  } catch (...) {
    failure = std::current_exception();
  }
  source.agree(failure);
  std::atomic<bool> stop{false};
  const int32_t pass_team = pass_shares(run, p, source.shares(here, r.threads), *models, stop, &outcomes);
  const int32_t pass_threads = source.all_threads(pass_team, std::string());
  if (stop.load()) return r.stopped();
  if (pass_threads != r.threads)
    return r.fail(core::FitStatus::TeamFailed, "threadTeam",
                  "the pass needs a team of %d threads, as many as the first team had, but the OpenMP runtime "
                  "gave it %d; check OMP_DYNAMIC and OMP_THREAD_LIMIT.",
                  r.threads, pass_threads);
  // The bias rides in the gap after each model's D weights, and is averaged with them.
  if (intercept)
    for (int32_t u = 0; u < here; ++u) models->model(u)[D] = outcomes[static_cast<size_t>(u)].bias;
  source.average(*models, here, r.threads, static_cast<int32_t>(average.size()), average.data());
  std::copy(average.begin(), average.begin() + D, r.w.begin());
  if (intercept) r.bias = average[static_cast<size_t>(D)];
  if (p.options && p.options->average != 0)
    for (const core::StepsOutcome &o : outcomes) {
      r.average_from.push_back(static_cast<double>(o.average_from));
      r.averaged.push_back(static_cast<double>(o.averaged));
    }
  if (empty_shares > 0 && N > 0) {
    if (w0)
      r.warn("emptyShares",
             "%d of the %d shares were empty (more threads than the N = %d samples); their models are averaged "
             "in as opts.w0, which pulls the result toward it by that fraction.",
             empty_shares, r.threads, N);
    else
      r.warn("emptyShares",
             "%d of the %d shares were empty (more threads than the N = %d samples); their models are averaged "
             "in as zero weights, which shrinks the result by that fraction.",
             empty_shares, r.threads, N);
  }
  // kinkstep refuses a start beyond its run; here the shares differ in length (a start may suit
  // some and not others), so the run goes on, and says when no share reached the start.
  const int64_t start = p.options ? p.options->average : 0;
  if (start > 0 && N > 0) {
    const int32_t longest = chunk_bounds(N, r.threads, r.threads - 1).size();  // the last share
    const uint64_t steps = static_cast<uint64_t>(longest) * static_cast<uint64_t>(p.passes());
    if (static_cast<uint64_t>(start) > steps)
      r.warn("averageNotReached",
             "opts.average asks for the iterates from step %lld on, but the longest of the %d shares makes %llu "
             "steps (%d samples, %d pass%s): nothing was averaged, each model is its share's last iterate.",
             static_cast<long long>(start), r.threads, static_cast<unsigned long long>(steps), longest, p.passes(),
             p.passes() == 1 ? "" : "es");
  }
  return r;
}

template core::FitResult split_average_solve(const core::RunContext<core::RegressionData> &, const Parameters &,
                                             SampleSource<core::RegressionData> &);
template core::FitResult split_average_solve(const core::RunContext<core::SparseRows> &, const Parameters &,
                                             SampleSource<core::SparseRows> &);

}  // namespace splitavg
