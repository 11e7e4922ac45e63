// What the solver modules say about data and parameters that cannot give an answer: NaN or an
// infinity in X or y (an error naming the first one), non-finite real parameters (an error naming
// the input), integer inputs out of the 32-bit range and runs that overflow (warnings, with the
// defined result kept).
#include <cmath>
#include <limits>
#include <string>

#include "module_call.hpp"

namespace {

const double kNaN = std::nan("");
const double kInf = std::numeric_limits<double>::infinity();

// An ordinary 20 x 3 problem; X(i,j) = sin(i + 3j), y(i) = cos(i).
std::vector<double> plain_X(size_t N = 20, size_t D = 3) {
  std::vector<double> X(N * D);
  for (size_t j = 0; j < D; ++j)
    for (size_t i = 0; i < N; ++i) X[i + j * N] = std::sin(double(i + 1) + 3.0 * double(j + 1));
  return X;
}
std::vector<double> plain_y(size_t N = 20) {
  std::vector<double> y(N);
  for (size_t i = 0; i < N; ++i) y[i] = std::cos(double(i + 1));
  return y;
}

// A silent call of `name` on X (N x D) and y with a small, stable step and 50 iterations.
Inputs call_inputs(const std::string &name, const std::vector<double> &X, size_t N, size_t D,
                   const std::vector<double> &y, double verbose = 1) {
  Inputs in;
  in.add(mexhost::make_double(N, D, X)).add(mexhost::make_double(y.size(), 1, y));
  if (name == "kinkstep") in.add(0.01).add(1e-3).add(50).add(0).add(verbose);
  if (name == "driftwalk") in.add(1e-3).add(10).add(-0.55).add(0.1).add(5).add(50).add(verbose);
  if (name == "splitavg") in.add(0.01).add(1e-3).add(verbose);
  return in;
}

bool has_warning(const mexhost::CallResult &r, const std::string &id, const std::string &words) {
  for (const auto &w : r.warnings)
    if (w.id == id && w.message.find(words) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(NonFiniteData, EveryModuleNamesTheFirstBadValueBeforePrintingAnything) {
  struct Case {
    size_t row, column;  // 1-based; column 0: y
    double value;
    const char *words;
  };
  const Case cases[] = {{3, 2, kNaN, "X(3,2) is NaN"},
                        {20, 3, kInf, "X(20,3) is Inf"},
                        {1, 1, -kInf, "X(1,1) is -Inf"},
                        {17, 0, kInf, "y(17) is Inf"},
                        {1, 0, kNaN, "y(1) is NaN"}};
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    for (const Case &c : cases) {
      std::vector<double> X = plain_X(), y = plain_y();
      if (c.column == 0)
        y[c.row - 1] = c.value;
      else
        X[(c.row - 1) + (c.column - 1) * 20] = c.value;
      const long live = mexhost::live_arrays();
      {
        mexhost::CallResult r = loaded_module(name).call(1, call_inputs(name, X, 20, 3, y).pointers());
        expect_clean_error(r, std::string(name) + ":nonFiniteData");
        EXPECT_NE(r.error_message.find(c.words), std::string::npos) << r.error_message;
        EXPECT_NE(r.error_message.find(c.column == 0 ? "input 2 (y)" : "input 1 (X)"), std::string::npos);
        EXPECT_EQ(r.printed, "") << name << ": printed before the error";
        EXPECT_TRUE(r.warnings.empty());
      }
      EXPECT_EQ(mexhost::live_arrays(), live);
    }
  }
}

TEST(NonFiniteData, TheFirstInColumnOrderIsNamedAndXComesBeforeY) {
  // 300 x 40: the conversion works in tiles of 128 samples by 16 features, so it meets X(2,20)
  // (first row tile) before X(250,1); column order puts X(250,1) first.
  const size_t N = 300, D = 40;
  std::vector<double> X = plain_X(N, D), y = plain_y(N);
  X[(2 - 1) + (20 - 1) * N] = kNaN;
  X[(250 - 1) + (1 - 1) * N] = kInf;
  y[0] = kNaN;
  mexhost::CallResult r = loaded_module("kinkstep").call(1, call_inputs("kinkstep", X, N, D, y).pointers());
  expect_clean_error(r, "kinkstep:nonFiniteData");
  EXPECT_NE(r.error_message.find("X(250,1) is Inf"), std::string::npos) << r.error_message;

  // Only the first N values of y are data: a NaN beyond them is never read.
  std::vector<double> longer = plain_y(N + 5);
  longer[N + 2] = kNaN;
  mexhost::CallResult fine =
      loaded_module("kinkstep").call(1, call_inputs("kinkstep", plain_X(N, D), N, D, longer, 0).pointers());
  EXPECT_FALSE(fine.failed) << fine.error_message;
}

TEST(NonFiniteData, SinglePrecisionDataAreCheckedToo) {
  mexhost::ArrayPtr X = mexhost::make_numeric(mxSINGLE_CLASS, 4, 2);
  float *x = static_cast<float *>(mxGetData(X.get()));
  for (int k = 0; k < 8; ++k) x[k] = 0.5f * float(k);
  x[5] = std::numeric_limits<float>::quiet_NaN();  // X(2,2)
  Inputs in;
  in.add(std::move(X)).add(mexhost::make_double(4, 1, {1, 2, 3, 4})).add(0.01).add(0.0).add(10).add(0).add(0);
  mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
  expect_clean_error(r, "kinkstep:nonFiniteData");
  EXPECT_NE(r.error_message.find("X(2,2) is NaN"), std::string::npos) << r.error_message;
}

TEST(InvalidParameter, NonFiniteRealInputsAreRefusedByName) {
  struct Case {
    const char *name;
    size_t position;  // 0-based
    const char *input;
  };
  const Case cases[] = {{"kinkstep", 2, "input 3 (stepSize)"},   {"kinkstep", 3, "input 4 (lambda)"},
                        {"driftwalk", 2, "input 3 (stepScale)"}, {"driftwalk", 3, "input 4 (stepOffset)"},
                        {"driftwalk", 4, "input 5 (stepPower)"}, {"driftwalk", 5, "input 6 (lambda)"},
                        {"splitavg", 2, "input 3 (stepSize)"},   {"splitavg", 3, "input 4 (lambda)"}};
  for (const Case &c : cases) {
    for (double bad : {kNaN, kInf, -kInf}) {
      Inputs in = call_inputs(c.name, plain_X(), 20, 3, plain_y());
      in.set(c.position, bad);
      mexhost::CallResult r = loaded_module(c.name).call(1, in.pointers());
      expect_clean_error(r, std::string(c.name) + ":invalidParameter");
      EXPECT_NE(r.error_message.find(c.input), std::string::npos) << r.error_message;
      EXPECT_NE(r.error_message.find("finite"), std::string::npos) << r.error_message;
      EXPECT_EQ(r.printed, "");
    }
  }
}

TEST(ParameterOutOfRange, IntegerInputsThatReadAsTheLowestValueWarnAndKeepTheirResult) {
  // maxIter = 3e9 reads as -2^31: no iteration, zeros, and a warning naming the input and value.
  for (double maxIter : {3e9, kNaN, kInf, -kInf, -3e9}) {
    Inputs in = call_inputs("kinkstep", plain_X(), 20, 3, plain_y(), 0);
    in.set(4, maxIter);
    const long live = mexhost::live_arrays();
    mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    expect_zero_column_and_nothing_left(r, 3, live);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].id, "kinkstep:parameterOutOfRange");
    EXPECT_NE(r.warnings[0].message.find("input 5 (maxIter)"), std::string::npos) << r.warnings[0].message;
    const std::string given = std::isnan(maxIter) ? "NaN"
                              : maxIter == kInf   ? "Inf"
                              : maxIter == -kInf  ? "-Inf"
                              : maxIter > 0       ? "3000000000"
                                                  : "-3000000000";
    EXPECT_NE(r.warnings[0].message.find("is " + given), std::string::npos) << r.warnings[0].message;
    EXPECT_EQ(r.printed, "");
  }
  // Values inside the range, the lowest one included, read as they are and do not warn.
  for (double maxIter : {-2147483648.0, -2147483648.5, 2147483647.0 - 2147483600.0, 0.0, -7.0}) {
    Inputs in = call_inputs("kinkstep", plain_X(), 20, 3, plain_y(), 0);
    in.set(4, maxIter);
    mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_TRUE(r.warnings.empty()) << maxIter << ": " << r.warnings[0].message;
  }
  // The other integer inputs: verbose NaN stays silent, driftwalk's batchSize 2^31 is refused after
  // its warning, splitavg's verbose Inf.
  Inputs k = call_inputs("kinkstep", plain_X(), 20, 3, plain_y());
  k.set(6, kNaN);
  mexhost::CallResult r = loaded_module("kinkstep").call(1, k.pointers());
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(r.printed, "");
  EXPECT_TRUE(has_warning(r, "kinkstep:parameterOutOfRange", "input 7 (verbose) is NaN"));
  // A method that reads as -2^31 is refused, and the warning does not call it "0 or less" (method 0).
  k = call_inputs("kinkstep", plain_X(), 20, 3, plain_y());
  k.set(5, kNaN);
  r = loaded_module("kinkstep").call(1, k.pointers());
  expect_clean_error(r, "kinkstep:invalidMethod");
  EXPECT_TRUE(has_warning(r, "kinkstep:parameterOutOfRange",
                          "input 6 (method) is NaN; it reads as -2147483648, "
                          "which is no method (0 or 1)."));

  Inputs d = call_inputs("driftwalk", plain_X(), 20, 3, plain_y());
  d.set(6, 2147483648.0);
  r = loaded_module("driftwalk").call(1, d.pointers());
  expect_clean_error(r, "driftwalk:invalidBatchSize");
  EXPECT_TRUE(has_warning(r, "driftwalk:parameterOutOfRange", "input 7 (batchSize) is 2147483648, outside the 32-bit"));

  Inputs s = call_inputs("splitavg", plain_X(), 20, 3, plain_y());
  s.set(4, kInf);
  r = loaded_module("splitavg").call(1, s.pointers());
  EXPECT_FALSE(r.failed);
  EXPECT_TRUE(has_warning(r, "splitavg:parameterOutOfRange", "input 5 (verbose) is Inf"));
}

TEST(YNotVector, AMatrixOfLabelsWarnsAndKeepsItsFirstNValues) {
  // y as 20 x 3 (three targets, the first plain_y) and as its 3 x 20 transpose: the labels stay the
  // first 20 values in memory order, and the call says which.
  const std::vector<double> y = plain_y();
  std::vector<double> targets = y;
  for (size_t k = 0; k < 40; ++k) targets.push_back(std::sin(0.7 * double(k)));
  auto seeded = [](Inputs in) {
    mexhost::ArrayPtr opts = mexhost::make_struct({"seed"});
    mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(9));
    in.add(std::move(opts));
    return in;
  };
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    const mexhost::CallResult column =
        loaded_module(name).call(1, seeded(call_inputs(name, plain_X(), 20, 3, y, 0)).pointers());
    ASSERT_FALSE(column.failed) << column.error_message;
    EXPECT_TRUE(column.warnings.empty()) << name;
    const struct {
      size_t rows, columns;
      const char *says;
    } shapes[] = {{20, 3,
                   "is a 20 x 3 array, not a vector: its first N = 20 values, column after column, are the "
                   "labels (its first column)"},
                  {3, 20, "(values of several columns)"}};
    for (const auto &shape : shapes) {
      Inputs in = seeded(call_inputs(name, plain_X(), 20, 3, y, 0));
      in.set(1, mexhost::make_double(shape.rows, shape.columns, targets));
      const mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
      ASSERT_FALSE(r.failed) << r.error_message;
      ASSERT_EQ(r.warnings.size(), 1u) << name;
      EXPECT_EQ(r.warnings[0].id, std::string(name) + ":yNotVector");
      EXPECT_NE(r.warnings[0].message.find(shape.says), std::string::npos) << r.warnings[0].message;
      EXPECT_EQ(mexhost::values(r.output()), mexhost::values(column.output())) << name;
    }
    // The same values as a 3-D array: every dimension is named, and one of 1 row is no vector either.
    std::vector<mwSize> many_ones(60, 1);
    many_ones.push_back(20);
    many_ones.push_back(3);
    const struct {
      std::vector<mwSize> dims;
      const char *says;
    } arrays[] = {{{20, 1, 3}, "is a 20 x 1 x 3 array, not a vector"},
                  {{1, 20, 3}, "is a 1 x 20 x 3 array"},
                  {many_ones, "is a 62-dimensional (20 x 3 in its dimensions above 1) array"}};
    for (const auto &array : arrays) {
      mexhost::ArrayPtr y3(mxCreateNumericArray(array.dims.size(), array.dims.data(), mxDOUBLE_CLASS, mxREAL));
      std::copy(targets.begin(), targets.end(), mxGetPr(y3.get()));
      Inputs in = seeded(call_inputs(name, plain_X(), 20, 3, y, 0));
      in.set(1, std::move(y3));
      const mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
      ASSERT_FALSE(r.failed) << r.error_message;
      ASSERT_EQ(r.warnings.size(), 1u) << name;
      EXPECT_NE(r.warnings[0].message.find(array.says), std::string::npos) << r.warnings[0].message;
      EXPECT_EQ(mexhost::values(r.output()), mexhost::values(column.output())) << name;
    }
  }
}

TEST(Diverged, ATooLargeStepReturnsItsWeightsAndWarnsOnce) {
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    Inputs in = call_inputs(name, plain_X(), 20, 3, plain_y(), 0);
    if (std::string(name) == "kinkstep") in.set(2, 1e6).set(3, 0.0).set(4, 1000);
    if (std::string(name) == "driftwalk") in.set(2, 1e6).set(4, 0.0);
    if (std::string(name) == "splitavg") in.set(2, 1e100);  // one pass of 10 or so steps per thread
    const long live = mexhost::live_arrays();
    {
      mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
      ASSERT_FALSE(r.failed) << name << ": " << r.error_message;
      const std::vector<double> w = mexhost::values(r.output());
      ASSERT_EQ(w.size(), 3u);
      EXPECT_FALSE(std::isfinite(w[0]) && std::isfinite(w[1]) && std::isfinite(w[2])) << name;
      ASSERT_EQ(r.warnings.size(), 1u) << name;
      EXPECT_EQ(r.warnings[0].id, std::string(name) + ":diverged");
      EXPECT_NE(r.warnings[0].message.find("smaller step size"), std::string::npos) << r.warnings[0].message;
      EXPECT_EQ(r.printed, "") << "a warning is not printed output";
    }
    EXPECT_EQ(mexhost::live_arrays(), live);
  }
  // driftwalk's schedule a * (t + b)^gamma with no defined step: the warning names the iteration
  // and the schedule rather than advising a smaller step (a negative base to a fractional power at
  // t = 0, and zero to a negative power at t = -b = 2).
  const struct {
    double offset, power;
    const char *says;
  } schedules[] = {{-1.0, 0.5, "is NaN at iteration t = 0 (stepOffset = -1, stepPower = 0.5)"},
                   {-2.0, -1.0, "is infinite at iteration t = 2 (stepOffset = -2, stepPower = -1)"}};
  for (const auto &c : schedules) {
    Inputs in = call_inputs("driftwalk", plain_X(), 20, 3, plain_y(), 0);
    in.set(3, c.offset).set(4, c.power).set(7, 5.0);
    mexhost::CallResult r = loaded_module("driftwalk").call(1, in.pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].id, "driftwalk:diverged");
    EXPECT_NE(r.warnings[0].message.find(c.says), std::string::npos) << r.warnings[0].message;
  }
  // Starting weights near the largest double overflow the first residual even at a step size of 0:
  // the warning names them beside the step size.
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    Inputs in = call_inputs(name, std::vector<double>(60, 1.0), 20, 3, plain_y(), 0);
    in.set(2, 0.0);
    mexhost::ArrayPtr opts = mexhost::make_struct({"w0"});
    mxSetField(opts.get(), 0, "w0",
               mexhost::make_double(3, 1, std::vector<double>(3, std::numeric_limits<double>::max())).release());
    in.add(std::move(opts));
    mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
    ASSERT_FALSE(r.failed) << name << ": " << r.error_message;
    ASSERT_EQ(r.warnings.size(), 1u) << name;
    EXPECT_NE(r.warnings[0].message.find("or the starting weights (opts.w0) are too large"), std::string::npos)
        << r.warnings[0].message;
  }
  // A run that stays finite does not warn.
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    mexhost::CallResult r = loaded_module(name).call(1, call_inputs(name, plain_X(), 20, 3, plain_y(), 0).pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_TRUE(r.warnings.empty()) << name << ": " << r.warnings[0].message;
  }
}
