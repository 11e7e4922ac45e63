#include "cluster/row_exchange.hpp"

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>

#include "cluster/collective.hpp"

namespace cluster {

namespace {

// The held positions grouped by the process their rows come from, each group in position order
// (the order they arrive in): group p is positions[first[p] .. first[p+1] - 1].
struct Arrivals {
  std::vector<int64_t> first;
  std::vector<int32_t> positions;
  size_t count(int p) const {
    return static_cast<size_t>(first[static_cast<size_t>(p) + 1] - first[static_cast<size_t>(p)]);
  }
  const int32_t *of(int p) const { return positions.data() + first[static_cast<size_t>(p)]; }
};

Arrivals arrivals(const Routes &r, int P) {
  Arrivals a;
  a.first.assign(static_cast<size_t>(P) + 1, 0);
  for (int32_t p : r.from) ++a.first[static_cast<size_t>(p) + 1];
  for (int p = 0; p < P; ++p) a.first[static_cast<size_t>(p) + 1] += a.first[static_cast<size_t>(p)];
  a.positions.resize(r.from.size());
  std::vector<int64_t> next(a.first.begin(), a.first.end() - 1);
  for (size_t k = 0; k < r.from.size(); ++k)
    a.positions[static_cast<size_t>(next[static_cast<size_t>(r.from[k])]++)] = static_cast<int32_t>(k);
  return a;
}

struct Requests {
  std::vector<MPI_Request> list;
  std::vector<MPI_Datatype> types;
  ~Requests() {
    for (MPI_Datatype &t : types) MPI_Type_free(&t);
  }
  void wait() {
    if (!list.empty()) MPI_Waitall(static_cast<int>(list.size()), list.data(), MPI_STATUSES_IGNORE);
    list.clear();
  }
  MPI_Datatype keep(MPI_Datatype t) {
    MPI_Type_commit(&t);
    types.push_back(t);
    return t;
  }
};

// A receive type that puts the `count` elements of `element` arriving from one process at the
// byte offsets `at` of the buffer, one element each.
MPI_Datatype scattered(Requests &req, const std::vector<MPI_Aint> &at, MPI_Datatype element) {
  MPI_Datatype t;
  MPI_Type_create_hindexed_block(static_cast<int>(at.size()), 1, at.data(), element, &t);
  return req.keep(t);
}

// Allocates `bytes` and gives them back: throws std::bad_alloc where they cannot be had (under a
// ulimit -v), before Open MPI asks for them. The empty asm keeps the compiler from leaving the
// allocation out.
void make_sure_of(uint64_t bytes) {
  std::unique_ptr<char[]> room(new char[bytes]);
  asm volatile("" : : "r"(room.get()) : "memory");
}

constexpr int kRowsTag = 1, kLabelsTag = 2, kLengthsTag = 3, kColumnsTag = 4, kValuesTag = 5;

int as_count(int64_t n, const char *what) {
  if (n > INT_MAX)
    throw RunFailure(std::string("more than 2147483647 ") + what +
                     " would travel between two processes in one message; use more processes");
  return static_cast<int>(n);
}

}  // namespace

int64_t rows_received(const Routes &routes) {
  return std::count_if(routes.from.begin(), routes.from.end(), [&](int32_t p) { return p != routes.me; });
}

uint64_t exchange_dense(MPI_Comm comm, const Routes &routes, DenseRoutes &rows) {
  int P = 1;
  MPI_Comm_size(comm, &P);
  const int32_t D = rows.held.D;
  const uint64_t type_bytes = static_cast<uint64_t>(rows_received(routes)) * kReceiveTypeBytesPerRow;
  // Where each arriving row and label goes, for every process that sends any.
  Arrivals arriving;
  std::vector<std::vector<MPI_Aint>> row_at(static_cast<size_t>(P)), label_at(static_cast<size_t>(P));
  std::vector<int> sent_count(static_cast<size_t>(P), 0);
  on_every_process(comm, "for the places of the rows it receives", [&] {
    arriving = arrivals(routes, P);
    for (int p = 0; p < P; ++p) {
      if (p == routes.me) continue;
      for (size_t n = 0; n < arriving.count(p); ++n) {
        const int64_t k = arriving.of(p)[n];
        row_at[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(k * D * static_cast<int64_t>(sizeof(double))));
        label_at[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(k * static_cast<int64_t>(sizeof(double))));
      }
      sent_count[static_cast<size_t>(p)] = as_count(routes.send_count[static_cast<size_t>(p)], "rows");
    }
    make_sure_of(type_bytes);
  });
  Requests req;
  MPI_Datatype row_type = MPI_DOUBLE;
  if (D > 0) {
    MPI_Type_contiguous(D, MPI_DOUBLE, &row_type);
    row_type = req.keep(row_type);
  }
  for (int p = 0; p < P; ++p) {
    if (p == routes.me || row_at[static_cast<size_t>(p)].empty()) continue;
    if (D > 0) {
      req.list.emplace_back();
      MPI_Irecv(rows.held.features.data(), 1, scattered(req, row_at[static_cast<size_t>(p)], row_type), p, kRowsTag,
                comm, &req.list.back());
    }
    req.list.emplace_back();
    MPI_Irecv(rows.held.labels.data(), 1, scattered(req, label_at[static_cast<size_t>(p)], MPI_DOUBLE), p, kLabelsTag,
              comm, &req.list.back());
  }
  uint64_t bytes = 0;
  for (int q = 0; q < P; ++q) {
    const int count = sent_count[static_cast<size_t>(q)];
    const int64_t first = routes.send_first[static_cast<size_t>(q)];
    if (q == routes.me || count == 0) continue;
    if (D > 0) {
      req.list.emplace_back();
      MPI_Isend(rows.sent_rows.data() + first * D, count, row_type, q, kRowsTag, comm, &req.list.back());
    }
    req.list.emplace_back();
    MPI_Isend(rows.sent_labels.data() + first, count, MPI_DOUBLE, q, kLabelsTag, comm, &req.list.back());
    bytes += static_cast<uint64_t>(count) * (static_cast<uint64_t>(D) + 1) * sizeof(double);
  }
  req.wait();
  return bytes;
}

core::SparseRows exchange_sparse(MPI_Comm comm, const Routes &routes, SparseBlock &&block_in, SparseLabels &&labels_in,
                                 int32_t D, uint64_t &bytes_sent) {
  int P = 1;
  MPI_Comm_size(comm, &P);
  SparseBlock block = std::move(block_in);
  SparseLabels labels = std::move(labels_in);
  const int32_t held = routes.held();
  const size_t B = routes.dest.size();
  const uint64_t type_bytes = static_cast<uint64_t>(rows_received(routes)) * kReceiveTypeBytesPerRow;
  bytes_sent = 0;

  // 1. The length of every row: this process's own, and those of the rows it holds (which travel
  // with their labels).
  Arrivals arriving;
  std::vector<int32_t> held_length, sent_length;
  std::vector<std::vector<MPI_Aint>> by4(static_cast<size_t>(P)), by8(static_cast<size_t>(P));
  std::vector<int> sent_count(static_cast<size_t>(P), 0);
  on_every_process(comm, "for the lengths of the rows it receives", [&] {
    arriving = arrivals(routes, P);
    held_length.assign(static_cast<size_t>(held), 0);
    sent_length.assign(static_cast<size_t>(routes.sent_rows), 0);
    std::vector<int32_t> length(B, 0);
    for (int32_t r : block.row_indices) ++length[static_cast<size_t>(r)];
    for (size_t i = 0; i < B; ++i) {
      const int64_t d = routes.dest[i];
      (d >= 0 ? held_length[static_cast<size_t>(d)] : sent_length[static_cast<size_t>(~d)]) = length[i];
    }
    for (int p = 0; p < P; ++p) {
      if (p == routes.me) continue;
      for (size_t n = 0; n < arriving.count(p); ++n) {
        const int64_t k = arriving.of(p)[n];
        by4[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(k * 4));
        by8[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(k * 8));
      }
      sent_count[static_cast<size_t>(p)] = as_count(routes.send_count[static_cast<size_t>(p)], "rows");
    }
    make_sure_of(type_bytes);
  });
  {
    Requests req;
    for (int p = 0; p < P; ++p) {
      if (p == routes.me || by4[static_cast<size_t>(p)].empty()) continue;
      req.list.emplace_back();
      MPI_Irecv(held_length.data(), 1, scattered(req, by4[static_cast<size_t>(p)], MPI_INT32_T), p, kLengthsTag, comm,
                &req.list.back());
      req.list.emplace_back();
      MPI_Irecv(labels.held.data(), 1, scattered(req, by8[static_cast<size_t>(p)], MPI_DOUBLE), p, kLabelsTag, comm,
                &req.list.back());
    }
    for (int q = 0; q < P; ++q) {
      const int count = sent_count[static_cast<size_t>(q)];
      const int64_t first = routes.send_first[static_cast<size_t>(q)];
      if (q == routes.me || count == 0) continue;
      req.list.emplace_back();
      MPI_Isend(sent_length.data() + first, count, MPI_INT32_T, q, kLengthsTag, comm, &req.list.back());
      req.list.emplace_back();
      MPI_Isend(labels.sent.data() + first, count, MPI_DOUBLE, q, kLabelsTag, comm, &req.list.back());
      bytes_sent += static_cast<uint64_t>(count) * 12;
    }
    req.wait();
  }
  by4 = decltype(by4)(static_cast<size_t>(P));
  by8 = decltype(by8)(static_cast<size_t>(P));

  // 2. The held rows' places and the send buffers (in slot order); the block's nonzeros, column by
  // column, to the end of their row wherever it goes, so each row's columns come out increasing.
  core::SparseRows rows;
  std::vector<int64_t> sent_at;
  std::vector<int32_t, core::LargeArrayAllocator<int32_t>> sent_columns;
  std::vector<double, core::LargeArrayAllocator<double>> sent_values;
  std::vector<std::vector<int>> lengths(static_cast<size_t>(P));
  std::vector<int> sent_entries(static_cast<size_t>(P), 0);
  on_every_process(comm, "for the nonzeros of its shares", [&] {
    rows.N = held;
    rows.D = D;
    rows.labels = std::move(labels.held);
    rows.offsets.resize(static_cast<size_t>(held) + 1);
    rows.offsets[0] = 0;
    for (int32_t k = 0; k < held; ++k)
      rows.offsets[static_cast<size_t>(k) + 1] =
          rows.offsets[static_cast<size_t>(k)] + held_length[static_cast<size_t>(k)];
    rows.columns.resize(static_cast<size_t>(rows.nonzeros()));
    rows.values.resize(static_cast<size_t>(rows.nonzeros()));
    sent_at.assign(static_cast<size_t>(routes.sent_rows) + 1, 0);
    for (int64_t s = 0; s < routes.sent_rows; ++s)
      sent_at[static_cast<size_t>(s) + 1] = sent_at[static_cast<size_t>(s)] + sent_length[static_cast<size_t>(s)];
    sent_columns.resize(static_cast<size_t>(sent_at.back()));
    sent_values.resize(static_cast<size_t>(sent_at.back()));
    std::vector<int64_t> held_next(rows.offsets.begin(), rows.offsets.end() - 1);
    std::vector<int64_t> sent_next(sent_at.begin(), sent_at.end() - 1);
    for (int32_t c = 0; c < block.D; ++c)
      for (int64_t k = block.column_starts[static_cast<size_t>(c)]; k < block.column_starts[static_cast<size_t>(c) + 1];
           ++k) {
        const int64_t d = routes.dest[static_cast<size_t>(block.row_indices[static_cast<size_t>(k)])];
        const double v = block.values[static_cast<size_t>(k)];
        if (d >= 0) {
          const int64_t at = held_next[static_cast<size_t>(d)]++;
          rows.columns[static_cast<size_t>(at)] = c;
          rows.values[static_cast<size_t>(at)] = v;
        } else {
          const int64_t at = sent_next[static_cast<size_t>(~d)]++;
          sent_columns[static_cast<size_t>(at)] = c;
          sent_values[static_cast<size_t>(at)] = v;
        }
      }
    block = SparseBlock();
    // Where each arriving row's nonzeros go.
    for (int p = 0; p < P; ++p) {
      if (p == routes.me) continue;
      for (size_t m = 0; m < arriving.count(p); ++m) {
        const int64_t k = arriving.of(p)[m];
        const int32_t n = held_length[static_cast<size_t>(k)];
        if (n == 0) continue;
        lengths[static_cast<size_t>(p)].push_back(n);
        by4[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(rows.offsets[static_cast<size_t>(k)] * 4));
        by8[static_cast<size_t>(p)].push_back(static_cast<MPI_Aint>(rows.offsets[static_cast<size_t>(k)] * 8));
      }
      const int64_t first = routes.send_first[static_cast<size_t>(p)], n = routes.send_count[static_cast<size_t>(p)];
      sent_entries[static_cast<size_t>(p)] =
          as_count(sent_at[static_cast<size_t>(first + n)] - sent_at[static_cast<size_t>(first)], "nonzeros");
    }
    make_sure_of(type_bytes);
  });

  // 3. Every row's nonzeros straight into its place at the holder.
  Requests req;
  for (int p = 0; p < P; ++p) {
    const std::vector<int> &n = lengths[static_cast<size_t>(p)];
    if (p == routes.me || n.empty()) continue;
    MPI_Datatype columns_type, values_type;
    MPI_Type_create_hindexed(static_cast<int>(n.size()), n.data(), by4[static_cast<size_t>(p)].data(), MPI_INT32_T,
                             &columns_type);
    MPI_Type_create_hindexed(static_cast<int>(n.size()), n.data(), by8[static_cast<size_t>(p)].data(), MPI_DOUBLE,
                             &values_type);
    req.list.emplace_back();
    MPI_Irecv(rows.columns.data(), 1, req.keep(columns_type), p, kColumnsTag, comm, &req.list.back());
    req.list.emplace_back();
    MPI_Irecv(rows.values.data(), 1, req.keep(values_type), p, kValuesTag, comm, &req.list.back());
  }
  for (int q = 0; q < P; ++q) {
    const int count = sent_entries[static_cast<size_t>(q)];
    if (q == routes.me || count == 0) continue;
    const int64_t begin = sent_at[static_cast<size_t>(routes.send_first[static_cast<size_t>(q)])];
    req.list.emplace_back();
    MPI_Isend(sent_columns.data() + begin, count, MPI_INT32_T, q, kColumnsTag, comm, &req.list.back());
    req.list.emplace_back();
    MPI_Isend(sent_values.data() + begin, count, MPI_DOUBLE, q, kValuesTag, comm, &req.list.back());
    bytes_sent += static_cast<uint64_t>(count) * 12;
  }
  req.wait();
  return rows;
}

}  // namespace cluster
