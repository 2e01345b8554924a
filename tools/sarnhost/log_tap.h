// Reading back what the driver logged.
//
// The driver logs through the host library's err(), which writes
// "timestamp TAB level TAB text" lines to standard error, or appends them to
// the file named by KORVEN_LOG; KORVEN_LEVEL drops lines below a level. A
// LogTap points KORVEN_LOG at a file of its own for a while, so the host can
// put the driver's words into its own messages, and puts both variables back
// when it stops.
//
// The file is removed as soon as it is made and reached through
// /proc/self/fd: nothing is left behind, whatever way the program ends, and
// the file is emptied whenever everything in it has been taken, so a long
// poll does not make it grow.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sarnhost {

struct LogLine {
  int iLevel = 0;
  std::string text;  // the message, without timestamp and level
  std::string raw;   // the whole line as the log library wrote it, without the line end
};

class LogTap {
 public:
  LogTap() = default;
  ~LogTap() { Stop(); }
  LogTap(const LogTap&) = delete;
  LogTap& operator=(const LogTap&) = delete;

  // Starts collecting every level into a new file in dir (the temporary
  // directory when dir is empty). False when no file could be made.
  bool Start(const std::string& dir = "");
  bool Active() const { return fd_ >= 0; }
  // Lines logged since the previous call.
  std::vector<LogLine> Take();
  // Restores KORVEN_LOG and KORVEN_LEVEL and closes the file.
  void Stop();

 private:
  int fd_ = -1;
  off_t offset_ = 0;  // bytes of the file read so far
  std::string partial_;
  bool bHadLog_ = false, bHadLevel_ = false;
  std::string oldLog_, oldLevel_;
};

// Splits one log line, "timestamp TAB level TAB text", into its parts.
LogLine ParseLogLine(const std::string& raw);

// A driver message without the "SARNMD> " its texts start with.
std::string WithoutTag(const std::string& text);

}  // namespace sarnhost
