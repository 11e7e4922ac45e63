// Linked into every module. The OpenMP runtime's worker threads outlive a parallel region, so if
// this module were the runtime's only user, unloading the module (clear mex in MATLAB, or a host
// that dlcloses it) would unmap the runtime under its sleeping threads and crash the host. Marking
// the runtime as never-unloaded when the module is loaded keeps the host safe.
#include <dlfcn.h>
#include <omp.h>

namespace {

__attribute__((constructor)) void keep_openmp_runtime_loaded() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&omp_get_num_threads), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace
