#include "frame/run_record.hpp"

#include <omp.h>

#include <cstring>
#include <ctime>

#include "frame/data_input.hpp"
#include "frame/host.hpp"
#include "frame/memory_guard.hpp"

namespace frame {

namespace {

// opts.seed when given, else the calendar time in seconds truncated to 32 bits.
uint32_t call_seed(const CallOptions &options) {
  return options.has_seed ? options.seed : static_cast<uint32_t>(std::time(nullptr));
}

// A D x 1 double column holding w; null if the host could not create it.
mxArray *make_column(const std::vector<double> &w) {
  mxArray *out = host_create([&] { return mxCreateDoubleMatrix(w.size(), 1, mxREAL); });
  if (out && !w.empty()) std::memcpy(mxGetPr(out), w.data(), w.size() * sizeof(double));
  return out;
}

}  // namespace

mxArray *make_info(const core::FitResult &r, uint32_t seed, double seconds, const std::vector<double> &trace) {
  const char *names[] = {"seed", "threads", "iterations", "time", "objective"};
  mxArray *s = host_create([&] { return mxCreateStructMatrix(1, 1, 5, names); });
  if (!s) return nullptr;
  mxArray *objective = host_create([&] { return mxCreateDoubleMatrix(trace.size(), 1, mxREAL); });
  mxArray *values[5] = {r.seed_used ? mxCreateDoubleScalar(seed) : mxCreateDoubleMatrix(0, 0, mxREAL),
                        mxCreateDoubleScalar(r.threads), mxCreateDoubleScalar(r.iterations),
                        mxCreateDoubleScalar(seconds), objective};
  for (int k = 0; k < 5; ++k) {
    if (!values[k]) {
      for (mxArray *v : values)
        if (v) mxDestroyArray(v);
      mxDestroyArray(s);
      return nullptr;
    }
  }
  if (!trace.empty()) std::memcpy(mxGetPr(objective), trace.data(), trace.size() * sizeof(double));
  for (int k = 0; k < 5; ++k) mxSetField(s, 0, names[k], values[k]);
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
  run_.checked = true;
}

void RunRecord::take_seed() {
  run_.seed = call_seed(in_.options());
}

ProblemData RunRecord::build_data(bool on_team, OrderDraw draw) {
  DataPlan plan;
  plan.threads = on_team ? run_.threads : 1;
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
  run_.objective_trace = in_.outputs() >= 2 ? &objective_ : nullptr;
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
  plhs[1] = make_info(r, run_.seed, omp_get_wtime() - start_, objective_);
  if (!plhs[1]) err.set("outOfMemory", "not enough memory for the info output.");
}

}  // namespace frame
