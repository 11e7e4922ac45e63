// Steps every process of a run takes together: when one fails, all end with one message (the
// lowest-numbered failing process's) and one exit status, instead of some waiting for ever in a
// collective step the failed one never reaches.
#pragma once

#include <mpi.h>

#include <new>
#include <stdexcept>
#include <string>

#include "cluster/mat_input.hpp"

namespace cluster {

// A run's fault, reported once by process 0 with the exit status the program ends with: 1 for a
// fault of the data, the memory or the run, 2 for a command line the program refuses.
class ProgramFailure : public std::runtime_error {
 public:
  ProgramFailure(const std::string &what, int status_) : std::runtime_error(what), status(status_) {}
  int status;
};

// A collective check: when any process failed, every process throws ProgramFailure with the
// message and status of the lowest-numbered one that failed.
void agree(MPI_Comm comm, const std::string &failure, int status = 1);

// Runs a step that involves this process alone, then agrees on its outcome. `doing` completes
// "process r ran out of memory ..." for an allocation that failed.
template <typename Step>
void on_every_process(MPI_Comm comm, const std::string &doing, Step step) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  std::string failure;
  int status = 1;
  try {
    step();
  } catch (const ProgramFailure &e) {
    failure = e.what();
    status = e.status;
  } catch (const RunFailure &e) {
    failure = e.what();
  } catch (const std::bad_alloc &) {
    failure = "process " + std::to_string(rank) + " ran out of memory " + doing;
  } catch (const std::length_error &) {
    failure = "process " + std::to_string(rank) + " ran out of memory " + doing;
  } catch (const std::exception &e) {
    failure = "process " + std::to_string(rank) + ": " + e.what();
  }
  agree(comm, failure, status);
}

}  // namespace cluster
