// The dispatched kernels, every table this processor runs against the generic one, bit for bit: the
// dense step (and the generic one against the step as the solvers define it: core::sample_subgradient,
// then w - stepSize * g), the conversion's tile copy, driftwalk's batch sums and step, and the noise
// source's variates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "driftwalk/noise.hpp"

namespace {

// Bits, not values: -0.0 against +0.0 and NaN against NaN must also agree.
::testing::AssertionResult same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  for (size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
      return ::testing::AssertionFailure() << "element " << k << ": " << a[k] << " against " << b[k];
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_bits(double a, double b) {
  return same_bits(std::vector<double>{a}, std::vector<double>{b});
}

// A 64-bit LCG: the same values everywhere.
struct Values {
  uint64_t s;
  double uniform() {  // in [-1, 1)
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(static_cast<int64_t>(s) >> 11) * 0x1p-52;
  }
  // Mostly ordinary values, and now and then a value that tests the rules: signed zeros, a NaN
  // weight (adds no penalty), subnormals, huge values whose products overflow, ties in rounding.
  double edgy(bool allow_nan) {
    const double u = uniform();
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    switch ((s >> 40) % 16) {
      case 0:
        return 0.0;
      case 1:
        return -0.0;
      case 2:
        return allow_nan ? std::numeric_limits<double>::quiet_NaN() : 1.0;
      case 3:
        return u * 0x1p-1060;  // subnormal
      case 4:
        return u * 0x1p+600;
      case 5:
        return 1.0 + 0x1p-52;
      default:
        return u;
    }
  }
};

std::vector<double> values(Values &v, size_t n, bool edgy, bool allow_nan = false) {
  std::vector<double> out(n);
  for (double &x : out) x = edgy ? v.edgy(allow_nan) : v.uniform();
  return out;
}

const int32_t kSizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 15, 16, 17, 31, 33, 100, 1001};

// The step as the solvers defined it before the kernels: the subgradient into a buffer, then the
// update from it.
std::vector<double> defined_step(const std::vector<double> &x, double y, std::vector<double> w, double stepSize,
                                 double lambda) {
  const int32_t D = static_cast<int32_t>(x.size());
  core::RegressionData d;
  d.N = 1;
  d.D = D;
  d.features.assign(x.begin(), x.end());
  d.labels = {y};
  std::vector<double> g(x.size());
  core::sample_subgradient(d, 0, w.data(), lambda, g.data());
  for (int32_t j = 0; j < D; ++j) w[j] = w[j] - stepSize * g[j];
  return w;
}

// One step as defined (the subgradient first, then the update), then the residual of `next` with the
// new weights: what the dense step runs must give.
double defined_step_then_residual(const core::RegressionData &data, int32_t i, double *w, double lambda, double step,
                                  int32_t next) {
  const int32_t D = data.D;
  std::vector<double> g(static_cast<size_t>(D));
  core::sample_subgradient(data, i, w, lambda, g.data());
  for (int32_t j = 0; j < D; ++j) w[j] = w[j] - step * g[static_cast<size_t>(j)];
  return next >= 0 ? core::dot_product(data.row(next), w, D) - data.label(next) : 0.0;
}

}  // namespace

TEST(StepKernels, DenseStepRunsMatchTheDefinedStep) {
  Values v{15};
  for (int32_t D : kSizes) {
    const int32_t N = 9;
    const size_t d = static_cast<size_t>(D);
    const std::vector<double> X = values(v, d * N, true), y = values(v, N, false);
    // Column-major X for make_regression_data.
    std::vector<double> Xc(X.size());
    for (int32_t i = 0; i < N; ++i)
      for (size_t j = 0; j < d; ++j) Xc[j * N + static_cast<size_t>(i)] = X[static_cast<size_t>(i) * d + j];
    const core::RegressionData data = core::make_regression_data(Xc.data(), N, D, y.data());
    const std::vector<double> w0 = values(v, d, true, true);
    std::vector<double> wd = w0, wp = w0;
    const int32_t order[] = {3, 3, 0, 8, 5, 1};
    double cd = core::residual(data, order[0], wd.data());
    for (int k = 0; k < 6; ++k) {
      const int32_t next = k + 1 < 6 ? order[k + 1] : -1, ahead = k + 2 < 6 ? order[k + 2] : -1;
      cd = core::step_then_residual(data, order[k], cd, wd.data(), 0.01, 0.3, next, ahead);
      const double cp = defined_step_then_residual(data, order[k], wp.data(), 0.01, 0.3, next);
      EXPECT_TRUE(same_bits(cd, cp)) << "D = " << D << ", step " << k;
    }
    EXPECT_TRUE(same_bits(wd, wp)) << "D = " << D;
    core::pass_samples(data, 2, 6, wd.data(), 0.02, 0.1);
    for (int32_t i = 2; i < 8; ++i) defined_step_then_residual(data, i, wp.data(), 0.02, 0.1, -1);
    EXPECT_TRUE(same_bits(wd, wp)) << "pass, D = " << D;
    core::pass_samples(data, 4, 0, wd.data(), 0.02, 0.1);
    EXPECT_TRUE(same_bits(wd, wp)) << "empty pass, D = " << D;
  }
}

TEST(Kernels, GenericFirstAndTheChosenTableIsAvailable) {
  const std::vector<core::Kernels> all = core::available_kernels();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().set, core::InstructionSet::kGeneric);
  EXPECT_STREQ(all.front().step.name, "generic");
  EXPECT_STREQ(all.front().transpose.name, "generic");
  EXPECT_STREQ(all.front().batch.name, "generic");
  bool found = false;
  for (const core::Kernels &k : all) found = found || k.set == core::kernels().set;
  EXPECT_TRUE(found);
  EXPECT_EQ(core::kernels().set, core::chosen_instruction_set());
  if (core::generic_kernels_forced()) {
    EXPECT_EQ(core::kernels().set, core::InstructionSet::kGeneric);
    EXPECT_STREQ(core::kernels().step.name, "generic");
  } else {
    EXPECT_EQ(core::kernels().set, all.back().set);  // the widest the processor runs
  }
}

// Every table's step kernels, from every table the processor runs.
std::vector<core::StepKernels> available_step_kernels() {
  std::vector<core::StepKernels> out;
  for (const core::Kernels &k : core::available_kernels()) out.push_back(k.step);
  return out;
}

TEST(StepKernels, GenericStepIsTheDefinedStep) {
  const core::StepKernels g = available_step_kernels().front();
  Values v{11};
  for (int32_t D : kSizes) {
    for (int trial = 0; trial < 20; ++trial) {
      const bool edgy = trial % 2 == 1;
      const std::vector<double> x = values(v, static_cast<size_t>(D), edgy);
      const std::vector<double> w0 = values(v, static_cast<size_t>(D), edgy, /*allow_nan=*/true);
      const double y = v.uniform(), stepSize = 0.5 + v.uniform() * 0.25, lambda = trial == 4 ? 0.0 : v.uniform();
      const std::vector<double> expected = defined_step(x, y, w0, stepSize, lambda);

      const double dot = g.dot(x.data(), w0.data(), D);
      EXPECT_TRUE(same_bits(dot, core::dot_product(x.data(), w0.data(), D))) << "D = " << D;
      const double c = dot - y;
      std::vector<double> in_place = w0, out(static_cast<size_t>(D));
      g.step(x.data(), c, in_place.data(), in_place.data(), D, stepSize, lambda);
      g.step(x.data(), c, w0.data(), out.data(), D, stepSize, lambda);
      EXPECT_TRUE(same_bits(in_place, expected)) << "D = " << D << ", trial " << trial;
      EXPECT_TRUE(same_bits(out, expected)) << "D = " << D << ", trial " << trial;
    }
  }
}

TEST(StepKernels, StepThenDotAndPassAreStepsFollowedByDots) {
  const core::StepKernels g = available_step_kernels().front();
  Values v{12};
  for (int32_t D : kSizes) {
    const size_t d = static_cast<size_t>(D);
    const int32_t count = 7;
    const std::vector<double> rows = values(v, d * count, true), labels = values(v, count, false);
    const std::vector<double> w0 = values(v, d, true, true);
    const double stepSize = 0.3, lambda = 0.01;

    std::vector<double> w = w0;
    for (int32_t r = 0; r < count; ++r) {
      std::vector<double> x(rows.begin() + static_cast<std::ptrdiff_t>(r * d),
                            rows.begin() + static_cast<std::ptrdiff_t>((r + 1) * d));
      w = defined_step(x, labels[static_cast<size_t>(r)], w, stepSize, lambda);
    }
    std::vector<double> passed = w0;
    g.pass(rows.data(), labels.data(), count, passed.data(), D, stepSize, lambda);
    EXPECT_TRUE(same_bits(passed, w)) << "D = " << D;

    // The dot product carried by the step is the one taken after it.
    std::vector<double> stepped = w0, plain = w0;
    const double c = g.dot(rows.data(), w0.data(), D) - labels[0];
    const double carried =
        g.step_then_dot(rows.data(), c, stepped.data(), D, stepSize, lambda, rows.data() + d, rows.data());
    g.step(rows.data(), c, plain.data(), plain.data(), D, stepSize, lambda);
    EXPECT_TRUE(same_bits(stepped, plain)) << "D = " << D;
    EXPECT_TRUE(same_bits(carried, g.dot(rows.data() + d, plain.data(), D))) << "D = " << D;
  }
}

TEST(StepKernels, EveryVersionGivesTheGenericBits) {
  const std::vector<core::StepKernels> all = available_step_kernels();
  const core::StepKernels &g = all.front();
  if (all.size() == 1) GTEST_SKIP() << "only the generic version runs on this processor";
  Values v{13};
  for (size_t k = 1; k < all.size(); ++k) {
    const core::StepKernels &f = all[k];
    SCOPED_TRACE(f.name);
    for (int32_t D : kSizes) {
      const size_t d = static_cast<size_t>(D);
      for (int trial = 0; trial < 40; ++trial) {
        const bool edgy = trial % 2 == 1;
        const int32_t count = 5;
        const std::vector<double> rows = values(v, d * count, edgy), labels = values(v, count, false);
        const std::vector<double> w0 = values(v, d, edgy, /*allow_nan=*/trial % 4 == 3);
        const double stepSize = trial == 6 ? 0.0 : 0.5 + v.uniform() * 0.25;
        const double lambda = trial == 8 ? 0.0 : edgy ? v.edgy(false) : v.uniform();
        const double c = g.dot(rows.data(), w0.data(), D) - labels[0];
        EXPECT_TRUE(same_bits(f.dot(rows.data(), w0.data(), D), g.dot(rows.data(), w0.data(), D)));

        std::vector<double> a(d), b(d);
        g.step(rows.data(), c, w0.data(), a.data(), D, stepSize, lambda);
        f.step(rows.data(), c, w0.data(), b.data(), D, stepSize, lambda);
        EXPECT_TRUE(same_bits(a, b)) << "step, D = " << D << ", trial " << trial;

        std::vector<double> ga = w0, fa = w0;
        const double gs = g.step_then_dot(rows.data(), c, ga.data(), D, stepSize, lambda, rows.data() + d, nullptr);
        const double fs =
            f.step_then_dot(rows.data(), c, fa.data(), D, stepSize, lambda, rows.data() + d, rows.data() + 2 * d);
        EXPECT_TRUE(same_bits(ga, fa)) << "step_then_dot, D = " << D << ", trial " << trial;
        EXPECT_TRUE(same_bits(gs, fs)) << "step_then_dot's sum, D = " << D << ", trial " << trial;

        std::vector<double> gp = w0, fp = w0;
        g.pass(rows.data(), labels.data(), count, gp.data(), D, stepSize, lambda);
        f.pass(rows.data(), labels.data(), count, fp.data(), D, stepSize, lambda);
        EXPECT_TRUE(same_bits(gp, fp)) << "pass, D = " << D << ", trial " << trial;
      }
    }
  }
}

TEST(StepKernels, RowsAtAnyAlignmentAndAnEmptyPass) {
  // Rows of odd D lie at every 8-byte offset within a cache line; the vector loads must not care.
  const std::vector<core::StepKernels> all = available_step_kernels();
  Values v{14};
  const int32_t D = 13, count = 16;
  std::vector<double> rows = values(v, static_cast<size_t>(D) * count + 1, false), labels = values(v, count, false);
  std::vector<double> reference;
  for (const core::StepKernels &f : all) {
    SCOPED_TRACE(f.name);
    std::vector<double> w(static_cast<size_t>(D), 0.0);
    f.pass(rows.data() + 1, labels.data(), count, w.data(), D, 0.1, 0.01);
    if (reference.empty()) reference = w;
    EXPECT_TRUE(same_bits(w, reference));
    const std::vector<double> before = w;
    f.pass(rows.data(), labels.data(), 0, w.data(), D, 0.1, 0.01);
    EXPECT_TRUE(same_bits(w, before));
  }
}

// The conversion's tile copy: every version writes X's values into the right rows to the bit
// (ragged tiles of every size below and above the 4 x 4 blocks, rows at any alignment, values
// around a NaN, the infinities and signed zeros) and gives the generic version's non-finite bits.
TEST(TransposeKernels, EveryVersionCopiesTheTileAsTheGenericOne) {
  std::vector<core::TransposeKernel> versions;
  for (const core::Kernels &k : core::available_kernels()) versions.push_back(k.transpose);
  ASSERT_STREQ(versions.front().name, "generic");
  const size_t n = 23, d = 13;
  Values values{11};
  std::vector<double> X(n * d);
  for (double &v : X) v = values.uniform();
  X[3] = -0.0;
  X[4 + 2 * n] = 0.0;
  for (size_t special = 0; special < 3; ++special) {
    std::vector<double> Xs = X;
    if (special == 1) Xs[17 + 9 * n] = std::numeric_limits<double>::infinity();
    if (special == 2) Xs[5 + 3 * n] = std::nan("");
    for (const core::TransposeKernel &k : versions) {
      for (size_t i0 : {0, 1, 3}) {
        for (size_t i1 : {i0, i0 + 1, i0 + 4, i0 + 7, n}) {
          for (size_t j0 : {0, 2}) {
            for (size_t j1 : {j0, j0 + 3, j0 + 4, j0 + 9, d}) {
              SCOPED_TRACE(std::string(k.name) + " tile " + std::to_string(i0) + ".." + std::to_string(i1) + " x " +
                           std::to_string(j0) + ".." + std::to_string(j1) + ", special " + std::to_string(special));
              // Rows of d + 1 values from an odd offset: no row starts on a vector boundary.
              std::vector<double> plain(n * (d + 1) + 1, -1.0), tried = plain;
              std::vector<double *> plain_rows, tried_rows;
              for (size_t i = i0; i < i1; ++i) {
                plain_rows.push_back(plain.data() + 1 + i * (d + 1));
                tried_rows.push_back(tried.data() + 1 + i * (d + 1));
              }
              const uint64_t expected = versions.front().copy(Xs.data(), n, i0, i1, j0, j1, plain_rows.data());
              const uint64_t got = k.copy(Xs.data(), n, i0, i1, j0, j1, tried_rows.data());
              ASSERT_EQ(got, expected);
              ASSERT_TRUE(same_bits(tried, plain));
              for (size_t i = i0; i < i1; ++i)
                for (size_t j = j0; j < j1; ++j)
                  ASSERT_EQ(std::memcmp(&plain_rows[i - i0][j], &Xs[i + j * n], sizeof(double)), 0);
              ASSERT_EQ(expected != 0, special != 0 && i0 <= (special == 1 ? 17u : 5u) &&
                                           (special == 1 ? 17u : 5u) < i1 && j0 <= (special == 1 ? 9u : 3u) &&
                                           (special == 1 ? 9u : 3u) < j1);
            }
          }
        }
      }
    }
  }
}

// driftwalk's element-wise kernels on ranges that start and end off any vector boundary and span
// several feature blocks, with weights of every sign (zero, -0.0, NaN included) and non-finite
// inputs; and the generic step against the scalar rule it stands for.
TEST(BatchKernels, EveryVersionGivesTheGenericBits) {
  const std::vector<core::Kernels> all = core::available_kernels();
  const int32_t N = 40, D = 1300, B = 23;
  std::vector<double> rows(static_cast<size_t>(N) * D);
  for (size_t k = 0; k < rows.size(); ++k) rows[k] = std::sin(0.37 * static_cast<double>(k)) * (k % 3 == 0 ? 1e3 : 1.0);
  std::vector<int32_t> perm(N);
  for (int32_t j = 0; j < N; ++j) perm[static_cast<size_t>(j)] = (j * 7) % N;
  std::vector<double> c(B), z(D), w0(D);
  for (int32_t j = 0; j < B; ++j) c[static_cast<size_t>(j)] = std::sin(1.3 * j) * 3.0;
  for (int32_t k = 0; k < D; ++k) {
    z[static_cast<size_t>(k)] = std::cos(0.7 * k);
    const int kind = k % 6;
    w0[static_cast<size_t>(k)] = kind == 0 ? 0.0 : kind == 1 ? -0.0 : kind == 2 ? std::sin(0.1 * k) : -std::cos(k);
  }
  w0[5] = std::nan("");
  z[7] = std::numeric_limits<double>::infinity();
  for (const auto &[first, last] : {std::pair<int32_t, int32_t>{0, D}, {3, 1297}, {513, 520}, {9, 9}}) {
    const core::BatchKernels generic = all.front().batch;
    std::vector<double> g_ref(D, -1.0), w_ref = w0;
    generic.sums(rows.data(), D, perm.data(), B, c.data(), first, last, false, g_ref.data());
    generic.step(g_ref.data(), z.data(), 16.0 / 7.0, 0.25, 3e-3, first, last, w_ref.data());
    for (const core::Kernels &table : all) {
      std::vector<double> g(D, -1.0), w = w0;
      table.batch.sums(rows.data(), D, perm.data(), B, c.data(), first, last, false, g.data());
      table.batch.step(g.data(), z.data(), 16.0 / 7.0, 0.25, 3e-3, first, last, w.data());
      EXPECT_TRUE(same_bits(g, g_ref)) << table.batch.name;
      EXPECT_TRUE(same_bits(w, w_ref)) << table.batch.name;
      // The same sums in two stages, the second going on from the first's (a team's threads each
      // add their own samples' terms): the same bits, whatever g held before.
      for (const int32_t split : {0, 1, B / 3, B}) {
        std::vector<double> staged(D, -1.0);
        table.batch.sums(rows.data(), D, perm.data(), split, c.data(), first, last, false, staged.data());
        table.batch.sums(rows.data(), D, perm.data() + split, B - split, c.data() + split, first, last, true,
                         staged.data());
        EXPECT_TRUE(same_bits(staged, g_ref)) << table.batch.name << " split at " << split;
      }
    }
    for (int32_t k = first; k < last; ++k) {
      const size_t i = static_cast<size_t>(k);
      double sum = 0.0;
      for (int32_t j = 0; j < B; ++j)
        sum = sum + c[static_cast<size_t>(j)] * rows[static_cast<size_t>(perm[j]) * D + i];
      ASSERT_EQ(std::memcmp(&g_ref[i], &sum, sizeof(double)), 0) << k;
      const double gk = core::add_l1_subgradient(16.0 / 7.0 * g_ref[i], w0[i], 0.25);
      const double expect = (w0[i] - (3e-3 * 0.5) * gk) - (z[i] * 3e-3 + 0.0);
      ASSERT_EQ(std::memcmp(&w_ref[i], &expect, sizeof(double)), 0) << k;
    }
  }
}

// The noise source's variates, eight engines side by side in every version, against the generic
// version over every 15-bit generator value, wide values and values needing many polar pairs.
TEST(VariateKernels, EveryVersionGivesTheGenericBits) {
  std::vector<uint32_t> seeds;
  for (uint32_t r = 0; r <= 32767; ++r) seeds.push_back(driftwalk::noise_seed(r));
  for (uint32_t r : {125318u, 484389u, 859316u, 1059812u, 2147483647u, 2147483463u, 2147483464u})
    seeds.push_back(driftwalk::noise_seed(r));
  const int32_t n = static_cast<int32_t>(seeds.size());
  std::vector<double> generic(seeds.size(), 99.0);
  driftwalk::variate_kernel_for(core::InstructionSet::kGeneric).run(seeds.data(), n, generic.data());
  for (const core::Kernels &table : core::available_kernels()) {
    const driftwalk::VariateKernel version = driftwalk::variate_kernel_for(table.set);
    std::vector<double> z(seeds.size(), 99.0);
    version.run(seeds.data(), n, z.data());
    EXPECT_TRUE(same_bits(z, generic)) << version.name;
  }
}
