#include "reference/option_loops.hpp"

#include <mpfr.h>

#include <algorithm>
#include <cmath>

#include "core/random/thread_rand.hpp"
#include "core/threads/shares.hpp"
#include "reference/direct.hpp"
#include "reference/plain_loops.hpp"

namespace reference {

// 2^-1074 .. 2^1024 and 64 bits of count: every sum of doubles is exact at this precision.
struct MpfrSum::Value {
  mpfr_t x;
};

MpfrSum::MpfrSum() : v_(new Value) {
  mpfr_init2(v_->x, 2300);
  mpfr_set_zero(v_->x, 1);
}
MpfrSum::~MpfrSum() {
  mpfr_clear(v_->x);
  delete v_;
}
MpfrSum::MpfrSum(const MpfrSum &other) : v_(new Value) {
  mpfr_init2(v_->x, 2300);
  mpfr_set(v_->x, other.v_->x, MPFR_RNDN);
}
void MpfrSum::add(double x) {
  mpfr_add_d(v_->x, v_->x, x, MPFR_RNDN);
}
double MpfrSum::value() const {
  const double d = mpfr_get_d(v_->x, MPFR_RNDN);
  return d == 0 ? 0.0 : d;  // an exact zero sum is +0
}
double MpfrSum::mean(uint64_t count) const {
  // The quotient rounded to 53 bits, then into the doubles' exponent range (subnormals included)
  // without rounding twice, as MPFR's manual shows.
  mpfr_t q;
  mpfr_init2(q, 53);
  int inexact = mpfr_div_ui(q, v_->x, static_cast<unsigned long>(count), MPFR_RNDN);
  const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
  mpfr_set_emin(-1073);
  mpfr_set_emax(1024);
  inexact = mpfr_check_range(q, inexact, MPFR_RNDN);
  mpfr_subnormalize(q, inexact, MPFR_RNDN);
  const double d = mpfr_get_d(q, MPFR_RNDN);
  mpfr_set_emin(emin);
  mpfr_set_emax(emax);
  mpfr_clear(q);
  return d;
}

namespace {

double dot(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  return s;
}

// One model and its bias, stepped and averaged as the options say.
struct Model {
  std::vector<double> w;
  double b = 0.0;
  std::vector<MpfrSum> sums;
  MpfrSum bias_sum;
  uint64_t from = 0, count = 0, t = 0;
  double u = 0.0;         // the cumulative penalty so far
  std::vector<double> q;  // and what each weight has taken

  Model(int32_t D, const Options &o, uint64_t steps) : w(static_cast<size_t>(D), 0.0), q(w.size(), 0.0) {
    for (size_t j = 0; j < w.size() && !o.w0.empty(); ++j) w[j] = o.w0[j] + 0.0;
    from = o.average == 0 ? 0 : o.average < 0 ? steps / 2 + 1 : static_cast<uint64_t>(o.average);
    if (from) sums.resize(w.size());
  }
  // The cumulative penalty's clip of the weights the sample x holds, after the data step.
  void clip(const double *x, double a) {
    u = u + a;
    for (size_t j = 0; j < w.size(); ++j) {
      if (x[j] == 0) continue;
      const double z = w[j];
      if (z > 0) w[j] = std::max(0.0, z - (u + q[j]));
      if (z < 0) w[j] = std::min(0.0, z + (u - q[j]));
      q[j] = q[j] + (w[j] - z);
    }
  }
  // The iterate after a step, averaged from step `from` on.
  void stepped() {
    ++t;
    if (from == 0 || t < from) return;
    for (size_t j = 0; j < w.size(); ++j) sums[j].add(w[j]);
    bias_sum.add(b);
    ++count;
  }
  Fit result() const {
    Fit f{w, b, count};
    if (count == 0) return f;
    for (size_t j = 0; j < w.size(); ++j) f.w[j] = sums[j].mean(count);
    f.b = bias_sum.mean(count);
    return f;
  }
};

// The step on sample (x, y) from w and b into out and *b_out.
void step_into(const double *x, double y, const std::vector<double> &w, double b, double step, double lambda,
               const Options &o, std::vector<double> &out, double *b_out) {
  const int32_t D = static_cast<int32_t>(w.size());
  double c = dot(x, w.data(), D);
  if (o.intercept) c = c + b;
  c = c - y;
  const double a = step * lambda;
  for (size_t j = 0; j < w.size(); ++j) {
    const double cx = c * x[j];
    if (o.prox) {
      const double v = w[j] - step * cx;
      out[j] = std::fabs(v) <= a ? 0.0 : (v > 0 ? v - a : v + a);
    } else if (o.cumulative) {
      out[j] = w[j] - step * cx;  // the clip follows (Model::clip)
    } else {
      const double g = w[j] > 0 ? cx + lambda : w[j] < 0 ? cx - lambda : cx;
      out[j] = w[j] - step * g;
    }
  }
  *b_out = o.intercept ? b - step * c : b;
}

}  // namespace

Fit kinkstep_sequential(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter,
                        const Options &o) {
  Model m(data.D, o, maxIter > 0 ? static_cast<uint64_t>(maxIter) : 0);
  std::vector<double> next(m.w.size());
  for (int32_t k = 0; k < maxIter; ++k) {
    const int32_t i = core::thread_rand() % data.N;
    step_into(data.row(i), data.labels[static_cast<size_t>(i)], m.w, m.b, stepSize, lambda, o, next, &m.b);
    m.w = next;
    if (o.cumulative) m.clip(data.row(i), stepSize * lambda);
    m.stepped();
  }
  return m.result();
}

Fit kinkstep_parallel(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter, int32_t T,
                      const Options &o) {
  Model m(data.D, o, maxIter > 0 ? static_cast<uint64_t>(maxIter) : 0);
  const size_t D = m.w.size();
  std::vector<std::vector<double>> candidate(static_cast<size_t>(T), std::vector<double>(D));
  std::vector<double> candidate_b(static_cast<size_t>(T));
  for (int32_t k = 0; k < maxIter; ++k) {
    for (int32_t t = 0; t < T; ++t) {
      core::seed_thread_rand(static_cast<uint32_t>(k) + static_cast<uint32_t>(t));
      const int32_t i = core::thread_rand() % data.N;
      step_into(data.row(i), data.labels[static_cast<size_t>(i)], m.w, m.b, stepSize, lambda, o,
                candidate[static_cast<size_t>(t)], &candidate_b[static_cast<size_t>(t)]);
    }
    for (size_t j = 0; j < D; ++j) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidate[static_cast<size_t>(t)][j];
      m.w[j] = s / static_cast<double>(T);
    }
    if (o.intercept) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidate_b[static_cast<size_t>(t)];
      m.b = s / static_cast<double>(T);
    }
    m.stepped();
  }
  return m.result();
}

Fit splitavg(const core::RegressionData &data, double stepSize, double lambda, int32_t T, const Options &o) {
  const int32_t N = data.N;
  const size_t D = static_cast<size_t>(data.D);
  std::vector<int32_t> p(static_cast<size_t>(N));
  random_permutation(N, p.data());
  std::vector<Fit> share_fit;
  for (int32_t t = 0; t < T; ++t) {
    const core::Share share = core::chunk_bounds(N, T, t);
    const uint64_t length = share.empty() ? 0 : static_cast<uint64_t>(share.end - share.start + 1);
    Model m(data.D, o, length * static_cast<uint64_t>(o.passes));
    std::vector<double> next(D);
    for (int32_t pass = 0; pass < o.passes; ++pass)
      for (int32_t k = share.start; k <= share.end && !share.empty(); ++k) {
        const int32_t i = p[static_cast<size_t>(k)];  // position k holds the sample at p[k]
        step_into(data.row(i), data.labels[static_cast<size_t>(i)], m.w, m.b, stepSize, lambda, o, next, &m.b);
        m.w = next;
        if (o.cumulative) m.clip(data.row(i), stepSize * lambda);
        m.stepped();
      }
    share_fit.push_back(m.result());
  }
  Fit f{std::vector<double>(D), 0.0, 0};
  for (size_t j = 0; j < D; ++j) {
    double s = 0.0;
    for (int32_t t = 0; t < T; ++t) s = s + share_fit[static_cast<size_t>(t)].w[j];
    f.w[j] = s / static_cast<double>(T);
  }
  if (o.intercept) {
    double s = 0.0;
    for (int32_t t = 0; t < T; ++t) s = s + share_fit[static_cast<size_t>(t)].b;
    f.b = s / static_cast<double>(T);
  }
  return f;
}

std::vector<double> driftwalk(const core::RegressionData &data, double stepScale, double stepOffset, double stepPower,
                              double lambda, int32_t batchSize, int32_t maxIter, const Options &o) {
  std::vector<double> w(static_cast<size_t>(data.D), 0.0), g(w.size());
  for (size_t j = 0; j < w.size() && !o.w0.empty(); ++j) w[j] = o.w0[j] + 0.0;
  std::vector<int32_t> perm(static_cast<size_t>(data.N));
  for (int32_t t = 0; t < maxIter; ++t) {
    random_permutation(data.N, perm.data());
    minibatch_gradient(data, w.data(), perm.data(), batchSize, lambda, g.data());
    const double eps = std::pow(static_cast<double>(t) + stepOffset, stepPower) * stepScale;
    for (size_t k = 0; k < w.size(); ++k) w[k] = (w[k] - (eps * 0.5) * g[k]) - gaussian_noise(0.0, eps);
  }
  return w;
}

}  // namespace reference
