#include "cluster/routes.hpp"

#include <algorithm>

#include "splitavg/split_average.hpp"

namespace cluster {

std::vector<int32_t> hold_offsets(int32_t N, int32_t P, int32_t t) {
  const int32_t T = P * t;
  std::vector<int32_t> h(static_cast<size_t>(P) + 1);
  for (int32_t q = 0; q < P; ++q) h[static_cast<size_t>(q)] = splitavg::chunk_bounds(N, T, q * t).start;
  h[static_cast<size_t>(P)] = N;
  return h;
}

int owner_of(const std::vector<int32_t> &offsets, int32_t k) {
  // The last process whose first position is at most k (empty processes share their offset).
  return static_cast<int>(std::upper_bound(offsets.begin(), offsets.end() - 1, k) - offsets.begin()) - 1;
}

Routes plan_routes(const std::vector<int32_t> &perm, const std::vector<int32_t> &read, int me, int P, int32_t t) {
  const int32_t N = static_cast<int32_t>(perm.size());
  Routes r;
  r.me = me;
  r.hold = hold_offsets(N, P, t);
  const int32_t first = read[static_cast<size_t>(me)], last = read[static_cast<size_t>(me) + 1];
  r.dest.assign(static_cast<size_t>(last - first), 0);
  r.send_first.assign(static_cast<size_t>(P), 0);
  r.send_count.assign(static_cast<size_t>(P), 0);
  // How many of this process's samples each process holds, then their slots in position order.
  int q = 0;
  for (int32_t k = 0; k < N; ++k) {
    while (k >= r.hold[static_cast<size_t>(q) + 1]) ++q;
    const int32_t s = perm[static_cast<size_t>(k)];
    if (s >= first && s < last && q != me) ++r.send_count[static_cast<size_t>(q)];
  }
  for (int p = 1; p < P; ++p)
    r.send_first[static_cast<size_t>(p)] =
        r.send_first[static_cast<size_t>(p) - 1] + r.send_count[static_cast<size_t>(p) - 1];
  r.sent_rows = r.send_first[static_cast<size_t>(P) - 1] + r.send_count[static_cast<size_t>(P) - 1];
  std::vector<int64_t> next = r.send_first;
  const int32_t mine = r.hold[static_cast<size_t>(me)];
  r.from.assign(static_cast<size_t>(r.held()), 0);
  q = 0;
  for (int32_t k = 0; k < N; ++k) {
    while (k >= r.hold[static_cast<size_t>(q) + 1]) ++q;
    const int32_t s = perm[static_cast<size_t>(k)];
    if (q == me) r.from[static_cast<size_t>(k - mine)] = owner_of(read, s);
    if (s < first || s >= last) continue;
    r.dest[static_cast<size_t>(s - first)] = q == me ? k - mine : ~next[static_cast<size_t>(q)]++;
  }
  return r;
}

RowTargets DenseRoutes::targets(const Routes &r) {
  RowTargets to;
  to.dest = r.dest.data();
  to.local_rows = held.features.data();
  to.local_labels = held.labels.data();
  to.sent_rows = sent_rows.data();
  to.sent_labels = sent_labels.data();
  to.D = held.D;
  return to;
}

RowTargets SparseLabels::targets(const Routes &r) {
  RowTargets to;
  to.dest = r.dest.data();
  to.local_labels = held.data();
  to.sent_labels = sent.data();
  return to;
}

}  // namespace cluster
