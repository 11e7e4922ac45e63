#include "cluster/mpi_samples.hpp"

#include <omp.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/primitives.hpp"
#include "core/thread_rand.hpp"

namespace cluster {

InjectedFault InjectedFault::from_environment() {
  InjectedFault f;
  const char *v = std::getenv("SPLITAVG_MPI_FAULT");
  if (!v) return f;
  const std::string s = v;
  const size_t colon = s.find(':');
  if (colon == std::string::npos) return f;
  const std::string kind = s.substr(0, colon);
  f.kind = kind == "nomem" ? kNoMemory : kind == "kill" ? kKill : kNone;
  f.rank = std::atoi(s.c_str() + colon + 1);
  return f;
}

void agree(MPI_Comm comm, const std::string &failure) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  const int mine = failure.empty() ? size : rank;
  int first = size;
  MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm);
  if (first == size) return;
  char message[1024] = {0};
  if (rank == first) std::strncpy(message, failure.c_str(), sizeof message - 1);
  MPI_Bcast(message, sizeof message, MPI_CHAR, first, comm);
  throw RunFailure(message);
}

MpiSamples::MpiSamples(MPI_Comm comm, int32_t t, std::vector<int32_t> read, core::RegressionData block,
                       InjectedFault fault)
    : comm_(comm), t_(t), read_(std::move(read)), block_(std::move(block)), fault_(fault) {
  MPI_Comm_rank(comm_, &rank_);
  MPI_Comm_size(comm_, &size_);
}

void MpiSamples::settle(std::exception_ptr failure) {
  std::string message;
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc &) {
      message = "process " + std::to_string(rank_) + " ran out of memory " + step_;
    } catch (const std::length_error &) {
      message = "process " + std::to_string(rank_) + " ran out of memory " + step_;
    } catch (const std::exception &e) {
      message = e.what();
    }
  }
  agree(comm_, message);
}

void MpiSamples::shuffle(core::RegressionData &data, const core::StopCheck &) {
  const int32_t N = total_samples(), D = block_.D;
  hold_ = hold_offsets(N, size_, t_);
  MPI_Datatype row_type;
  MPI_Type_contiguous(D + 1, MPI_DOUBLE, &row_type);
  MPI_Type_commit(&row_type);

  // Every process draws the same permutation from the seed the run has just set.
  std::vector<int32_t> perm;
  RowBuffer send;
  std::vector<int> send_counts;
  std::exception_ptr failure;
  step_ = "while packing its " + std::to_string(block_.N) + " rows for the exchange";
  try {
    perm = core::random_permutation(N);
    pack_rows(perm, hold_, read_[static_cast<size_t>(rank_)], block_, send, send_counts);
    block_ = core::RegressionData();
  } catch (...) {
    failure = std::current_exception();
  }
  settle(failure);

  std::vector<int> recv_counts(static_cast<size_t>(size_)), send_at(static_cast<size_t>(size_)),
      recv_at(static_cast<size_t>(size_));
  MPI_Alltoall(send_counts.data(), 1, MPI_INT, recv_counts.data(), 1, MPI_INT, comm_);
  size_t received_rows = 0;
  for (int r = 0; r < size_; ++r) {
    send_at[static_cast<size_t>(r)] =
        r ? send_at[static_cast<size_t>(r) - 1] + send_counts[static_cast<size_t>(r) - 1] : 0;
    recv_at[static_cast<size_t>(r)] =
        r ? recv_at[static_cast<size_t>(r) - 1] + recv_counts[static_cast<size_t>(r) - 1] : 0;
    received_rows += static_cast<size_t>(recv_counts[static_cast<size_t>(r)]);
    if (r != rank_)
      bytes_sent_ += static_cast<uint64_t>(send_counts[static_cast<size_t>(r)]) * (static_cast<uint64_t>(D) + 1) * 8u;
  }
  RowBuffer received;
  step_ = "for the " + std::to_string(received_rows) + " rows of its shares";
  try {
    if (fault_.hits(InjectedFault::kNoMemory, rank_)) throw std::bad_alloc();
    received.resize(received_rows * (static_cast<size_t>(D) + 1));
  } catch (...) {
    failure = std::current_exception();
  }
  settle(failure);

  // A process's rows for itself are copied here rather than sent to itself through MPI.
  const size_t stride = static_cast<size_t>(D) + 1, me = static_cast<size_t>(rank_);
  std::copy(send.begin() + static_cast<long>(static_cast<size_t>(send_at[me]) * stride),
            send.begin() + static_cast<long>(static_cast<size_t>(send_at[me] + send_counts[me]) * stride),
            received.begin() + static_cast<long>(static_cast<size_t>(recv_at[me]) * stride));
  std::vector<int> send_others = send_counts, recv_others = recv_counts;
  send_others[me] = recv_others[me] = 0;
  const double start = MPI_Wtime();
  MPI_Alltoallv(send.data(), send_others.data(), send_at.data(), row_type, received.data(), recv_others.data(),
                recv_at.data(), row_type, comm_);
  exchange_seconds_ = MPI_Wtime() - start;
  MPI_Type_free(&row_type);
  send = RowBuffer();

  step_ = "while arranging the rows of its shares";
  try {
    data = arrange_rows(perm, hold_, rank_, read_, std::move(received), recv_counts, D);
  } catch (...) {
    failure = std::current_exception();
  }
  settle(failure);
  shuffled_at_ = MPI_Wtime();
}

int32_t MpiSamples::team_total(int32_t here, const std::string &problem) {
  int32_t low = 0, high = 0;
  MPI_Allreduce(&here, &low, 1, MPI_INT32_T, MPI_MIN, comm_);
  MPI_Allreduce(&here, &high, 1, MPI_INT32_T, MPI_MAX, comm_);
  if (low != t_ || high != t_)
    agree(comm_, here == t_         ? std::string()
                 : !problem.empty() ? "process " + std::to_string(rank_) + ": " + problem
                                    : "process " + std::to_string(rank_) + " got a team of " + std::to_string(here) +
                                          " threads where " + std::to_string(t_) +
                                          " were asked for; check OMP_DYNAMIC and OMP_THREAD_LIMIT");
  return here * size_;
}

splitavg::ShareRange MpiSamples::shares(int32_t here, int32_t T) const {
  return splitavg::ShareRange{total_samples(), T, rank_ * here, here, hold_[static_cast<size_t>(rank_)]};
}

double MpiSamples::objective(const core::RegressionData &data, const double *w, double lambda,
                             const core::StopCheck &) {
  // The terms are formed by every process at once; only their sum runs from process to process,
  // each continuing the one accumulator in position order, so the bits are those of one sum.
  std::vector<double> terms(static_cast<size_t>(data.N));
#pragma omp parallel for num_threads(t_) schedule(static)
  for (int32_t i = 0; i < data.N; ++i) terms[static_cast<size_t>(i)] = core::squared_residual(data, w, i);
  double total = 0.0;
  if (rank_ > 0) MPI_Recv(&total, 1, MPI_DOUBLE, rank_ - 1, 0, comm_, MPI_STATUS_IGNORE);
  for (double term : terms) total = total + term;
  if (rank_ + 1 < size_)
    MPI_Send(&total, 1, MPI_DOUBLE, rank_ + 1, 0, comm_);
  else
    total = core::add_l1_penalty(total, w, data.D, lambda);
  MPI_Bcast(&total, 1, MPI_DOUBLE, size_ - 1, comm_);
  return total;
}

void MpiSamples::average(const splitavg::ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) {
  averaged_at_ = MPI_Wtime();
  if (fault_.hits(InjectedFault::kKill, rank_)) std::raise(SIGKILL);
  const size_t d = static_cast<size_t>(D);
  std::vector<double> mine(static_cast<size_t>(here) * d), all;
  for (int32_t u = 0; u < here; ++u)
    std::copy(models.model(u), models.model(u) + d, mine.begin() + static_cast<long>(u * d));
  if (rank_ == 0) all.resize(static_cast<size_t>(T) * d);
  MPI_Gather(mine.data(), here * D, MPI_DOUBLE, all.data(), here * D, MPI_DOUBLE, 0, comm_);
  if (rank_ == 0)
    splitavg::average_models([&all, d](int32_t s) { return all.data() + static_cast<size_t>(s) * d; }, T, D, w);
  MPI_Bcast(w, D, MPI_DOUBLE, 0, comm_);
}

void MpiSamples::describe(const core::Printer &out) const {
  out.printf("Number of processes = %d\n", size_);
}

}  // namespace cluster
