#include "reference/tuned_pass.hpp"

#include <atomic>

namespace reference {

template <typename Rows>
int32_t pass_and_average(const core::RunContext<Rows> &run, const splitavg::Parameters &p, int32_t T,
                         core::WeightVector &w) {
  if (T < 1) return 0;
  splitavg::ShareModels models(T, run.rows.D);
  std::atomic<bool> stop{false};
  const int32_t team = splitavg::pass_shares(run, p, splitavg::ShareRange{run.rows.N, T, 0, T, 0}, models, stop);
  if (team != T || stop.load()) return team;
  splitavg::average_models([&models](int32_t t) { return models.model(t); }, T, run.rows.D, w.data());
  return team;
}

template int32_t pass_and_average(const core::RunContext<core::RegressionData> &, const splitavg::Parameters &, int32_t,
                                  core::WeightVector &);
template int32_t pass_and_average(const core::RunContext<core::SparseRows> &, const splitavg::Parameters &, int32_t,
                                  core::WeightVector &);

}  // namespace reference
