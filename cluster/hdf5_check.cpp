#include "cluster/hdf5_check.hpp"

#include <hdf5.h>

#include <cstdint>
#include <vector>

namespace cluster {
namespace {

// An HDF5 identifier closed with its own function when it goes.
class Handle {
 public:
  Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~Handle() {
    if (id_ >= 0) close_(id_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

// HDF5 prints its own error stack by default; the program reports problems itself.
void quiet_hdf5() {
  static const bool quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
  (void)quiet;
}

// "" when dataset `where` stores every value its shape declares.
std::string dataset_problem(hid_t file, const std::string &where, const std::string &what) {
  const Handle set(H5Dopen2(file, where.c_str(), H5P_DEFAULT), H5Dclose);
  if (!set.ok()) return what + ": the file is truncated or damaged (its dataset cannot be opened)";
  const Handle space(H5Dget_space(set.get()), H5Sclose);
  const Handle type(H5Dget_type(set.get()), H5Tclose);
  const Handle create(H5Dget_create_plist(set.get()), H5Pclose);
  if (!space.ok() || !type.ok() || !create.ok()) return what + ": the file is truncated or damaged";
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0 || rank > 32) return what + ": the file is truncated or damaged (its shape cannot be read)";
  std::vector<hsize_t> dims(static_cast<size_t>(rank));
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  uint64_t values = 1;
  for (hsize_t d : dims) {
    if (d == 0) return "";  // no values: nothing to store
    if (values > UINT64_MAX / d) return what + ": the file is truncated or damaged (its shape holds over 2^64 values)";
    values *= d;
  }
  const size_t width = H5Tget_size(type.get());
  const H5D_layout_t layout = H5Pget_layout(create.get());
  if (layout == H5D_CHUNKED) {
    // Every chunk the shape covers must be there: one missing would read as fill values.
    std::vector<hsize_t> chunk(static_cast<size_t>(rank));
    if (H5Pget_chunk(create.get(), rank, chunk.data()) != rank) return what + ": the file is truncated or damaged";
    uint64_t wanted = 1;
    for (int k = 0; k < rank; ++k) {
      if (chunk[static_cast<size_t>(k)] == 0) return what + ": the file is truncated or damaged";
      wanted *= (dims[static_cast<size_t>(k)] + chunk[static_cast<size_t>(k)] - 1) / chunk[static_cast<size_t>(k)];
    }
    hsize_t stored = 0;  // over the dataset's whole space (HDF5 1.10 does not take H5S_ALL here)
    if (H5Dget_num_chunks(set.get(), space.get(), &stored) < 0 || stored != wanted)
      return what + ": the file is truncated or damaged (it declares " + std::to_string(wanted) +
             " chunks of values but stores " + std::to_string(stored) + ")";
    return "";
  }
  // Contiguous or compact: the stored bytes are the values' bytes.
  const uint64_t stored = H5Dget_storage_size(set.get());
  if (width == 0 || stored / width != values || stored % width != 0)
    return what + ": the file is truncated or damaged (it declares " + std::to_string(values) + " values but stores " +
           std::to_string(stored / (width ? width : 1)) + ")";
  return "";
}

}  // namespace

std::string hdf5_file_problem(const std::string &path) {
  quiet_hdf5();
  const Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!file.ok()) return "its HDF5 structure cannot be read";
  hsize_t size = 0;
  haddr_t end = 0;
  if (H5Fget_filesize(file.get(), &size) < 0 || H5Fget_eoa(file.get(), &end) < 0 || end > size)
    return "it ends before the end its HDF5 structure declares";
  return "";
}

std::string hdf5_storage_problem(const std::string &path, const std::string &name) {
  quiet_hdf5();
  const Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!file.ok()) return name + ": the file is truncated or damaged (its HDF5 structure cannot be read)";
  const std::string where = "/" + name;
  if (H5Lexists(file.get(), where.c_str(), H5P_DEFAULT) <= 0) return "";
  const bool group = [&] {
    const Handle g(H5Gopen2(file.get(), where.c_str(), H5P_DEFAULT), H5Gclose);
    return g.ok();
  }();
  if (!group) return dataset_problem(file.get(), where, name);
  // A sparse variable: a group of its values, row indices and column starts.
  for (const char *part : {"data", "ir", "jc"}) {
    const std::string inner = where + "/" + part;
    if (H5Lexists(file.get(), inner.c_str(), H5P_DEFAULT) <= 0) continue;
    const std::string problem = dataset_problem(file.get(), inner, name + " (its " + part + ")");
    if (!problem.empty()) return problem;
  }
  return "";
}

}  // namespace cluster
