// Which initialization file the driver read at cold start, by its full path;
// the name to give one when it read none; and files of the right name in
// other letter case, which the driver does not read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log_tap.h"

namespace sarnhost {

struct IntFileFacts {
  std::string read;                    // full path of the file the driver read; "" when none
  std::string dir;                     // the directory it looks in: the current one
  std::vector<std::string> names;      // the names it tries, in order: SARNMD01.INT, SARNMD1.INT, SARNMD.INT
  std::vector<std::string> otherCase;  // full paths of files named so in other letter case
};

// From the driver's log of a cold start with driver number iDriverNr.
IntFileFacts FindIntFile(const std::vector<LogLine>& coldStartLines, int32_t iDriverNr);

// The file a setting belongs in: the one read, else the second name tried
// (SARNMD1.INT), by its full path.
std::string IntFileForSettings(const IntFileFacts& facts);

// "/dir/SARNMD1.INT", or "none of SARNMD01.INT, SARNMD1.INT or SARNMD.INT in
// /dir: the driver's defaults".
std::string IntFileDescription(const IntFileFacts& facts);

// One warning line on standard error per file in other letter case.
void WarnAboutOtherCase(const IntFileFacts& facts);

}  // namespace sarnhost
