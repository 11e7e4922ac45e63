#include "frame/output_column.hpp"

#include <cstring>

#include "frame/memory_guard.hpp"

namespace frame {

mxArray *make_column(const std::vector<double> &w) {
  mxArray *out = host_create([&] { return mxCreateDoubleMatrix(w.size(), 1, mxREAL); });
  if (out && !w.empty()) std::memcpy(mxGetPr(out), w.data(), w.size() * sizeof(double));
  return out;
}

void store_column(mxArray *plhs[], const std::vector<double> &w, CallError &err) {
  plhs[0] = make_column(w);
  if (!plhs[0]) err.set("outOfMemory", "not enough memory for the %zu x 1 output.", w.size());
}

}  // namespace frame
