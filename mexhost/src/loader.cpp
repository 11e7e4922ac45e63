// Loads a module with dlopen and calls its gateway as a MATLAB host would.
#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>

#include "mexhost/host.hpp"

namespace mexhost {

Module::Module(const std::string &path) : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw std::runtime_error(std::string("mexhost: cannot load ") + path + ": " + dlerror());
  gateway_ = reinterpret_cast<Gateway>(dlsym(handle_, "mexFunction"));
  if (!gateway_) {
    dlclose(handle_);
    throw std::runtime_error("mexhost: no mexFunction in " + path);
  }
}

Module::~Module() {
#if defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer modules stay loaded: the leak check at exit scans every thread's dynamic
  // TLS and would trip over the blocks of a module already unloaded, and its reports need the
  // module's symbols.
#else
  if (handle_) dlclose(handle_);
#endif
}

static std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

static std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.substr(0, name.find('.'));
}

CallResult Module::call(int nlhs, const std::vector<const mxArray *> &inputs) const {
  CallResult result;
  std::vector<mxArray *> plhs(static_cast<size_t>(std::max(nlhs, 1)), nullptr);
  std::vector<const mxArray *> prhs(inputs);
  std::string name = base_name(path_);

  detail::begin_array_tracking();
  detail::begin_print_capture(name.c_str());
  try {
    gateway_(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
  } catch (const RaisedError &e) {
    result.failed = true;
    result.error_id = e.id;
    result.error_message = e.message;
  } catch (...) {
    // A C++ exception escaping the gateway would take a real host session down with it.
    result.failed = true;
    result.error_id = "mexhost:uncaughtException";
    result.error_message = "a C++ exception left mexFunction";
  }
  result.printed = detail::end_print_capture();
  result.evaluated = detail::end_evaluation_capture();
  result.warnings = detail::end_warning_capture();
  result.host_calls_in_parallel = detail::end_parallel_count();
  result.lines = split_lines(result.printed);
  std::vector<mxArray *> made = detail::end_array_tracking();

  // Like MATLAB: temporaries are freed, and on an error every output is dropped.
  for (mxArray *a : made) {
    if (std::find(plhs.begin(), plhs.end(), a) == plhs.end()) {
      ++result.temporaries_left;
      mxDestroyArray(a);
    }
  }
  for (int k = 0; !result.failed && k < nlhs; ++k) {
    if (!plhs[k]) {
      result.failed = true;
      // Octave's own words for a call like x = f() when f assigned nothing.
      result.error_id = "";
      result.error_message = "value on right hand side of assignment is undefined";
    }
  }
  for (mxArray *a : plhs) {
    if (result.failed && a) mxDestroyArray(a);
    result.outputs.emplace_back(result.failed ? nullptr : a);
  }
  return result;
}

}  // namespace mexhost
