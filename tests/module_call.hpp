// Calling a built module through mexhost with arrays kept alive for the call.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "mexhost/host.hpp"
#include "mexhost/interrupt.h"
#include "test_support.hpp"

class Inputs {
 public:
  Inputs &add(mexhost::ArrayPtr a) {
    arrays_.push_back(std::move(a));
    return *this;
  }
  Inputs &add(double v) { return add(mexhost::make_scalar(v)); }
  std::vector<const mxArray *> pointers() const {
    std::vector<const mxArray *> p;
    for (const auto &a : arrays_) p.push_back(a.get());
    return p;
  }
  // Replaces input k (0-based).
  Inputs &set(size_t k, mexhost::ArrayPtr a) {
    arrays_.at(k) = std::move(a);
    return *this;
  }
  Inputs &set(size_t k, double v) { return set(k, mexhost::make_scalar(v)); }
  Inputs &drop_last() {
    arrays_.pop_back();
    return *this;
  }

 private:
  std::vector<mexhost::ArrayPtr> arrays_;
};

// X = [1 2; 3 4; 5 6], y = (1, 1, 1) as a row.
inline mexhost::ArrayPtr worked_X() {
  return mexhost::make_double(3, 2, {1, 3, 5, 2, 4, 6});
}
inline mexhost::ArrayPtr worked_y() {
  return mexhost::make_row({1, 1, 1});
}

// Scalar inputs that are not real numbers: empty, complex, text, a cell and a sparse 1 x 1.
inline std::vector<mexhost::ArrayPtr> non_real_scalars() {
  std::vector<mexhost::ArrayPtr> params;
  params.push_back(mexhost::make_double(0, 0));
  params.push_back(mexhost::make_complex(1, 1, {1}, {1}));
  params.push_back(mexhost::make_string("1"));
  params.push_back(mexhost::make_cell(1, 1));
  params.push_back(mexhost::make_sparse(1, 1));
  return params;
}

// A call that must fail cleanly: an identifier of the module, no output, nothing left behind.
inline void expect_clean_error(const mexhost::CallResult &r, const std::string &id) {
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.error_id, id) << r.error_message;
  EXPECT_FALSE(r.error_message.empty());
  for (const auto &out : r.outputs) EXPECT_EQ(out, nullptr);
  EXPECT_EQ(r.temporaries_left, 0);
}

// A call pressed with Ctrl-C at its k-th question. How many questions a call asks can differ from
// one call to the next, as its teams follow the processors free of other work at each: where this
// call asked fewer than k and finished, it is made again, pressed at the last question it asked.
template <typename Call>
mexhost::CallResult pressed_at(long k, Call call) {
  mexhost::CallResult r;
  for (int attempt = 0; attempt < 8; ++attempt) {
    mexhost_interrupt_after(k);
    r = call();
    const long asked = mexhost_interrupt_checks();
    mexhost_interrupt_after(0);
    if (r.failed || asked < 1) break;
    k = std::min(k, asked);
  }
  return r;
}

// A call that ran no iteration: a D x 1 column of zeros, and nothing left behind once the caller
// drops the outputs.
inline void expect_zero_column_and_nothing_left(mexhost::CallResult &r, size_t D, long live_before) {
  ASSERT_NE(r.output(), nullptr);
  EXPECT_EQ(mxGetM(r.output()), D);
  EXPECT_EQ(mxGetN(r.output()), 1u);
  EXPECT_EQ(mexhost::values(r.output()), std::vector<double>(D, 0.0));
  EXPECT_EQ(r.temporaries_left, 0);
  r.outputs.clear();
  EXPECT_EQ(mexhost::live_arrays(), live_before);
}

// The seed a call reported (info.seed: the call asked for two outputs).
inline double reported_seed(const mexhost::CallResult &r) {
  return mxGetScalar(mxGetField(r.output(1), 0, "seed"));
}

// The inputs with struct('seed', seed) after them.
inline Inputs with_seed(Inputs in, double seed) {
  mexhost::ArrayPtr opts = mexhost::make_struct({"seed"});
  mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(seed));
  return std::move(in.add(std::move(opts)));
}
