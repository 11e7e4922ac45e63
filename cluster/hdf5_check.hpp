// What HDF5 itself says of a -v7.3 MAT file, beyond what matio reads from it: matio opens a file
// that HDF5 cannot, and reads a dataset over the bytes its declared shape covers even where the
// dataset stores fewer (a damaged shape), so those checks are made here, before any value is read.
#pragma once

#include <string>

namespace cluster {

// "" when HDF5 opens the file and its end lies within the file's bytes; else what is wrong.
std::string hdf5_file_problem(const std::string &path);

// "" when every dataset of variable `name` (the variable itself, or the data, ir and jc of a
// sparse one) stores all the values its shape declares; else what is wrong, naming `name`. Also ""
// where the file has no such variable: matio says so.
std::string hdf5_storage_problem(const std::string &path, const std::string &name);

}  // namespace cluster
