#include "support/test_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace testlog {
namespace {
std::vector<Line>& Store() {
  static std::vector<Line> lines;
  return lines;
}
// Contexts on several threads log at the same time in the concurrency tests.
std::mutex& StoreLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

void Clear() { Store().clear(); }
const std::vector<Line>& Lines() { return Store(); }

int Count(const std::string& text) {
  int n = 0;
  for (const Line& line : Store()) n += line.text == text;
  return n;
}

int Count(int iLevel, const std::string& text) {
  int n = 0;
  for (const Line& line : Store()) n += line.iLevel == iLevel && line.text == text;
  return n;
}

bool Contains(const std::string& text) { return Count(text) > 0; }

int IndexOf(const std::string& text) {
  for (size_t i = 0; i < Store().size(); ++i)
    if (Store()[i].text == text) return static_cast<int>(i);
  return -1;
}

std::string Dump() {
  std::string out;
  for (const Line& line : Store()) out += std::to_string(line.iLevel) + "\t" + line.text + "\n";
  return out;
}

}  // namespace testlog

extern "C" int err(int iLevel, const char* pszFormat, ...) {
  char szText[2048];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  const std::lock_guard<std::mutex> lock(testlog::StoreLock());
  testlog::Store().push_back({iLevel, szText, pszFormat});
  return 0;
}
