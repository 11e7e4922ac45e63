#include "driftwalk/langevin.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/data/cache_hint.hpp"
#include "core/kernels/batch.hpp"
#include "core/kernels/kernels.hpp"
#include "core/random/batch_draws.hpp"
#include "core/random/permutation.hpp"
#include "core/threads/busy.hpp"
#include "core/threads/team.hpp"
#include "driftwalk/noise.hpp"

namespace driftwalk {
namespace {

struct Range {
  int32_t first, last;  // [first, last)
};

template <typename Rows>
void batch_residuals(const Rows &rows, const double *w, const int32_t *perm, Range js, double *c) {
  core::batch_residuals(rows, w, perm, js.first, js.last, c);
}

// One iteration's draws: the permutation, of which only the batch (its first B entries, and a
// spare) is kept, then one engine seed per weight. Drawn by a team, each of its `parts` threads
// also keeps the hits of its part of the permutation's later steps (B + 1 entries a thread),
// merged into perm by the threads that use it.
struct Draws {
  std::vector<int32_t> perm;
  std::vector<uint32_t> seeds;
  std::vector<int32_t> hits;
  int32_t parts = 0;  // 0: drawn by one thread, perm complete
};

// One noise engine seed per weight: the generator's values in place, each then turned into its
// seed (int32_t and uint32_t may share storage).
void draw_seeds(core::ThreadRand &rand, std::vector<uint32_t> &seeds) {
  core::draw_values(rand, static_cast<int32_t>(seeds.size()), reinterpret_cast<int32_t *>(seeds.data()));
  for (uint32_t &s : seeds) s = noise_seed(s);
}

// With `stop` (the calling thread outside a team), the permutation asks it as it goes.
void draw(core::ThreadRand &rand, int32_t N, int32_t B, Draws &d, const core::StopCheck *stop = nullptr) {
  d.parts = 0;
  core::random_permutation_head(rand, N, B, d.perm.data(), stop);
  if (stop && stop->stopped()) return;
  draw_seeds(rand, d.seeds);
}

// How many threads of a team of T draw parts of the permutation: each part at least four times
// the batch, so that the hits it clears and the merge reads stay small against its draws (and the
// parts' memory, 8 (B + 1) bytes each, at most 2N); none (0) where fewer than two would.
int32_t drawing_parts(int32_t N, int32_t B, int32_t T) {
  const int64_t parts = std::min<int64_t>(T, (int64_t{N} - B) / (4 * (int64_t{B} + 1)));
  return parts >= 2 ? static_cast<int32_t>(parts) : 0;
}

// The same draws made by `team` threads, each thread `me` calling it once, from `start`, the
// generator's state before them (the calling thread's generator is left alone): thread 0 takes
// the permutation's first B steps and the seeds, and every thread an equal part of the steps from
// B to N into its hits (cleared first). What is kept of the permutation is complete once every
// thread has drawn and merge_batch has run.
void draw_share(uint64_t start, int32_t N, int32_t B, int32_t me, int32_t team, Draws &d) {
  int32_t *const hits = d.hits.data() + static_cast<size_t>(me) * (static_cast<size_t>(B) + 1);
  std::fill(hits, hits + B, -1);
  const int64_t later = int64_t{N} - B, each = (later + team - 1) / team;
  const int32_t first = static_cast<int32_t>(B + std::min(later, me * each));
  const int32_t last = static_cast<int32_t>(B + std::min(later, (me + 1) * each));
  core::shuffle_head_hits(core::rand_state_after(start, static_cast<uint64_t>(first)), first, last, B, hits);
  if (me != 0) return;
  d.parts = team;
  core::ThreadRand head{start};
  core::random_permutation(head, B, d.perm.data());
  core::ThreadRand after{core::rand_state_after(start, static_cast<uint64_t>(N))};
  draw_seeds(after, d.seeds);
}

// The batch entries [first, last) of a team's draws: each the last part's hit there, else the
// first B steps' entry (nothing to do where one thread drew).
void merge_batch(Draws &d, int32_t B, int32_t first, int32_t last) {
  const size_t stride = static_cast<size_t>(B) + 1;
  for (int32_t k = first; k < last; ++k) {
    int32_t v = d.perm[static_cast<size_t>(k)];
    for (int32_t u = 0; u < d.parts; ++u) {
      const int32_t hit = d.hits[static_cast<size_t>(u) * stride + static_cast<size_t>(k)];
      v = hit >= 0 ? hit : v;
    }
    d.perm[static_cast<size_t>(k)] = v;
  }
}

// Everything one iteration shares between its threads. Each share of c (samples) and each piece of
// z and w (features) is written by one thread; a block of g by every thread in turn, each after
// the one before (see the team's region); w is read in full only before the features are stepped.
template <typename Rows>
struct Iteration {
  const Rows &rows;
  const int32_t *perm;
  const uint32_t *seeds;
  int32_t B;
  double scale;  // N / B
  double lambda;
  double eps;
  double *c, *g, *z, *w;
  const core::BatchKernels *kernels;
};

// The features of the range: gradient, noise and the step, w_k <- (w_k - (eps * 0.5) * g_k) -
// noise_k with noise_k = z_k * eps + 0.0, as gaussian_noise(0.0, eps) forms it.
template <typename Rows>
void step_features(const Iteration<Rows> &it, Range ks) {
  const core::BatchKernels &kernels = *it.kernels;
  core::batch_sums(kernels, it.rows, it.perm, it.B, it.c, ks.first, ks.last, it.g);
  standard_variates(it.seeds + ks.first, ks.last - ks.first, it.z + ks.first);
  kernels.step(it.g, it.z, it.scale, it.lambda, it.eps, ks.first, ks.last, it.w);
}

// The blocks of the team's sums: at least eight vectors of eight features each (each feature's sum
// is a chain of additions of its own, so a block of a few lines would leave the processor waiting
// on one chain), and at most 64 blocks, which bounds each thread's marks.
constexpr int32_t kLeastSumBlock = 64, kMostSumBlocks = 64;

// A mark that one thread of a team has added its samples to a block of the sums, for the thread
// that goes on from there: iteration s's mark is s + 1, so marks never need resetting. Each
// thread's marks lie on cache lines of their own.
using Mark = std::atomic<int64_t>;
struct alignas(64) ThreadMarks {
  Mark block[kMostSumBlocks];
};

// Waits for a mark; a thread whose processor is shared lets the other run after a while.
void wait_for(const Mark &mark, int64_t value) {
  for (int spins = 0; mark.load(std::memory_order_acquire) < value;) {
    if (spins < 4000) {
      ++spins;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }
}

// Pieces of features of about a quarter of a thread's share, in whole cache lines, handed to
// whichever thread is free.
int32_t piece(int32_t count, int32_t T, int32_t unit) {
  const int64_t per = int64_t{4} * T * unit;
  return static_cast<int32_t>(std::max<int64_t>(1, (int64_t{count} + per - 1) / per) * unit);
}

// A share of [0, count) for each of T threads, in whole units (the last shares may be short or
// empty).
int32_t share(int32_t count, int32_t T, int32_t unit) {
  const int64_t each = (int64_t{count} + T - 1) / T;
  return static_cast<int32_t>(std::max<int64_t>(1, (each + unit - 1) / unit) * unit);
}

// The pieces of [0, count) of the given size: how many there are, and piece q.
int32_t pieces(int32_t count, int32_t size) {
  return static_cast<int32_t>((int64_t{count} + size - 1) / size);
}
Range piece_range(int32_t q, int32_t size, int32_t count) {
  const int64_t first = std::min<int64_t>(int64_t{q} * size, count);
  return {static_cast<int32_t>(first), static_cast<int32_t>(std::min<int64_t>(first + size, count))};
}

// The team of a call: one thread for a small iteration, where starting a team costs more than it
// saves, else the caller's request or the runtime's default, checked before it starts (a team
// that cannot start leaves `team.problem` set). The default is held to the processors free of
// other processes' work (the result is the same on any team, and a thread sharing a processor
// with a busy job holds its team back at every barrier). Call with a FixedTeamSize alive.
template <typename Rows>
core::TeamOutcome team_of(const core::RunContext<Rows> &run, const Parameters &p, int64_t min_parallel_work) {
  if (p.maxIter < 1 || run.threads == 1) return core::TeamOutcome{};
  if (parallel_work(run.rows.N, run.rows.D, p.batchSize) < min_parallel_work) return core::TeamOutcome{};
  // A default the process cannot start is still its error (what to lower), held back or not.
  const int32_t wanted = omp_get_max_threads();
  if (run.threads == 0 &&
      core::team_size_problem(core::team_size_granted(wanted), core::default_team_setting()).empty()) {
    const int32_t free = core::free_processors();
    if (free <= 1) return core::TeamOutcome{};
    if (free < wanted) {
      core::TeamOutcome team = core::sizing_team(free, core::default_team_setting());
      team.asked = 0;  // the default, held to the free processors: no threadsReduced to warn of
      return team;
    }
  }
  return core::sizing_team(run.threads);
}

}  // namespace

template <typename Rows>
core::FitResult langevin_solve(const core::RunContext<Rows> &run, const Parameters &p) {
  return detail::langevin_solve(run, p, kMinParallelWork);
}

// Only the batch's residuals and sums come from the layout's kernels (the permutation, the noise
// and the step touch every sample and feature whatever the layout).
template <typename Rows>
core::FitResult detail::langevin_solve(const core::RunContext<Rows> &run, const Parameters &p,
                                       int64_t min_parallel_work) {
  const Rows &rows = run.rows;
  const Rows &data = rows;
  if (p.maxIter >= 1 && (p.batchSize < 1 || p.batchSize > data.N))
    throw std::invalid_argument("driftwalk: batchSize must lie in 1..N");

  core::FitResult r;
  const core::FixedTeamSize fixed_team_size;
  const core::TeamOutcome team = team_of(run, p, min_parallel_work);
  core::start_weights(r, data.D, p.options);
  core::WeightVector &w = r.w;
  if (!core::team_started(r, team, team.asked > 0 ? run.threads : 0)) {
    r.threads = 0;
    return r;
  }
  const int32_t T = team.threads;
  r.threads = T;
  if (!run.report_initial_objective(w.data(), p.lambda)) return r.stopped();

  // Every buffer serves every iteration, and each iteration overwrites what it reads. They are
  // allocated here, so nothing inside a team can throw. With a team, the threads draw the next
  // iteration's values while this one's work goes on (the draws do not depend on the weights), so
  // the draws come in two sets used in turn.
  const bool running = p.maxIter >= 1;
  const int32_t parts = T > 1 && running ? drawing_parts(data.N, p.batchSize, T) : 0;
  const size_t kept = running ? static_cast<size_t>(p.batchSize) + 1 : 0, d = running ? static_cast<size_t>(data.D) : 0;
  Draws draws[2];
  for (int s = 0; s < (T > 1 ? 2 : 1); ++s) {
    // A large batch's permutations are hundreds of megabytes to clear: the host is asked as they are.
    if (!core::resize_asking(draws[s].perm, kept, &run.stop)) return r.stopped();
    if (!core::resize_asking(draws[s].hits, kept * static_cast<size_t>(parts), &run.stop)) return r.stopped();
    draws[s].seeds.resize(d);
  }
  std::vector<double> c(running ? static_cast<size_t>(p.batchSize) : 0), g(d), z(d);
  core::ThreadRand &rand = core::this_thread_rand();
  Iteration<Rows> it{rows, nullptr,  nullptr,  p.batchSize, 0.0,      p.lambda,
                     0.0,  c.data(), g.data(), z.data(),    w.data(), &core::kernels().batch};
  if (running) it.scale = static_cast<double>(data.N) / static_cast<double>(p.batchSize);
  const int32_t feature_piece = piece(data.D, T, 64 / sizeof(double));
  const int32_t feature_pieces = pieces(data.D, feature_piece);
  const int32_t sum_block = std::max({feature_piece, kLeastSumBlock, (data.D + kMostSumBlocks - 1) / kMostSumBlocks});
  const int32_t sum_blocks = pieces(data.D, sum_block);
  const int64_t question = static_cast<int64_t>(core::StopCheck::kWorkPerQuestion);
  const int32_t solo_sample_piece =
      static_cast<int32_t>(std::max<int64_t>(4, question / std::max<int64_t>(1, data.D) / 4 * 4));
  const int32_t solo_feature_piece =
      static_cast<int32_t>(std::max<int64_t>(8, question / std::max<int64_t>(1, p.batchSize) / 8 * 8));
  const int32_t solo_sample_pieces = running ? pieces(p.batchSize, solo_sample_piece) : 0;
  const int32_t solo_feature_pieces = running ? pieces(data.D, solo_feature_piece) : 0;
  const auto report = [&](int32_t t) {
    return run.report_objective(t + 1, w.data(), p.lambda, [&](double f) {
      // The clock is read after the objective.
      const unsigned long ticks = static_cast<unsigned long>(std::clock());
      run.out.printf("Iteration %d, clock= %lu, object function = %f\n", t, ticks, f);
    });
  };
  if (T == 1) {
    for (int32_t t = 0; t < p.maxIter; ++t) {
      // An iteration draws N + D values: asking the host each time costs nothing in comparison. The
      // permutation and the gradient ask too, as their work adds up, so that a large N or batch
      // cannot hold a press back.
      if (run.stop.should_stop(t)) return r.stopped();
      // The draws, all on the calling thread and in the defined order: the permutation, then one
      // noise seed per weight in weight order.
      draw(rand, data.N, p.batchSize, draws[0], &run.stop);
      if (run.stop.stopped()) return r.stopped();
      it.perm = draws[0].perm.data();
      it.seeds = draws[0].seeds.data();
      it.eps = std::pow(static_cast<double>(t) + p.stepOffset, p.stepPower) * p.stepScale;
      // In pieces of about one question's work, so that a large batch cannot hold a press back;
      // each piece is computed as the whole would be.
      for (int32_t q = 0; q < solo_sample_pieces && !run.stop.stopped(); ++q) {
        const Range js = piece_range(q, solo_sample_piece, p.batchSize);
        batch_residuals(rows, w.data(), it.perm, js, c.data());
        run.stop.poll(static_cast<uint64_t>(js.last - js.first) * static_cast<uint64_t>(data.D) + 1);
      }
      for (int32_t q = 0; q < solo_feature_pieces && !run.stop.stopped(); ++q) {
        const Range ks = piece_range(q, solo_feature_piece, data.D);
        step_features(it, ks);
        run.stop.poll(static_cast<uint64_t>(ks.last - ks.first) * static_cast<uint64_t>(p.batchSize) + 1);
      }
      if (run.stop.stopped()) return r.stopped();
      if (!report(t)) return r.stopped();
    }
    return r;
  }

  // A team: one region for a whole run of iterations, which ends only where the host is needed
  // between two iterations (an objective to report, a progress line to draw) or the run stops. A
  // region costs microseconds to start, as much as a barrier several times over: one barrier an
  // iteration, after the step, keeps the threads in step. Each thread computes the residuals of
  // its share of the batch's samples, then adds their terms to the sums block by block of
  // features, each block once the thread before it has added its own terms there (a mark says
  // so): every sum still runs over the samples in order from 0.0, and each thread reads only the
  // rows it has just read. A piece of features is stepped once the last thread has added to its
  // blocks, which also follows every thread's residuals, so w is no longer read. Every thread then
  // draws its part of the next iteration's values (they do not depend on the weights; an
  // iteration's batch is merged from the parts by the threads that use it) before it takes pieces
  // of the noise and the steps, and the calling thread asks the host (its stop check); what it
  // finds, stop or pause, is seen by all after the barrier that ends the iteration. Each
  // iteration's finding has a slot of its own (by parity): thread 0 may write the next one before
  // a slower thread has read this one.
  std::vector<ThreadMarks> summed(static_cast<size_t>(T));
  if (p.maxIter >= 1 && run.stop.should_stop(0)) return r.stopped();
  if (p.maxIter >= 1) draw(rand, data.N, p.batchSize, draws[0], &run.stop);
  if (run.stop.stopped()) return r.stopped();
  const core::Progress *progress = run.stop.progress();
  // Drawn by `parts` threads of the team, each from the generator's state before the draws, which
  // it steps on itself; else by the calling thread alone, as are a test's scripted values, which
  // must come one after another from its generator.
  const bool shared_draws = parts >= 2 && !core::draws_scripted(rand);
  const uint64_t draws_per_iteration = static_cast<uint64_t>(data.N) + static_cast<uint64_t>(data.D);
  int32_t t = 0;
  while (t < p.maxIter) {
    // The last iteration of this region: the first after which an objective is wanted.
    int32_t last = t;
    while (last + 1 < p.maxIter && !run.wants_objective(last + 1)) ++last;
    bool stop[2] = {false, false}, pause[2] = {false, false};
    int32_t done = t;
    const uint64_t region_start = rand.state;  // before the draws of iteration t + 1
#pragma omp parallel num_threads(T)
    {
      uint64_t next_draws = region_start;
      Iteration<Rows> mine = it;
      const int32_t team = omp_get_num_threads(), me = omp_get_thread_num();
      const Range js = piece_range(me, share(p.batchSize, team, 4), p.batchSize);
      Mark *const summed_here = summed[static_cast<size_t>(me)].block;
      const Mark *const summed_before = me > 0 ? summed[static_cast<size_t>(me - 1)].block : nullptr;
      const Mark *const summed_by_last = summed[static_cast<size_t>(team - 1)].block;
      for (int32_t s = t; s <= last; ++s) {
        Draws &now = draws[s % 2];
        merge_batch(now, p.batchSize, js.first, js.last);
        mine.perm = now.perm.data();
        mine.seeds = now.seeds.data();
        mine.eps = std::pow(static_cast<double>(s) + p.stepOffset, p.stepPower) * p.stepScale;
        const int64_t mark = int64_t{s} + 1;
        // Who computes a residual or a step changes nothing in it.
        batch_residuals(rows, w.data(), mine.perm, js, c.data());
        for (int32_t q = 0; q < sum_blocks; ++q) {
          if (summed_before) wait_for(summed_before[q], mark);
          const Range ks = piece_range(q, sum_block, data.D);
          core::fetch_lines_for_write(g.data() + ks.first, g.data() + ks.last);
          core::batch_sums(*mine.kernels, rows, mine.perm + js.first, js.last - js.first, c.data() + js.first, ks.first,
                           ks.last, g.data(), me > 0);
          summed_here[q].store(mark, std::memory_order_release);
        }
        if (s + 1 < p.maxIter && shared_draws) {
          const int32_t drawing = std::min(parts, team);
          if (me < drawing) draw_share(next_draws, data.N, p.batchSize, me, drawing, draws[(s + 1) % 2]);
          next_draws = core::rand_state_after(next_draws, draws_per_iteration);
          if (me == 0) {
            rand.state = next_draws;  // read again only after the region
            core::count_draws(rand, draws_per_iteration);
          }
        }
        if (me == 0) {
          if (s + 1 < p.maxIter && !shared_draws) draw(rand, data.N, p.batchSize, draws[(s + 1) % 2]);
          done = s + 1;
          // Asked here, inside the region: only noted for the progress line, drawn outside.
          const bool stops =
              run.stop.poll(2 * static_cast<uint64_t>(p.batchSize) * static_cast<uint64_t>(data.D) / T + 1) ||
              (s + 1 <= last && run.stop.should_stop(s + 1));
          stop[s % 2] = stops;
          pause[s % 2] = !stops && progress && progress->wanted();
        }
#pragma omp for schedule(dynamic, 1)
        for (int32_t q = 0; q < feature_pieces; ++q) {
          const Range ks = piece_range(q, feature_piece, data.D);
          core::fetch_lines(mine.seeds + ks.first, mine.seeds + ks.last);
          core::fetch_lines(mine.z + ks.first, mine.z + ks.last);
          core::fetch_lines(mine.w + ks.first, mine.w + ks.last);
          standard_variates(mine.seeds + ks.first, ks.last - ks.first, mine.z + ks.first);
          wait_for(summed_by_last[(ks.last - 1) / sum_block], mark);  // the blocks before are summed too
          mine.kernels->step(mine.g, mine.z, mine.scale, mine.lambda, mine.eps, ks.first, ks.last, mine.w);
        }
        // (The loop's end waits for every thread: w is stepped, and this iteration's stop and pause
        // are seen.)
        if (stop[s % 2] || pause[s % 2]) break;
      }
    }
    // The last iteration's findings.
    if (stop[(done - 1) % 2]) return r.stopped();
    const bool paused = pause[(done - 1) % 2];
    t = done;
    if (paused) {
      run.stop.progress()->update(static_cast<uint64_t>(t));
      if (t < p.maxIter && run.stop.should_stop(t)) return r.stopped();
      if (!run.wants_objective(t)) continue;
    }
    if (!report(t - 1)) return r.stopped();
    if (t < p.maxIter && run.stop.should_stop(t)) return r.stopped();
  }
  return r;
}

template core::FitResult langevin_solve(const core::RunContext<core::RegressionData> &, const Parameters &);
template core::FitResult langevin_solve(const core::RunContext<core::SparseRows> &, const Parameters &);
template core::FitResult detail::langevin_solve(const core::RunContext<core::RegressionData> &, const Parameters &,
                                                int64_t);
template core::FitResult detail::langevin_solve(const core::RunContext<core::SparseRows> &, const Parameters &,
                                                int64_t);

}  // namespace driftwalk
