// Recording stand-in for the host's err(): tests link it in place of the
// host library and inspect what the driver logged.
#pragma once

#include <string>
#include <vector>

namespace testlog {

struct Line {
  int iLevel;
  std::string text;
  std::string format = {};  // the format as the driver passed it
};

void Clear();
const std::vector<Line>& Lines();
// Number of lines whose text equals pszText exactly.
int Count(const std::string& text);
// Number of lines whose text equals text at the given level.
int Count(int iLevel, const std::string& text);
bool Contains(const std::string& text);
// Index of the first line equal to text, or -1.
int IndexOf(const std::string& text);
// All lines, one a line, for failure messages.
std::string Dump();

}  // namespace testlog
