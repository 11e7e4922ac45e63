#include "core/step_kernels.hpp"

#include <cstdlib>
#include <cstring>

namespace core {
namespace {

// Rows of a pass asked into the cache this many rows before they are stepped on.
constexpr int32_t kPassRowsAhead = 2;

inline void fetch_row(const double *row, int32_t D) {
  if (!row) return;
  const char *p = reinterpret_cast<const char *>(row);
  const char *end = reinterpret_cast<const char *>(row + D);
  for (; p < end; p += 64) __builtin_prefetch(p);
}

// The scalar form of one feature's update: what every lane of every version computes. The penalty's
// sign is picked from a table, not by a branch: the signs of the weights are not predictable.
inline double updated_weight(double xj, double c, double wj, double stepSize, double lambda) {
  const double p = c * xj;
  const double choice[3] = {p, p + lambda, p - lambda};  // w_j zero (or -0.0, or NaN), positive, negative
  const double g = choice[static_cast<int>(wj > 0) | (static_cast<int>(wj < 0) << 1)];
  return wj - stepSize * g;
}

// ---- generic: one feature at a time ----

double dot_generic(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  return s;
}

void step_generic(const double *x, double c, const double *w, double *out, int32_t D, double stepSize, double lambda) {
  for (int32_t j = 0; j < D; ++j) out[j] = updated_weight(x[j], c, w[j], stepSize, lambda);
}

double step_then_dot_generic(const double *x, double c, double *w, int32_t D, double stepSize, double lambda,
                             const double *next, const double *ahead) {
  fetch_row(ahead, D);
  double s = 0.0;
  for (int32_t j = 0; j < D; ++j) {
    const double v = updated_weight(x[j], c, w[j], stepSize, lambda);
    w[j] = v;
    s = s + next[j] * v;
  }
  return s;
}

// ---- vector versions: W features per instruction, lanes extracted in order for the sum ----

#if defined(__x86_64__) && defined(__GNUC__)

template <int W>
struct Lanes {
  typedef double type __attribute__((vector_size(W * sizeof(double))));
};

// Helpers take and give vectors by reference: a vector passed by value would depend on the
// instruction set for its calling convention.
template <typename V>
__attribute__((always_inline)) inline void load(V &v, const double *p) {
  std::memcpy(&v, p, sizeof v);
}

template <typename V>
__attribute__((always_inline)) inline void splat(V &v, double a) {
  for (std::size_t k = 0; k < sizeof v / sizeof(double); ++k) v[k] = a;
}

// W features' new weights: the lanes make updated_weight's operations, the sign chosen by mask.
template <typename V>
__attribute__((always_inline)) inline void updated_lanes(V &out, const double *x, const double *w, const V &c,
                                                         const V &step, const V &lambda) {
  V zero, xv, wv;
  splat(zero, 0.0);
  load(xv, x);
  load(wv, w);
  const V p = c * xv;
  const V up = p + lambda, down = p - lambda;
  const V g = wv > zero ? up : (wv < zero ? down : p);
  out = wv - step * g;
}

template <int W>
__attribute__((always_inline)) inline double dot_lanes(const double *x, const double *w, int32_t D) {
  using V = typename Lanes<W>::type;
  double s = 0.0;
  int32_t j = 0;
  for (; j + W <= D; j += W) {
    V xv, wv;
    load(xv, x + j);
    load(wv, w + j);
    const V prod = xv * wv;
    for (int k = 0; k < W; ++k) s = s + prod[k];
  }
  if (j < D) {
    // The last features in lanes of their own; the unused lanes are never added.
    const std::size_t rest = static_cast<std::size_t>(D - j) * sizeof(double);
    V xv{}, wv{};
    std::memcpy(&xv, x + j, rest);
    std::memcpy(&wv, w + j, rest);
    const V prod = xv * wv;
    for (int k = 0; k < D - j; ++k) s = s + prod[k];
  }
  return s;
}

template <int W>
__attribute__((always_inline)) inline void step_lanes(const double *x, double c, const double *w, double *out,
                                                      int32_t D, double stepSize, double lambda) {
  using V = typename Lanes<W>::type;
  V cv, sv, lv;
  splat(cv, c);
  splat(sv, stepSize);
  splat(lv, lambda);
  int32_t j = 0;
  for (; j + W <= D; j += W) {
    V v;
    updated_lanes(v, x + j, w + j, cv, sv, lv);
    std::memcpy(out + j, &v, sizeof v);
  }
  if (j < D) {
    const std::size_t rest = static_cast<std::size_t>(D - j) * sizeof(double);
    double xs[W] = {}, ws[W] = {};
    std::memcpy(xs, x + j, rest);
    std::memcpy(ws, w + j, rest);
    V v;
    updated_lanes(v, xs, ws, cv, sv, lv);
    std::memcpy(out + j, &v, rest);
  }
}

template <int W>
__attribute__((always_inline)) inline double step_then_dot_lanes(const double *x, double c, double *w, int32_t D,
                                                                 double stepSize, double lambda, const double *next,
                                                                 const double *ahead) {
  using V = typename Lanes<W>::type;
  fetch_row(ahead, D);
  V cv, sv, lv;
  splat(cv, c);
  splat(sv, stepSize);
  splat(lv, lambda);
  double s = 0.0;
  int32_t j = 0;
  for (; j + W <= D; j += W) {
    V v;
    updated_lanes(v, x + j, w + j, cv, sv, lv);
    std::memcpy(w + j, &v, sizeof v);
    V nv;
    load(nv, next + j);
    const V prod = nv * v;
    for (int k = 0; k < W; ++k) s = s + prod[k];
  }
  if (j < D) {
    const std::size_t rest = static_cast<std::size_t>(D - j) * sizeof(double);
    double xs[W] = {}, ws[W] = {};
    std::memcpy(xs, x + j, rest);
    std::memcpy(ws, w + j, rest);
    V v, nv{};
    updated_lanes(v, xs, ws, cv, sv, lv);
    std::memcpy(w + j, &v, rest);
    std::memcpy(&nv, next + j, rest);
    const V prod = nv * v;
    for (int k = 0; k < D - j; ++k) s = s + prod[k];
  }
  return s;
}

__attribute__((target("avx2"))) double dot_avx2(const double *x, const double *w, int32_t D) {
  return dot_lanes<4>(x, w, D);
}
__attribute__((target("avx2"))) void step_avx2(const double *x, double c, const double *w, double *out, int32_t D,
                                               double stepSize, double lambda) {
  step_lanes<4>(x, c, w, out, D, stepSize, lambda);
}
__attribute__((target("avx2"))) double step_then_dot_avx2(const double *x, double c, double *w, int32_t D,
                                                          double stepSize, double lambda, const double *next,
                                                          const double *ahead) {
  return step_then_dot_lanes<4>(x, c, w, D, stepSize, lambda, next, ahead);
}
__attribute__((target("avx512f"))) double dot_avx512(const double *x, const double *w, int32_t D) {
  return dot_lanes<8>(x, w, D);
}
__attribute__((target("avx512f"))) void step_avx512(const double *x, double c, const double *w, double *out,
                                                    int32_t D, double stepSize, double lambda) {
  step_lanes<8>(x, c, w, out, D, stepSize, lambda);
}
__attribute__((target("avx512f"))) double step_then_dot_avx512(const double *x, double c, double *w, int32_t D,
                                                               double stepSize, double lambda, const double *next,
                                                               const double *ahead) {
  return step_then_dot_lanes<8>(x, c, w, D, stepSize, lambda, next, ahead);
}

#endif

// A pass: the first row's dot product alone, then each step carries the next row's. (A direct call
// per row: a version for one instruction set is not inlined into code compiled without it.)
template <double (*Dot)(const double *, const double *, int32_t),
          void (*Step)(const double *, double, const double *, double *, int32_t, double, double),
          double (*StepThenDot)(const double *, double, double *, int32_t, double, double, const double *,
                                const double *)>
void pass_with(const double *rows, const double *labels, int32_t count, double *w, int32_t D, double stepSize,
               double lambda) {
  if (count <= 0) return;
  const std::size_t d = static_cast<std::size_t>(D);
  for (int32_t r = 1; r < kPassRowsAhead && r < count; ++r) fetch_row(rows + static_cast<std::size_t>(r) * d, D);
  double s = Dot(rows, w, D);
  for (int32_t r = 0; r + 1 < count; ++r) {
    const double *x = rows + static_cast<std::size_t>(r) * d;
    const double *ahead = r + kPassRowsAhead < count ? x + kPassRowsAhead * d : nullptr;
    s = StepThenDot(x, s - labels[r], w, D, stepSize, lambda, x + d, ahead);
  }
  const int32_t last = count - 1;
  Step(rows + static_cast<std::size_t>(last) * d, s - labels[last], w, w, D, stepSize, lambda);
}

std::vector<StepKernels> detect() {
  std::vector<StepKernels> all{{"generic", dot_generic, step_generic, step_then_dot_generic,
                                pass_with<dot_generic, step_generic, step_then_dot_generic>}};
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2"))
    all.push_back({"avx2", dot_avx2, step_avx2, step_then_dot_avx2,
                   pass_with<dot_avx2, step_avx2, step_then_dot_avx2>});
  if (__builtin_cpu_supports("avx512f"))
    all.push_back({"avx512f", dot_avx512, step_avx512, step_then_dot_avx512,
                   pass_with<dot_avx512, step_avx512, step_then_dot_avx512>});
#endif
  return all;
}

}  // namespace

bool generic_kernels_forced() {
  const char *v = std::getenv("STOCHL1_GENERIC_KERNELS");
  return v && *v && std::strcmp(v, "0") != 0;
}

std::vector<StepKernels> available_step_kernels() {
  return detect();
}

const StepKernels &step_kernels() {
  static const StepKernels chosen = generic_kernels_forced() ? detect().front() : detect().back();
  return chosen;
}

}  // namespace core
