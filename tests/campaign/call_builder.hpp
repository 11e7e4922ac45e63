// Random calls to the modules, with the answer each one must get: built from a seeded generator
// (the campaign) or from a fuzzer's bytes (the libFuzzer target), with the same code.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mexhost/host.hpp"

namespace campaign {

// Where the choices come from.
class Chooser {
 public:
  virtual ~Chooser() = default;
  virtual uint32_t pick(uint32_t n) = 0;  // 0 .. n - 1
  double uniform() { return pick(1u << 30) / double(1u << 30); }
};

class SeededChooser : public Chooser {
 public:
  explicit SeededChooser(uint64_t seed) : engine_(seed) {}
  uint32_t pick(uint32_t n) override { return n ? static_cast<uint32_t>(engine_() % n) : 0; }

 private:
  std::mt19937_64 engine_;
};

// Reads choices from bytes; once they run out every choice is 0.
class BytesChooser : public Chooser {
 public:
  BytesChooser(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint32_t pick(uint32_t n) override;

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// What each input of a module is, so that the generator can make it right or wrong on purpose.
enum class Role { Matrix, Labels, Real, Count, Method, Flag, Batch };

struct ModuleModel {
  std::string name;
  std::vector<Role> inputs;
  std::vector<std::string> options;  // fields of the optional options struct after the inputs
};

const std::vector<ModuleModel> &module_models();  // kinkstep, driftwalk, splitavg, teamprobe
const ModuleModel *find_model(const std::string &name);

struct GeneratedCall {
  std::vector<mexhost::ArrayPtr> inputs;
  int nlhs = 1;
  // The error identifiers the call may end in; empty when it must succeed.
  std::set<std::string> allowed_errors;
  size_t expected_rows = 0;  // rows of the D x 1 result when it succeeds
  size_t samples = 0;        // N, the rows of X, when X is valid
  // When set, an error's message must contain this (how it names the value given).
  std::string message_must_hold;
  std::vector<const mxArray *> pointers() const;
};

GeneratedCall generate(const ModuleModel &model, Chooser &choose);

// Checks what the call did; returns an empty string when it is right, else what is wrong.
std::string check(const ModuleModel &model, const GeneratedCall &call, const mexhost::CallResult &result,
                  long live_before_call);

}  // namespace campaign
