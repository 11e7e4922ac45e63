#include "core/kernels/step_kernels.hpp"

#include <cstring>

#include "core/data/cache_hint.hpp"

namespace core {
namespace {

// Rows of a pass asked into the cache this many rows before they are stepped on.
constexpr int32_t kPassRowsAhead = 2;

// Every cache line the row touches, the last one too when the row starts late in its first line.
inline void fetch_row(const double *row, int32_t D) {
  if (!row || D <= 0) return;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(row + D) - 1;
  for (std::uintptr_t line = reinterpret_cast<std::uintptr_t>(row) & ~std::uintptr_t{63}; line <= last; line += 64)
    core::fetch_line(reinterpret_cast<const void *>(line));
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

// Blocks of B features, B a power of two; B = 1 is the scalar form. A row's features go in blocks
// of W, then the rest in one block each of W/2, W/4, ..., 1 as its size needs: full-width loads and
// stores only, no partial vector assembled in memory (whose load would wait for the stores).
template <int B>
__attribute__((always_inline)) inline void dot_block(const double *x, const double *w, double &s) {
  if constexpr (B == 1) {
    s = s + x[0] * w[0];
  } else {
    typename Lanes<B>::type xv, wv;
    load(xv, x);
    load(wv, w);
    const typename Lanes<B>::type prod = xv * wv;
    for (int k = 0; k < B; ++k) s = s + prod[k];
  }
}

template <int B>
__attribute__((always_inline)) inline void update_block(const double *x, const double *w, double *out, double c,
                                                        double stepSize, double lambda) {
  if constexpr (B == 1) {
    out[0] = updated_weight(x[0], c, w[0], stepSize, lambda);
  } else {
    using V = typename Lanes<B>::type;
    V cv, sv, lv, v;
    splat(cv, c);
    splat(sv, stepSize);
    splat(lv, lambda);
    updated_lanes(v, x, w, cv, sv, lv);
    std::memcpy(out, &v, sizeof v);
  }
}

template <int B>
__attribute__((always_inline)) inline void update_dot_block(const double *x, double *w, double c, double stepSize,
                                                            double lambda, const double *next, double &s) {
  if constexpr (B == 1) {
    const double v = updated_weight(x[0], c, w[0], stepSize, lambda);
    w[0] = v;
    s = s + next[0] * v;
  } else {
    using V = typename Lanes<B>::type;
    V cv, sv, lv, v, nv;
    splat(cv, c);
    splat(sv, stepSize);
    splat(lv, lambda);
    updated_lanes(v, x, w, cv, sv, lv);
    std::memcpy(w, &v, sizeof v);
    load(nv, next);
    const V prod = nv * v;
    for (int k = 0; k < B; ++k) s = s + prod[k];
  }
}

// The features from j on, fewer than 2B of them.
template <int B>
__attribute__((always_inline)) inline void dot_rest(const double *x, const double *w, int32_t D, int32_t j, double &s) {
  if constexpr (B >= 1) {
    if (D - j >= B) {
      dot_block<B>(x + j, w + j, s);
      j += B;
    }
    dot_rest<B / 2>(x, w, D, j, s);
  }
}

template <int B>
__attribute__((always_inline)) inline void update_rest(const double *x, const double *w, double *out, int32_t D,
                                                       int32_t j, double c, double stepSize, double lambda) {
  if constexpr (B >= 1) {
    if (D - j >= B) {
      update_block<B>(x + j, w + j, out + j, c, stepSize, lambda);
      j += B;
    }
    update_rest<B / 2>(x, w, out, D, j, c, stepSize, lambda);
  }
}

template <int B>
__attribute__((always_inline)) inline void update_dot_rest(const double *x, double *w, int32_t D, int32_t j, double c,
                                                           double stepSize, double lambda, const double *next,
                                                           double &s) {
  if constexpr (B >= 1) {
    if (D - j >= B) {
      update_dot_block<B>(x + j, w + j, c, stepSize, lambda, next + j, s);
      j += B;
    }
    update_dot_rest<B / 2>(x, w, D, j, c, stepSize, lambda, next, s);
  }
}

template <int W>
__attribute__((always_inline)) inline double dot_lanes(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  int32_t j = 0;
  for (; j + W <= D; j += W) dot_block<W>(x + j, w + j, s);
  dot_rest<W / 2>(x, w, D, j, s);
  return s;
}

template <int W>
__attribute__((always_inline)) inline void step_lanes(const double *x, double c, const double *w, double *out,
                                                      int32_t D, double stepSize, double lambda) {
  int32_t j = 0;
  for (; j + W <= D; j += W) update_block<W>(x + j, w + j, out + j, c, stepSize, lambda);
  update_rest<W / 2>(x, w, out, D, j, c, stepSize, lambda);
}

template <int W>
__attribute__((always_inline)) inline double step_then_dot_lanes(const double *x, double c, double *w, int32_t D,
                                                                 double stepSize, double lambda, const double *next,
                                                                 const double *ahead) {
  fetch_row(ahead, D);
  double s = 0.0;
  int32_t j = 0;
  for (; j + W <= D; j += W) update_dot_block<W>(x + j, w + j, c, stepSize, lambda, next + j, s);
  update_dot_rest<W / 2>(x, w, D, j, c, stepSize, lambda, next, s);
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
__attribute__((target("avx512f"))) void step_avx512(const double *x, double c, const double *w, double *out, int32_t D,
                                                    double stepSize, double lambda) {
  step_lanes<8>(x, c, w, out, D, stepSize, lambda);
}
__attribute__((target("avx512f"))) double step_then_dot_avx512(const double *x, double c, double *w, int32_t D,
                                                               double stepSize, double lambda, const double *next,
                                                               const double *ahead) {
  return step_then_dot_lanes<8>(x, c, w, D, stepSize, lambda, next, ahead);
}

__attribute__((target("avx512f,avx512vl"))) double dot_avx512vl(const double *x, const double *w, int32_t D) {
  return dot_lanes<4>(x, w, D);
}
__attribute__((target("avx512f,avx512vl"))) void step_avx512vl(const double *x, double c, const double *w, double *out,
                                                               int32_t D, double stepSize, double lambda) {
  step_lanes<4>(x, c, w, out, D, stepSize, lambda);
}
__attribute__((target("avx512f,avx512vl"))) double step_then_dot_avx512vl(const double *x, double c, double *w,
                                                                          int32_t D, double stepSize, double lambda,
                                                                          const double *next, const double *ahead) {
  return step_then_dot_lanes<4>(x, c, w, D, stepSize, lambda, next, ahead);
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

}  // namespace

StepKernels step_kernels_for(InstructionSet s) {
  const StepKernels generic{"generic", dot_generic, step_generic, step_then_dot_generic,
                            pass_with<dot_generic, step_generic, step_then_dot_generic>};
#if defined(__x86_64__) && defined(__GNUC__)
  switch (s) {
    case InstructionSet::kAvx2:
      return {"avx2", dot_avx2, step_avx2, step_then_dot_avx2, pass_with<dot_avx2, step_avx2, step_then_dot_avx2>};
    case InstructionSet::kAvx512f:
      return {"avx512f", dot_avx512, step_avx512, step_then_dot_avx512,
              pass_with<dot_avx512, step_avx512, step_then_dot_avx512>};
    case InstructionSet::kAvx512vl:
      // 4 lanes in AVX-512 encoding: on a processor that makes 512-bit operations in two halves, 8
      // lanes were 10-25 % slower (bench/stochl1_bench steps), the step being bound by the dot
      // product's additions, and taking 8 lanes apart for them costs more than 4.
      return {"avx512vl", dot_avx512vl, step_avx512vl, step_then_dot_avx512vl,
              pass_with<dot_avx512vl, step_avx512vl, step_then_dot_avx512vl>};
    default:
      break;
  }
#else
  (void)s;
#endif
  return generic;
}

}  // namespace core
