// The benchmarks' command lines, read through the tools' option parser
// (tools/cli): a bad option or a stray argument ends the program with its
// usage line and exit status 2.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"

namespace bench {

[[noreturn]] inline void Usage(const char* pszProgram, const char* pszUsage, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", pszProgram, why.c_str());
  std::fprintf(stderr, "usage: %s %s\n", pszProgram, pszUsage);
  std::exit(2);
}

inline void ParseOptions(const char* pszProgram, const char* pszUsage, const std::vector<cli::Option>& table, int argc,
                         char** argv) {
  std::vector<std::string> positionals;
  const std::string error = cli::Parse(table, argc, argv, positionals);
  if (!error.empty()) Usage(pszProgram, pszUsage, error);
  if (!positionals.empty()) Usage(pszProgram, pszUsage, "unknown argument " + positionals[0]);
}

}  // namespace bench
