// libmx stand-in: a plain in-memory mxArray with the classes, shapes and complexity that
// MATLAB has, and a registry of live arrays so that tests can see what a module leaves behind.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "mexhost/faults.h"
#include "mexhost/host.hpp"

struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  std::vector<mwSize> dims{0, 0};
  bool complex = false;
  bool sparse = false;
  std::vector<unsigned char> re;  // element data; for sparse arrays nzmax doubles
  std::vector<unsigned char> im;
  std::vector<mwIndex> ir, jc;      // sparse row indices and column starts
  std::vector<mxArray *> children;  // cell elements, or struct values (element-major)
  std::vector<std::string> fields;
  std::string class_name;
};

namespace {

std::atomic<long> g_live{0};
std::mutex g_track_mutex;
bool g_tracking = false;
std::set<mxArray *> g_tracked;

size_t element_size(mxClassID cls) {
  switch (cls) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxCHAR_CLASS:
      return 2;
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxLOGICAL_CLASS:
      return 1;
    default:
      return 0;
  }
}

size_t count(const std::vector<mwSize> &dims) {
  size_t n = 1;
  for (mwSize d : dims) n *= d;
  return n;
}

mxArray *track(mxArray *a) {
  g_live.fetch_add(1);
  std::lock_guard<std::mutex> lock(g_track_mutex);
  if (g_tracking) g_tracked.insert(a);
  return a;
}

std::atomic<size_t> g_raise_above{0};
std::string g_raise_prefix;

mxArray *new_array(mxClassID cls, std::vector<mwSize> dims, bool complex) {
  if (dims.size() < 2) dims.resize(2, 1);
  size_t bytes = count(dims) * element_size(cls);
  const size_t above = g_raise_above.load();
  if (above > 0 && bytes > above)
    throw std::runtime_error(g_raise_prefix + ": failed to allocate " + std::to_string(bytes) + " bytes of memory");
  auto *a = new (std::nothrow) mxArray_tag;
  if (!a) return nullptr;
  a->cls = cls;
  a->dims = std::move(dims);
  a->complex = complex;
  try {
    a->re.assign(bytes, 0);
    if (complex) a->im.assign(bytes, 0);
  } catch (const std::bad_alloc &) {
    delete a;
    return nullptr;
  }
  return track(a);
}

bool is_numeric_class(mxClassID c) {
  return c >= mxDOUBLE_CLASS && c <= mxUINT64_CLASS;
}

template <typename T>
double first_as_double(const mxArray *a) {
  T v;
  std::memcpy(&v, a->re.data(), sizeof v);
  return static_cast<double>(v);
}

}  // namespace

extern "C" {

size_t mxGetM(const mxArray *a) {
  return a->dims[0];
}
size_t mxGetN(const mxArray *a) {
  size_t n = 1;
  for (size_t k = 1; k < a->dims.size(); ++k) n *= a->dims[k];
  return n;
}
size_t mxGetNumberOfElements(const mxArray *a) {
  return count(a->dims);
}
mwSize mxGetNumberOfDimensions(const mxArray *a) {
  return a->dims.size();
}
const mwSize *mxGetDimensions(const mxArray *a) {
  return a->dims.data();
}
mxClassID mxGetClassID(const mxArray *a) {
  return a->cls;
}
const char *mxGetClassName(const mxArray *a) {
  static const char *names[] = {"unknown", "cell",   "struct", "logical", "char",           "void",
                                "double",  "single", "int8",   "uint8",   "int16",          "uint16",
                                "int32",   "uint32", "int64",  "uint64",  "function_handle"};
  return names[a->cls];
}
bool mxIsDouble(const mxArray *a) {
  return a->cls == mxDOUBLE_CLASS;
}
bool mxIsSingle(const mxArray *a) {
  return a->cls == mxSINGLE_CLASS;
}
bool mxIsComplex(const mxArray *a) {
  return a->complex;
}
bool mxIsSparse(const mxArray *a) {
  return a->sparse;
}
bool mxIsNumeric(const mxArray *a) {
  return is_numeric_class(a->cls);
}
bool mxIsLogical(const mxArray *a) {
  return a->cls == mxLOGICAL_CLASS;
}
bool mxIsChar(const mxArray *a) {
  return a->cls == mxCHAR_CLASS;
}
bool mxIsCell(const mxArray *a) {
  return a->cls == mxCELL_CLASS;
}
bool mxIsStruct(const mxArray *a) {
  return a->cls == mxSTRUCT_CLASS;
}
bool mxIsEmpty(const mxArray *a) {
  return count(a->dims) == 0;
}
bool mxIsInt32(const mxArray *a) {
  return a->cls == mxINT32_CLASS;
}

double *mxGetPr(const mxArray *a) {
  return a->re.empty() ? nullptr : reinterpret_cast<double *>(const_cast<unsigned char *>(a->re.data()));
}
double *mxGetPi(const mxArray *a) {
  return a->im.empty() ? nullptr : reinterpret_cast<double *>(const_cast<unsigned char *>(a->im.data()));
}
void *mxGetData(const mxArray *a) {
  return a->re.empty() ? nullptr : const_cast<unsigned char *>(a->re.data());
}
mxLogical *mxGetLogicals(const mxArray *a) {
  return a->cls == mxLOGICAL_CLASS ? reinterpret_cast<mxLogical *>(mxGetData(a)) : nullptr;
}
mwIndex *mxGetIr(const mxArray *a) {
  return a->sparse ? const_cast<mwIndex *>(a->ir.data()) : nullptr;
}
mwIndex *mxGetJc(const mxArray *a) {
  return a->sparse ? const_cast<mwIndex *>(a->jc.data()) : nullptr;
}
mwSize mxGetNzmax(const mxArray *a) {
  if (a->sparse) return a->ir.size();
  return count(a->dims);
}
double mxGetScalar(const mxArray *a) {
  if (a->re.empty()) return 0.0;
  switch (a->cls) {
    case mxDOUBLE_CLASS:
      return first_as_double<double>(a);
    case mxSINGLE_CLASS:
      return first_as_double<float>(a);
    case mxINT8_CLASS:
      return first_as_double<int8_t>(a);
    case mxUINT8_CLASS:
      return first_as_double<uint8_t>(a);
    case mxINT16_CLASS:
      return first_as_double<int16_t>(a);
    case mxUINT16_CLASS:
      return first_as_double<uint16_t>(a);
    case mxINT32_CLASS:
      return first_as_double<int32_t>(a);
    case mxUINT32_CLASS:
      return first_as_double<uint32_t>(a);
    case mxINT64_CLASS:
      return first_as_double<int64_t>(a);
    case mxUINT64_CLASS:
      return first_as_double<uint64_t>(a);
    case mxLOGICAL_CLASS:
      return first_as_double<uint8_t>(a);
    case mxCHAR_CLASS:
      return first_as_double<uint16_t>(a);
    default:
      return 0.0;
  }
}

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  return new_array(mxDOUBLE_CLASS, {m, n}, flag == mxCOMPLEX);
}
mxArray *mxCreateDoubleScalar(double value) {
  mxArray *a = new_array(mxDOUBLE_CLASS, {1, 1}, false);
  if (a) std::memcpy(a->re.data(), &value, sizeof value);
  return a;
}
mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID cls, mxComplexity flag) {
  return new_array(cls, {m, n}, flag == mxCOMPLEX);
}
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID cls, mxComplexity flag) {
  return new_array(cls, std::vector<mwSize>(dims, dims + ndim), flag == mxCOMPLEX);
}
mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n) {
  return new_array(mxLOGICAL_CLASS, {m, n}, false);
}
mxArray *mxCreateLogicalScalar(bool value) {
  mxArray *a = new_array(mxLOGICAL_CLASS, {1, 1}, false);
  if (a) a->re[0] = value ? 1 : 0;
  return a;
}
mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag) {
  mxArray *a = new_array(mxDOUBLE_CLASS, {0, 0}, false);
  if (!a) return nullptr;
  a->dims = {m, n};
  a->sparse = true;
  nzmax = std::max<mwSize>(nzmax, 1);
  a->re.assign(nzmax * sizeof(double), 0);
  if (flag == mxCOMPLEX) {
    a->complex = true;
    a->im.assign(nzmax * sizeof(double), 0);
  }
  a->ir.assign(nzmax, 0);
  a->jc.assign(n + 1, 0);
  return a;
}
mxArray *mxCreateSparseLogicalMatrix(mwSize m, mwSize n, mwSize nzmax) {
  mxArray *a = new_array(mxLOGICAL_CLASS, {0, 0}, false);
  if (!a) return nullptr;
  a->dims = {m, n};
  a->sparse = true;
  nzmax = std::max<mwSize>(nzmax, 1);
  a->re.assign(nzmax, 0);
  a->ir.assign(nzmax, 0);
  a->jc.assign(n + 1, 0);
  return a;
}
mxArray *mxCreateString(const char *str) {
  size_t len = std::strlen(str);
  mxArray *a = new_array(mxCHAR_CLASS, {len ? 1u : 0u, len}, false);
  if (!a) return nullptr;
  for (size_t k = 0; k < len; ++k) {
    uint16_t c = static_cast<unsigned char>(str[k]);
    std::memcpy(a->re.data() + 2 * k, &c, 2);
  }
  return a;
}
int mxGetString(const mxArray *a, char *buf, mwSize buflen) {
  // As the hosts do: the characters in column order, cut to buflen - 1 and ended by a zero; 1 when
  // a is no char array or did not fit.
  if (!a || !buf || buflen == 0) return 1;
  buf[0] = '\0';
  if (a->cls != mxCHAR_CLASS) return 1;
  const size_t n = a->re.size() / 2;
  const size_t copied = std::min<size_t>(n, buflen - 1);
  for (size_t k = 0; k < copied; ++k) {
    uint16_t c;
    std::memcpy(&c, a->re.data() + 2 * k, 2);
    buf[k] = static_cast<char>(c);
  }
  buf[copied] = '\0';
  return copied == n ? 0 : 1;
}
mxArray *mxCreateCellMatrix(mwSize m, mwSize n) {
  mxArray *a = new_array(mxCELL_CLASS, {m, n}, false);
  if (a) a->children.assign(m * n, nullptr);
  return a;
}
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **names) {
  mxArray *a = new_array(mxSTRUCT_CLASS, {m, n}, false);
  if (!a) return nullptr;
  for (int f = 0; f < nfields; ++f) a->fields.emplace_back(names[f]);
  a->children.assign(m * n * nfields, nullptr);
  return a;
}
void mxDestroyArray(mxArray *a) {
  if (!a) return;
  for (mxArray *child : a->children) mxDestroyArray(child);
  {
    std::lock_guard<std::mutex> lock(g_track_mutex);
    g_tracked.erase(a);
  }
  g_live.fetch_sub(1);
  delete a;
}

mxArray *mxGetCell(const mxArray *a, mwIndex i) {
  return a->cls == mxCELL_CLASS && i < a->children.size() ? a->children[i] : nullptr;
}
// An array placed in a cell or struct now belongs to its parent, not to the call.
static void adopt(mxArray *value) {
  std::lock_guard<std::mutex> lock(g_track_mutex);
  g_tracked.erase(value);
}
void mxSetCell(mxArray *a, mwIndex i, mxArray *value) {
  if (a->cls != mxCELL_CLASS || i >= a->children.size()) return;
  adopt(value);
  mxDestroyArray(a->children[i]);
  a->children[i] = value;
}
int mxGetNumberOfFields(const mxArray *a) {
  return a->cls == mxSTRUCT_CLASS ? static_cast<int>(a->fields.size()) : 0;
}
const char *mxGetFieldNameByNumber(const mxArray *a, int n) {
  if (a->cls != mxSTRUCT_CLASS || n < 0 || n >= static_cast<int>(a->fields.size())) return nullptr;
  return a->fields[n].c_str();
}
static long field_slot(const mxArray *a, mwIndex i, const char *name) {
  if (a->cls != mxSTRUCT_CLASS || i >= count(a->dims)) return -1;
  auto it = std::find(a->fields.begin(), a->fields.end(), name);
  if (it == a->fields.end()) return -1;
  return static_cast<long>(i * a->fields.size() + (it - a->fields.begin()));
}
mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name) {
  long slot = field_slot(a, i, name);
  return slot < 0 ? nullptr : a->children[slot];
}
void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value) {
  long slot = field_slot(a, i, name);
  if (slot < 0) return;
  adopt(value);
  mxDestroyArray(a->children[slot]);
  a->children[slot] = value;
}

void mexhost_raise_on_allocations_above(size_t bytes, const char *prefix) {
  g_raise_prefix = prefix ? prefix : "";
  g_raise_above = bytes;
}

void *mxMalloc(size_t n) {
  return std::malloc(n ? n : 1);
}
void *mxCalloc(size_t n, size_t size) {
  return std::calloc(n ? n : 1, size ? size : 1);
}
void mxFree(void *p) {
  std::free(p);
}

bool mxIsFinite(double v) {
  return std::isfinite(v);
}
bool mxIsInf(double v) {
  return std::isinf(v);
}
bool mxIsNaN(double v) {
  return std::isnan(v);
}

}  // extern "C"

namespace mexhost {

static void copy_doubles(std::vector<unsigned char> &to, const std::vector<double> &from, size_t n) {
  n = std::min(from.size(), n);
  if (n) std::memcpy(to.data(), from.data(), n * sizeof(double));
}

ArrayPtr make_double(size_t m, size_t n, const std::vector<double> &vals) {
  ArrayPtr a(mxCreateDoubleMatrix(m, n, mxREAL));
  copy_doubles(a->re, vals, m * n);
  return a;
}
ArrayPtr make_scalar(double value) {
  return ArrayPtr(mxCreateDoubleScalar(value));
}
ArrayPtr make_row(std::initializer_list<double> vals) {
  return make_double(1, vals.size(), std::vector<double>(vals));
}
ArrayPtr make_numeric(mxClassID cls, size_t m, size_t n) {
  return ArrayPtr(mxCreateNumericMatrix(m, n, cls, mxREAL));
}
ArrayPtr make_complex(size_t m, size_t n, const std::vector<double> &re, const std::vector<double> &im) {
  ArrayPtr a(mxCreateDoubleMatrix(m, n, mxCOMPLEX));
  copy_doubles(a->re, re, m * n);
  copy_doubles(a->im, im, m * n);
  return a;
}
ArrayPtr make_sparse(size_t m, size_t n) {
  return ArrayPtr(mxCreateSparse(m, n, 0, mxREAL));
}
// Compressed columns of the nonzeros of a column-major matrix, as a host stores them.
static ArrayPtr sparse_from(size_t m, size_t n, const std::vector<double> &full, bool logical) {
  size_t nonzeros = 0;
  for (size_t k = 0; k < m * n && k < full.size(); ++k) nonzeros += full[k] != 0;
  ArrayPtr a(logical ? mxCreateSparseLogicalMatrix(m, n, nonzeros) : mxCreateSparse(m, n, nonzeros, mxREAL));
  if (!a) return a;
  size_t at = 0;
  for (size_t j = 0; j < n; ++j) {
    a->jc[j] = at;
    for (size_t i = 0; i < m; ++i) {
      const size_t k = i + j * m;
      if (k >= full.size() || full[k] == 0) continue;
      a->ir[at] = i;
      if (logical)
        a->re[at] = 1;
      else
        std::memcpy(a->re.data() + at * sizeof(double), &full[k], sizeof(double));
      ++at;
    }
  }
  a->jc[n] = at;
  return a;
}
ArrayPtr make_sparse(size_t m, size_t n, const std::vector<double> &full) {
  return sparse_from(m, n, full, false);
}
ArrayPtr make_sparse_logical(size_t m, size_t n, const std::vector<double> &full) {
  return sparse_from(m, n, full, true);
}
ArrayPtr make_sparse(size_t m, size_t n, const std::vector<size_t> &jc, const std::vector<size_t> &ir,
                     const std::vector<double> &pr, size_t nzmax) {
  ArrayPtr a(mxCreateSparse(m, n, std::max(nzmax, pr.size()), mxREAL));
  if (!a) return a;
  std::copy(jc.begin(), jc.begin() + static_cast<std::ptrdiff_t>(std::min(jc.size(), n + 1)), a->jc.begin());
  std::copy(ir.begin(), ir.begin() + static_cast<std::ptrdiff_t>(std::min(ir.size(), a->ir.size())), a->ir.begin());
  if (!pr.empty()) std::memcpy(a->re.data(), pr.data(), std::min(pr.size(), a->ir.size()) * sizeof(double));
  return a;
}
std::vector<double> full_values(const mxArray *a) {
  if (!a || !a->sparse) return values(a);
  const size_t m = a->dims[0], n = mxGetN(a);
  std::vector<double> full(m * n, 0.0);
  for (size_t j = 0; j < n; ++j)
    for (size_t k = a->jc[j]; k < a->jc[j + 1]; ++k) {
      double v;
      if (a->cls == mxLOGICAL_CLASS)
        v = a->re[k] ? 1.0 : 0.0;
      else
        std::memcpy(&v, a->re.data() + k * sizeof(double), sizeof v);
      full[a->ir[k] + j * m] = v;
    }
  return full;
}
ArrayPtr make_string(const char *text) {
  return ArrayPtr(mxCreateString(text));
}
ArrayPtr make_cell(size_t m, size_t n) {
  return ArrayPtr(mxCreateCellMatrix(m, n));
}
ArrayPtr make_struct(const std::vector<std::string> &fields) {
  std::vector<const char *> names;
  for (const auto &f : fields) names.push_back(f.c_str());
  return ArrayPtr(mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data()));
}

std::vector<double> values(const mxArray *a) {
  if (!a || a->cls != mxDOUBLE_CLASS || a->sparse) return {};
  const double *p = reinterpret_cast<const double *>(a->re.data());
  return std::vector<double>(p, p + count(a->dims));
}

long live_arrays() {
  return g_live.load();
}

namespace detail {
void begin_array_tracking() {
  std::lock_guard<std::mutex> lock(g_track_mutex);
  g_tracked.clear();
  g_tracking = true;
}
std::vector<mxArray *> end_array_tracking() {
  std::lock_guard<std::mutex> lock(g_track_mutex);
  g_tracking = false;
  std::vector<mxArray *> made(g_tracked.begin(), g_tracked.end());
  g_tracked.clear();
  return made;
}
}  // namespace detail

}  // namespace mexhost
