// Every built module exports exactly one symbol, mexFunction, under the version MEX.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

std::string run(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

// A path as one word of a shell command, whatever it holds (a space, a quote, a $).
std::string quoted(const std::string &path) {
  std::string q = "'";
  for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Defined dynamic symbols, as "name@@version" or "name", leaving out the version node itself
// (an absolute symbol named after the version that the linker adds).
std::vector<std::string> defined_dynamic_symbols(const std::string &path) {
  std::istringstream lines(run("readelf --dyn-syms --wide " + quoted(path)));
  std::vector<std::string> symbols;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string num, value, size, type, bind, vis, ndx, name;
    if (!(fields >> num >> value >> size >> type >> bind >> vis >> ndx >> name)) continue;
    if (num.empty() || num.back() != ':' || ndx == "UND" || ndx == "Ndx") continue;
    if (ndx == "ABS" && name.find('@') == std::string::npos) continue;
    symbols.push_back(name);
  }
  return symbols;
}

class ModuleExports : public ::testing::TestWithParam<const char *> {};

}  // namespace

TEST_P(ModuleExports, OnlyMexFunctionAtVersionMex) {
  std::vector<std::string> paths = {mexhost_module(GetParam())};
  if (STOCHL1_OCTAVE_FOUND) paths.push_back(octave_module(GetParam()));
  for (const std::string &path : paths) {
    ASSERT_TRUE(exists(path)) << path;
    EXPECT_EQ(defined_dynamic_symbols(path), std::vector<std::string>{"mexFunction@@MEX"}) << path;
  }
}

// teamprobe links the MAT-file library and the OpenMP runtime besides libmx and libmex.
TEST(ModuleLinks, TeamprobeNeedsTheHostLibrariesAndOpenMP) {
  const std::string needed = run("readelf -d " + quoted(mexhost_module("teamprobe")) + " | grep NEEDED");
  for (const char *lib : {"[libmx.so]", "[libmex.so]", "[libmat.so]", "[libgomp.so"})
    EXPECT_NE(needed.find(lib), std::string::npos) << lib << " missing from\n" << needed;
}

INSTANTIATE_TEST_SUITE_P(AllModules, ModuleExports,
                         ::testing::Values("kinkstep", "driftwalk", "splitavg", "teamprobe"));
