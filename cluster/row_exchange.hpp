// Moving the rows to the processes that hold their positions (see routes.hpp): point-to-point
// messages whose receive types put every row straight into its place, so no row is copied twice.
#pragma once

#include <mpi.h>

#include <cstdint>

#include "cluster/mat_input.hpp"
#include "cluster/routes.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace cluster {

// The memory Open MPI takes for the receive types of the rows arriving at this process: it
// describes a type by a record of each block, and once committed by a second one (168 bytes a row
// in all with Open MPI 4.1; 192 leaves room), and at most two such types live at once. Open MPI
// does not survive an allocation that fails there, so each exchange first makes sure the memory
// can be had (an out-of-memory failure of the program's own otherwise), and the estimate before
// the run counts it.
constexpr uint64_t kReceiveTypeBytesPerRow = 2 * 192;
int64_t rows_received(const Routes &routes);

// Moves every sent row to its holder; afterwards `rows.held` has all the rows of this process's
// positions. Returns the bytes this process sent. Collective.
uint64_t exchange_dense(MPI_Comm comm, const Routes &routes, DenseRoutes &rows);

// A sparse block's rows moved to their holders: the labels were written through labels.targets()
// while the block was read; the nonzeros go straight from the block's compressed columns to the
// held rows or the send buffers, then travel. Returns the compressed rows of this process's
// positions, in order; `bytes_sent` gets what it sent. Collective.
core::SparseRows exchange_sparse(MPI_Comm comm, const Routes &routes, SparseBlock &&block, SparseLabels &&labels,
                                 int32_t D, uint64_t &bytes_sent);

}  // namespace cluster
