// libmex stand-in: printing into a capture buffer and raising errors as C++ exceptions, the way
// Octave raises them, so that the loader can report them.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "mexhost/display.h"
#include "mexhost/host.hpp"
#include "mexhost/interrupt.h"

namespace {

std::mutex g_print_mutex;
bool g_capturing = false;
std::string g_captured;
std::string g_function_name = "mexhost";
std::vector<mexhost::Evaluation> g_evaluated;
std::vector<mexhost::Warning> g_warnings;
long g_calls_in_parallel = 0;

// The nesting level of OpenMP parallel regions around the caller, asked of the runtime the module
// loaded. mexhost itself does not link one: a process that loads no OpenMP module must not get one.
int openmp_level() {
  using GetLevel = int (*)();
  static std::atomic<GetLevel> cached{nullptr};
  GetLevel f = cached.load();
  if (!f) {
    for (const char *lib : {"libgomp.so.1", "libomp.so", "libomp.so.5", "libiomp5.so"}) {
      void *h = dlopen(lib, RTLD_NOW | RTLD_NOLOAD);
      if (!h) continue;
      f = reinterpret_cast<GetLevel>(dlsym(h, "omp_get_level"));
      dlclose(h);  // the modules keep their runtime loaded for good
      if (f) break;
    }
    if (!f) return 0;
    cached = f;
  }
  return f();
}

// Under g_print_mutex, while capturing.
void note_host_call() {
  if (openmp_level() > 0) ++g_calls_in_parallel;
}

std::string format(const char *fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), fmt, args);
  return std::string(buf.data(), static_cast<size_t>(n));
}

void note_printed();

}  // namespace

extern "C" {

int mexPrintf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  note_printed();
  std::lock_guard<std::mutex> lock(g_print_mutex);
  if (g_capturing) {
    note_host_call();
    g_captured += text;
  } else {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  }
  return static_cast<int>(text.size());
}

void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  throw mexhost::RaisedError{id ? id : "", text};
}

void mexErrMsgTxt(const char *msg) {
  throw mexhost::RaisedError{"", msg ? msg : ""};
}

void mexWarnMsgIdAndTxt(const char *id, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_print_mutex);
  if (g_capturing) {
    note_host_call();
    g_warnings.push_back({id ? id : "", text});
  } else {
    std::fprintf(stderr, "warning: %s (%s)\n", text.c_str(), id ? id : "");
  }
}

const char *mexFunctionName(void) {
  return g_function_name.c_str();
}

int mexEvalString(const char *command) {
  // A host evaluation is not free (Octave's takes about 15 us): spending 5 us here lets the tests
  // see a module's rate limit at work as it would be in a host.
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
  while (std::chrono::steady_clock::now() < until) {
  }
  std::lock_guard<std::mutex> lock(g_print_mutex);
  if (g_capturing) {
    note_host_call();
    g_evaluated.push_back({command ? command : "", g_captured.size()});
  }
  return 0;
}

}  // extern "C"

namespace {
std::atomic<long> g_interrupt_at{0};
std::atomic<long> g_interrupt_checks{0};
std::atomic<bool> g_interrupt_pending{false};
std::atomic<long> g_clock_questions{0};  // the by-hand clock's ticks
// A module's output asks whether an interrupt is pending right after it prints, before it asks the
// host to show the text: that question follows no work and moves the by-hand clock on by nothing.
std::atomic<bool> g_printed_since_question{false};

void note_printed() {
  g_printed_since_question = true;
}
}  // namespace

extern "C" {

bool mexhost_interrupt_pending(void) {
  if (!g_printed_since_question.exchange(false)) ++g_clock_questions;
  const long n = ++g_interrupt_checks;
  const long at = g_interrupt_at.load();
  if (at > 0 && n >= at) g_interrupt_pending = true;
  return g_interrupt_pending.load();
}
void mexhost_interrupt_clear(void) {
  g_interrupt_pending = false;
  g_interrupt_at = 0;
}
void mexhost_interrupt_after(long checks) {
  g_interrupt_checks = 0;
  g_interrupt_pending = false;
  g_interrupt_at = checks;
}
long mexhost_interrupt_checks(void) {
  return g_interrupt_checks.load();
}

}  // extern "C"

namespace mexhost::detail {

long end_parallel_count() {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  return g_calls_in_parallel;
}

void begin_print_capture(const char *function_name) {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  g_function_name = function_name;
  g_captured.clear();
  g_evaluated.clear();
  g_warnings.clear();
  g_calls_in_parallel = 0;
  g_capturing = true;
}

std::string end_print_capture() {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  g_capturing = false;
  std::string text;
  text.swap(g_captured);
  return text;
}

std::vector<Evaluation> end_evaluation_capture() {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  std::vector<Evaluation> evaluated;
  evaluated.swap(g_evaluated);
  return evaluated;
}

std::vector<Warning> end_warning_capture() {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  std::vector<Warning> warnings;
  warnings.swap(g_warnings);
  return warnings;
}

}  // namespace mexhost::detail

namespace {
std::atomic<bool> g_output_terminal{false};
std::atomic<double> g_clock_per_question{0.0};
std::atomic<double> g_clock_per_reading{0.0};
std::atomic<long> g_clock_readings{0};
}  // namespace

extern "C" {

bool mexhost_output_is_terminal(void) {
  return g_output_terminal.load();
}
void mexhost_set_output_terminal(bool terminal) {
  g_output_terminal = terminal;
}

double mexhost_clock_seconds(void) {
  const long n = g_clock_readings++;
  const double per_question = g_clock_per_question.load(), per_reading = g_clock_per_reading.load();
  if (per_question > 0 || per_reading > 0)
    return static_cast<double>(g_clock_questions.load()) * per_question + static_cast<double>(n) * per_reading;
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void mexhost_clock_by_hand(double per_question, double per_reading) {
  g_clock_per_question = per_question;
  g_clock_per_reading = per_reading;
  g_clock_readings = 0;
  g_clock_questions = 0;
}
long mexhost_clock_readings(void) {
  return g_clock_readings.load();
}

}  // extern "C"
