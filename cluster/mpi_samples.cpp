#include "cluster/mpi_samples.hpp"

#include <omp.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"

namespace cluster {

InjectedFault InjectedFault::from_environment() {
  InjectedFault f;
  const char *v = std::getenv("SPLITAVG_MPI_FAULT");
  if (!v) return f;
  const std::string s = v;
  const size_t colon = s.find(':');
  if (colon == std::string::npos) return f;
  const std::string kind = s.substr(0, colon);
  f.kind = kind == "nomem"      ? kNoMemory
           : kind == "killread" ? kKillReading
           : kind == "kill"     ? kKill
           : kind == "stall"    ? kStall
                                : kNone;
  f.rank = std::atoi(s.c_str() + colon + 1);
  return f;
}

void agree(MPI_Comm comm, const std::string &failure, int status) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  const int mine = failure.empty() ? size : rank;
  int first = size;
  MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm);
  if (first == size) return;
  char message[1024] = {0};
  int code = status;
  if (rank == first) std::strncpy(message, failure.c_str(), sizeof message - 1);
  MPI_Bcast(message, sizeof message, MPI_CHAR, first, comm);
  MPI_Bcast(&code, 1, MPI_INT, first, comm);
  throw ProgramFailure(message, code);
}

template <typename Rows>
MpiSamples<Rows>::MpiSamples(MPI_Comm comm, int32_t t, int32_t N, std::vector<int32_t> hold, InjectedFault fault)
    : comm_(comm), threads_per_process_(t), N_(N), first_held_(std::move(hold)), fault_(fault) {
  MPI_Comm_rank(comm_, &rank_);
  MPI_Comm_size(comm_, &size_);
}

template <typename Rows>
void MpiSamples<Rows>::agree(std::exception_ptr failure) {
  std::string message;
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc &) {
      message = "process " + std::to_string(rank_) + " ran out of memory for its models";
    } catch (const std::length_error &) {
      message = "process " + std::to_string(rank_) + " ran out of memory for its models";
    } catch (const std::exception &e) {
      message = e.what();
    }
  }
  cluster::agree(comm_, message);
}

template <typename Rows>
int32_t MpiSamples<Rows>::all_threads(int32_t here, const std::string &problem) {
  if (started_at_ == 0.0) started_at_ = MPI_Wtime();
  int32_t low = 0, high = 0;
  MPI_Allreduce(&here, &low, 1, MPI_INT32_T, MPI_MIN, comm_);
  MPI_Allreduce(&here, &high, 1, MPI_INT32_T, MPI_MAX, comm_);
  const int32_t t = threads_per_process_;
  if (low != t || high != t)
    cluster::agree(comm_, here == t          ? std::string()
                          : !problem.empty() ? "process " + std::to_string(rank_) + ": " + problem
                                             : "process " + std::to_string(rank_) + " got a team of " +
                                                   std::to_string(here) + " threads where " + std::to_string(t) +
                                                   " were asked for; check OMP_DYNAMIC and OMP_THREAD_LIMIT");
  return here * size_;
}

template <typename Rows>
splitavg::ShareRange MpiSamples<Rows>::shares(int32_t here, int32_t T) const {
  return splitavg::ShareRange{N_, T, rank_ * here, here, first_held_[static_cast<size_t>(rank_)]};
}

template <typename Rows>
double MpiSamples<Rows>::objective(const Rows &rows, const double *w, double lambda, const core::StopCheck &,
                                   const double *bias) {
  std::vector<double> terms(static_cast<size_t>(rows.N));
#pragma omp parallel for num_threads(threads_per_process_) schedule(static)
  for (int32_t i = 0; i < rows.N; ++i)
    terms[static_cast<size_t>(i)] =
        bias ? std::pow((rows.dot(i, w) + *bias) - rows.label(i), 2.0) : core::squared_residual(rows, w, i);
  double total = 0.0;
  if (rank_ > 0) MPI_Recv(&total, 1, MPI_DOUBLE, rank_ - 1, 0, comm_, MPI_STATUS_IGNORE);
  for (double term : terms) total = total + term;
  if (rank_ + 1 < size_)
    MPI_Send(&total, 1, MPI_DOUBLE, rank_ + 1, 0, comm_);
  else
    total = core::add_l1_penalty(total, w, rows.D, lambda);
  MPI_Bcast(&total, 1, MPI_DOUBLE, size_ - 1, comm_);
  return total;
}

template <typename Rows>
void MpiSamples<Rows>::average(const splitavg::ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) {
  averaged_at_ = MPI_Wtime();
  if (fault_.hits(InjectedFault::kKill, rank_)) std::raise(SIGKILL);
  if (D <= 0) return;
  std::vector<double> sum;
  on_every_process(comm_, "for the sum of the models", [&] { sum.assign(static_cast<size_t>(D), 0.0); });
  MPI_Datatype vector_type;
  MPI_Type_contiguous(D, MPI_DOUBLE, &vector_type);  // one element, so no count exceeds an int
  MPI_Type_commit(&vector_type);
  if (rank_ > 0) MPI_Recv(sum.data(), 1, vector_type, rank_ - 1, 1, comm_, MPI_STATUS_IGNORE);
  for (int32_t u = 0; u < here; ++u) {
    const double *m = models.model(u);
    for (int32_t j = 0; j < D; ++j) sum[static_cast<size_t>(j)] = sum[static_cast<size_t>(j)] + m[j];
  }
  if (rank_ + 1 < size_) {
    MPI_Send(sum.data(), 1, vector_type, rank_ + 1, 1, comm_);
  } else {
    const double divisor = static_cast<double>(T);
    for (int32_t j = 0; j < D; ++j) w[j] = sum[static_cast<size_t>(j)] / divisor;
  }
  MPI_Bcast(w, 1, vector_type, size_ - 1, comm_);
  MPI_Type_free(&vector_type);
}

template <typename Rows>
void MpiSamples<Rows>::describe(const core::Printer &out) const {
  out.printf("Number of processes = %d\n", size_);
}

template class MpiSamples<core::RegressionData>;
template class MpiSamples<core::SparseRows>;

}  // namespace cluster
