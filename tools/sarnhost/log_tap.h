// Reading back what the driver logged.
//
// The driver logs through the host library's err(), which writes
// "timestamp TAB level TAB text" lines to standard error, or appends them to
// the file named by KORVEN_LOG; KORVEN_LEVEL drops lines below a level. A
// LogTap points KORVEN_LOG at a scratch file for a while, so the host can show
// the driver's own words next to its results, and puts both variables back
// when it stops.
#pragma once

#include <string>
#include <vector>

namespace sarnhost {

struct LogLine {
  int iLevel = 0;
  std::string text;
};

class LogTap {
 public:
  LogTap() = default;
  ~LogTap() { Stop(); }
  LogTap(const LogTap&) = delete;
  LogTap& operator=(const LogTap&) = delete;

  // Starts collecting every level into a new file in dir (a temporary one
  // when dir is empty). False when no file could be made.
  bool Start(const std::string& dir = "");
  bool Active() const { return !path_.empty(); }
  // Lines logged since the previous call.
  std::vector<LogLine> Take();
  // Restores KORVEN_LOG and KORVEN_LEVEL and removes the file.
  void Stop();

 private:
  std::string path_;
  long offset_ = 0;
  std::string partial_;
  bool bHadLog_ = false, bHadLevel_ = false;
  std::string oldLog_, oldLevel_;
};

}  // namespace sarnhost
