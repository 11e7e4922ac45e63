#include "frame/options.hpp"

#include <cmath>
#include <cstring>

namespace frame {
namespace {

constexpr int32_t kMaxThreads = 1024;

struct FieldRule {
  const char *name;
  unsigned bit;
  double low, high;
};
const FieldRule kRules[] = {
    {"seed", kSeedOption, 0.0, 4294967295.0},
    {"threads", kThreadsOption, 1.0, kMaxThreads},
    {"progress", kProgressOption, 0.0, 1.0},
};

// "seed, threads and progress": the fields of `accepted`, for messages.
void describe_fields(unsigned accepted, char *buf, size_t size) {
  const FieldRule *taken[sizeof kRules / sizeof kRules[0]];
  size_t n = 0;
  for (const FieldRule &r : kRules)
    if (accepted & r.bit) taken[n++] = &r;
  buf[0] = '\0';
  for (size_t k = 0; k < n; ++k) {
    std::strncat(buf, k == 0 ? "" : k + 1 == n ? " and " : ", ", size - std::strlen(buf) - 1);
    std::strncat(buf, taken[k]->name, size - std::strlen(buf) - 1);
  }
}

// A whole number in [low, high] given as a real numeric or logical scalar.
bool whole_number(const mxArray *v, double low, double high, double &out) {
  if (!(mxIsNumeric(v) || mxIsLogical(v)) || mxIsComplex(v) || mxIsSparse(v) || mxGetNumberOfElements(v) != 1)
    return false;
  out = mxGetScalar(v);
  return std::isfinite(out) && out == std::floor(out) && out >= low && out <= high;
}

}  // namespace

bool read_options(const char *module, unsigned accepted, const mxArray *opts, int position, CallOptions &out,
                  CallError &err) {
  if (mxIsDouble(opts) && mxIsEmpty(opts)) return true;  // [] stands for no options
  if (!mxIsStruct(opts) || mxGetNumberOfElements(opts) != 1) {
    err.set("invalidOptions", "input %d (opts) must be a scalar struct of options; got a %s array.", position + 1,
            mxGetClassName(opts));
    return false;
  }
  const int fields = mxGetNumberOfFields(opts);
  for (int f = 0; f < fields; ++f) {
    const char *name = mxGetFieldNameByNumber(opts, f);
    const FieldRule *rule = nullptr;
    for (const FieldRule &r : kRules)
      if ((accepted & r.bit) && std::strcmp(name, r.name) == 0) rule = &r;
    if (!rule) {
      char fields_taken[64];
      describe_fields(accepted, fields_taken, sizeof fields_taken);
      err.set("unknownOption", "opts.%s is not an option of %s; it takes %s.", name, module, fields_taken);
      return false;
    }
    const mxArray *value = mxGetField(opts, 0, name);
    double v = 0.0;
    if (!value || !whole_number(value, rule->low, rule->high, v)) {
      if (rule->bit == kProgressOption)
        err.set("invalidOption", "opts.progress must be true or false (a logical or numeric 1 or 0).");
      else
        err.set("invalidOption", "opts.%s must be a whole number from %.0f to %.0f.", name, rule->low, rule->high);
      return false;
    }
    if (rule->bit == kProgressOption) {
      out.progress = v != 0.0;
    } else if (rule->bit == kSeedOption) {
      out.has_seed = true;
      out.seed = static_cast<uint32_t>(v);
    } else {
      out.threads = static_cast<int32_t>(v);
    }
  }
  return true;
}

}  // namespace frame
