#include "frame/run_record.hpp"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "core/threads/busy.hpp"
#include "frame/data_input.hpp"
#include "frame/host.hpp"
#include "frame/memory_guard.hpp"

namespace frame {

namespace {

// The seed of a call without opts.seed: the first such call of the module in this process takes a
// base from the clock in nanoseconds and the process id, mixed (splitmix64's finaliser), and call k
// takes base + k * 0x9E3779B9 (mod 2^32): an odd step, so the module's calls in one process never
// share a seed until 2^32 of them were made. Each is reported as info.seed, which replays it. A
// copy of the process made by fork has the base and the count of the process it copies, and its
// calls would repeat those of the other copies: it takes a base of its own at its first such call.
uint32_t distinct_seed() {
  static std::mutex taking;
  static pid_t base_pid = 0;
  static uint64_t base = 0;
  static uint32_t calls = 0;
  const std::lock_guard<std::mutex> lock(taking);
  const pid_t pid = getpid();
  if (pid != base_pid) {
    uint64_t z = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    z ^= static_cast<uint64_t>(pid) << 32;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    base = z ^ (z >> 31);
    base_pid = pid;
    calls = 0;
  }
  return static_cast<uint32_t>(base >> 32) + calls++ * 0x9E3779B9u;
}

uint32_t call_seed(const CallOptions &options) {
  return options.has_seed ? options.seed : distinct_seed();
}

// A column holding values[0 .. n - 1]; null if the host could not create it.
mxArray *make_column(const double *values, size_t n) {
  mxArray *out = host_create([&] { return mxCreateDoubleMatrix(n, 1, mxREAL); });
  if (out && n > 0) std::memcpy(mxGetPr(out), values, n * sizeof(double));
  return out;
}
template <typename Vector>
mxArray *make_column(const Vector &v) {
  return make_column(v.data(), v.size());
}

}  // namespace

mxArray *make_info(const core::FitResult &r, uint32_t seed, double seconds, const core::ObjectiveTrace &trace,
                   bool intercept) {
  std::vector<const char *> names = {"seed", "threads", "iterations", "time", "objective", "history_iterations"};
  if (intercept) names.push_back("intercept");
  if (!r.averaged.empty()) {
    names.push_back("average_from");
    names.push_back("averaged");
  }
  const int fields = static_cast<int>(names.size());
  mxArray *s = host_create([&] { return mxCreateStructMatrix(1, 1, fields, names.data()); });
  if (!s) return nullptr;
  std::vector<mxArray *> values(names.size(), nullptr);
  values[0] = r.seed_used ? mxCreateDoubleScalar(seed) : mxCreateDoubleMatrix(0, 0, mxREAL);
  values[1] = mxCreateDoubleScalar(r.threads);
  values[2] = mxCreateDoubleScalar(r.iterations);
  values[3] = mxCreateDoubleScalar(seconds);
  values[4] = make_column(trace.values);
  values[5] = make_column(trace.iterations);
  size_t k = 6;
  if (intercept) values[k++] = mxCreateDoubleScalar(r.bias);
  if (!r.averaged.empty()) {
    values[k++] = make_column(r.average_from);
    values[k++] = make_column(r.averaged);
  }
  for (mxArray *v : values) {
    if (v) continue;
    for (mxArray *made : values)
      if (made) mxDestroyArray(made);
    mxDestroyArray(s);
    return nullptr;
  }
  for (size_t f = 0; f < names.size(); ++f) mxSetField(s, 0, names[f], values[f]);
  return s;
}

bool refused(const core::FitResult &check, CallError &err) {
  if (check.done()) return false;
  err.set(check.error.reason, "%s", check.error.message);
  return true;
}

RunRecord::RunRecord(const CallInputs &in, HostOutput &host, bool verbose) : in_(in) {
  run_.verbose = verbose;
  run_.out = host.printer();
  run_.stop = host_stop_check();
  run_.threads = in.options().threads;
  run_.options = in.options().fit;
  run_.checked = true;
}

void RunRecord::take_seed() {
  run_.seed = call_seed(in_.options());
}

ProblemData RunRecord::build_data(Conversion by, OrderDraw draw) {
  DataPlan plan;
  plan.threads = by == Conversion::kCallingThread ? 1 : run_.threads;
  // (The default size is held there by the conversion itself: a sparse X's, and full rows' where
  // the memory lies on one node.)
  if (by == Conversion::kFreeProcessors && plan.threads > 1)
    plan.threads = std::min(plan.threads, core::free_processors());
  std::vector<int32_t> order;
  const bool drawn = draw && !in_.shape().sparse;
  if (drawn) {
    take_seed();
    order = draw(in_.shape().N, run_.seed, run_.stop);
    if (run_.stop.stopped()) return ProblemData{};
    plan.order = order.data();
  }
  ProblemData data = frame::build_data(in_.X(), in_.y(), in_.shape(), run_.stop, plan);
  run_.in_drawn_order = drawn;
  start_ = omp_get_wtime();
  if (!drawn) take_seed();
  trace_.every = in_.options().fit.history;
  run_.trace = in_.outputs() >= 2 ? &trace_ : nullptr;
  run_.progress = host_progress(in_.options().progress);
  return data;
}

void RunRecord::finish(mxArray *plhs[], const core::FitResult &r, CallError &err) {
  for (int k = 0; k < r.warning_count; ++k) err.warn(r.warnings[k].reason, "%s", r.warnings[k].message);
  if (r.status == core::FitStatus::Stopped) return answer_interrupt(err);
  if (!r.done()) return err.set(r.error.reason, "%s", r.error.message);
  plhs[0] = make_column(r.w);
  if (!plhs[0]) return err.set("outOfMemory", "not enough memory for the %zu x 1 output.", r.w.size());
  if (in_.outputs() < 2 || err.raised()) return;
  plhs[1] = make_info(r, run_.seed, omp_get_wtime() - start_, trace_, run_.options.intercept);
  if (!plhs[1]) err.set("outOfMemory", "not enough memory for the info output.");
}

}  // namespace frame
