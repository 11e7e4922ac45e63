// mexhost's sparse arrays, laid out as MATLAB lays them out: compressed columns with row indices
// increasing within each column, mxGetPr (mxGetLogicals) holding the entries in that order.
#include <gtest/gtest.h>

#include <vector>

#include "mexhost/host.hpp"

namespace {

TEST(MexhostSparse, DoubleMatrixInCompressedColumns) {
  // 3 x 4, column-major: column 1 holds rows 1 and 3, column 2 nothing, column 3 row 2, column 4
  // rows 1..3.
  const std::vector<double> full{5, 0, -1, 0, 0, 0, 0, 2.5, 0, 7, 8, 9};
  mexhost::ArrayPtr a = mexhost::make_sparse(3, 4, full);
  ASSERT_TRUE(a);
  EXPECT_TRUE(mxIsSparse(a.get()));
  EXPECT_TRUE(mxIsDouble(a.get()));
  EXPECT_FALSE(mxIsComplex(a.get()));
  EXPECT_EQ(mxGetM(a.get()), 3u);
  EXPECT_EQ(mxGetN(a.get()), 4u);
  EXPECT_EQ(mxGetNzmax(a.get()), 6u);
  const mwIndex *jc = mxGetJc(a.get()), *ir = mxGetIr(a.get());
  const double *pr = mxGetPr(a.get());
  EXPECT_EQ(std::vector<mwIndex>(jc, jc + 5), (std::vector<mwIndex>{0, 2, 2, 3, 6}));
  EXPECT_EQ(std::vector<mwIndex>(ir, ir + 6), (std::vector<mwIndex>{0, 2, 1, 0, 1, 2}));
  EXPECT_EQ(std::vector<double>(pr, pr + 6), (std::vector<double>{5, -1, 2.5, 7, 8, 9}));
  EXPECT_EQ(mexhost::full_values(a.get()), full);
}

TEST(MexhostSparse, LogicalMatrixAndEmptyOnes) {
  const std::vector<double> full{1, 0, 0, 1, 1, 0};
  mexhost::ArrayPtr a = mexhost::make_sparse_logical(2, 3, full);
  ASSERT_TRUE(a);
  EXPECT_TRUE(mxIsSparse(a.get()));
  EXPECT_TRUE(mxIsLogical(a.get()));
  const mxLogical *l = mxGetLogicals(a.get());
  ASSERT_NE(l, nullptr);
  EXPECT_TRUE(l[0] && l[1] && l[2]);
  EXPECT_EQ(mexhost::full_values(a.get()), full);

  // No entries: room for one all the same, as the hosts keep; every column starts at 0.
  mexhost::ArrayPtr e = mexhost::make_sparse(4, 2, std::vector<double>(8, 0.0));
  EXPECT_EQ(mxGetNzmax(e.get()), 1u);
  EXPECT_EQ(mxGetJc(e.get())[2], 0u);
  EXPECT_EQ(mexhost::full_values(e.get()), std::vector<double>(8, 0.0));
  // A full array has no compressed columns.
  mexhost::ArrayPtr f = mexhost::make_double(2, 2, {1, 2, 3, 4});
  EXPECT_EQ(mxGetJc(f.get()), nullptr);
  EXPECT_EQ(mxGetIr(f.get()), nullptr);
}

TEST(MexhostSparse, RawColumnsAreKeptAsGiven) {
  mexhost::ArrayPtr a = mexhost::make_sparse(3, 2, {0, 2, 3}, {2, 0, 1}, {1.0, 2.0, 3.0}, 5);
  EXPECT_EQ(mxGetNzmax(a.get()), 5u);
  EXPECT_EQ(mxGetIr(a.get())[0], 2u);  // out of order, as given
  EXPECT_EQ(mxGetJc(a.get())[2], 3u);
}

}  // namespace
