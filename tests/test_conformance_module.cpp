// The checks every module's call goes through, run over one table of calls (module_cases.hpp):
// arity, bad shapes and classes, non-finite values, options, and that each refusal carries the
// module's own identifier, prints nothing and leaves no array behind.
#include <limits>
#include <string>
#include <vector>

#include "module_cases.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A refused call, verbose or not: `module:reason`, a message holding `words`, nothing printed, no
// warning, no array left behind.
void expect_refused(const char *module, int nlhs, const Inputs &in, const std::string &reason, const std::string &words,
                    const std::string &label) {
  const long live = mexhost::live_arrays();
  {
    mexhost::CallResult r = loaded_module(module).call(nlhs, in.pointers());
    SCOPED_TRACE(label + ", expecting " + reason);
    expect_clean_error(r, std::string(module) + ":" + reason);
    EXPECT_NE(r.error_message.find(words), std::string::npos) << r.error_message;
    EXPECT_EQ(r.printed, "");
    EXPECT_TRUE(r.warnings.empty());
  }
  EXPECT_EQ(mexhost::live_arrays(), live) << label;
}

// Arrays that are not acceptable as data (a real sparse X is: test_sparse_module.cpp).
std::vector<mexhost::ArrayPtr> bad_arrays(bool two_dimensional_only) {
  std::vector<mexhost::ArrayPtr> bad;
  bad.push_back(mexhost::make_complex(kCaseN, kCaseD, std::vector<double>(kCaseN * kCaseD, 1.0),
                                      std::vector<double>(kCaseN * kCaseD, 0.5)));
  bad.push_back(mexhost::ArrayPtr(mxCreateSparse(kCaseN, kCaseD, 1, mxCOMPLEX)));
  bad.push_back(mexhost::make_numeric(mxINT32_CLASS, kCaseN, kCaseD));
  bad.push_back(mexhost::make_string("abc"));
  bad.push_back(mexhost::make_cell(kCaseN, kCaseD));
  bad.push_back(mexhost::make_struct({"a"}));
  if (!two_dimensional_only) {
    const mwSize dims3[3] = {kCaseN, kCaseD, 2};
    bad.emplace_back(mxCreateNumericArray(3, dims3, mxDOUBLE_CLASS, mxREAL));
  }
  return bad;
}

std::string input_name(const ModuleCase &c, size_t k) {
  return "input " + std::to_string(k + 3) + " (" + c.param_names[k] + ")";
}

}  // namespace

TEST(Conformance, EveryCallInTheTableRunsAndReturnsAColumn) {
  for (const ModuleCase &c : module_cases()) {
    mexhost::CallResult r = loaded_module(c.name).call(1, case_inputs(c, 0, case_options({{"seed", 4}})).pointers());
    ASSERT_FALSE(r.failed) << c.label << ": " << r.error_message;
    ASSERT_NE(r.output(), nullptr) << c.label;
    EXPECT_EQ(mxGetM(r.output()), kCaseD) << c.label;
    EXPECT_EQ(mxGetN(r.output()), 1u) << c.label;
    EXPECT_TRUE(r.warnings.empty()) << c.label;
  }
}

TEST(Conformance, TooFewOrTooManyInputsOrOutputs) {
  for (const ModuleCase &c : module_cases()) {
    for (size_t n = 0; n < c.inputs(); ++n) {
      Inputs in = case_inputs(c, 1);
      for (size_t k = c.inputs(); k > n; --k) in.drop_last();
      expect_refused(c.name, 1, in, "notEnoughInputs", "", c.label + std::string(" with ") + std::to_string(n));
    }
    Inputs extra = case_inputs(c, 1, case_options({{"seed", 1}}));
    extra.add(1.0);
    expect_refused(c.name, 1, extra, "tooManyInputs", "", c.label);
    expect_refused(c.name, 3, case_inputs(c, 1), "tooManyOutputs", "", c.label);
  }
  // teamprobe takes any inputs and gives no output.
  for (int nlhs : {1, 2}) expect_refused("teamprobe", nlhs, Inputs(), "tooManyOutputs", "", "teamprobe");
}

TEST(Conformance, DataOfTheWrongClassOrShape) {
  for (const ModuleCase &c : module_cases()) {
    for (mexhost::ArrayPtr &bad : bad_arrays(false)) {
      Inputs in = case_inputs(c, 1);
      in.set(0, std::move(bad));
      expect_refused(c.name, 1, in, "invalidX", "input 1 (X)", c.label);
    }
    for (mexhost::ArrayPtr &bad : bad_arrays(true)) {
      Inputs in = case_inputs(c, 1);
      in.set(1, std::move(bad));
      expect_refused(c.name, 1, in, "invalidY", "input 2 (y)", c.label);
    }
    // y with fewer values than X has rows: the call that would read past y.
    Inputs short_y = case_inputs(c, 1);
    short_y.set(1, mexhost::make_double(kCaseN - 1, 1, std::vector<double>(kCaseN - 1, 1.0)));
    expect_refused(c.name, 1, short_y, "yTooShort", "input 2 (y)", c.label);
  }
}

TEST(Conformance, NonFiniteDataAndParameters) {
  for (const ModuleCase &c : module_cases()) {
    std::vector<double> X = case_X();
    X[2 + 1 * kCaseN] = kNaN;
    Inputs bad_x = case_inputs(c, 1);
    bad_x.set(0, mexhost::make_double(kCaseN, kCaseD, X));
    expect_refused(c.name, 1, bad_x, "nonFiniteData", "X(3,2) is NaN", c.label);

    std::vector<double> y = case_y();
    y[16] = -kInf;
    Inputs bad_y = case_inputs(c, 1);
    bad_y.set(1, mexhost::make_double(kCaseN, 1, y));
    expect_refused(c.name, 1, bad_y, "nonFiniteData", "y(17) is -Inf", c.label);

    for (size_t k = 0; k < c.params.size(); ++k) {
      if (!c.real[k]) continue;  // integer inputs read NaN as -2^31 and warn (test_data_checks_module)
      for (double bad : {kNaN, kInf, -kInf}) {
        Inputs in = case_inputs(c, 1);
        in.set(2 + k, bad);
        expect_refused(c.name, 1, in, "invalidParameter", input_name(c, k), c.label);
      }
    }
  }
}

TEST(Conformance, ScalarInputsThatAreNotRealNumbers) {
  for (const ModuleCase &c : module_cases()) {
    for (size_t k = 0; k < c.params.size(); ++k) {
      for (mexhost::ArrayPtr &param : non_real_scalars()) {
        Inputs in = case_inputs(c, 1);
        in.set(2 + k, std::move(param));
        expect_refused(c.name, 1, in, "invalidParameter", input_name(c, k), c.label);
      }
    }
  }
}

TEST(Conformance, BadOptionsAreErrorsNamingTheField) {
  for (const ModuleCase &c : module_cases()) {
    expect_refused(c.name, 1, case_inputs(c, 1, mexhost::make_scalar(5)), "invalidOptions", "", c.label);
    expect_refused(c.name, 1, case_inputs(c, 1, case_options({{"sede", 1}})), "unknownOption", "opts.sede", c.label);
    for (double bad : {-1.0, 0.5, 4294967296.0, kNaN})
      expect_refused(c.name, 1, case_inputs(c, 1, case_options({{"seed", bad}})), "invalidOption", "opts.seed",
                     c.label);
    expect_refused(c.name, 1, case_inputs(c, 1, case_options({{"threads", 0}})), "invalidOption", "opts.threads",
                   c.label);
    // [] stands for no options.
    EXPECT_FALSE(loaded_module(c.name).call(1, case_inputs(c, 0, mexhost::make_double(0, 0)).pointers()).failed)
        << c.label;
  }
}
