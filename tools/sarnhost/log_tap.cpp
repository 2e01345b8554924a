#include "log_tap.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sarnhost {

LogLine ParseLogLine(const std::string& raw) {
  LogLine entry;
  entry.raw = raw;
  size_t t1 = raw.find('\t');
  size_t t2 = t1 == std::string::npos ? std::string::npos : raw.find('\t', t1 + 1);
  if (t2 == std::string::npos) {
    entry.text = raw;
  } else {
    entry.iLevel = atoi(raw.substr(t1 + 1, t2 - t1 - 1).c_str());
    entry.text = raw.substr(t2 + 1);
  }
  return entry;
}

bool LogTap::Start(const std::string& dir) {
  Stop();
  const char* pszTmp = getenv("TMPDIR");
  std::string base = !dir.empty() ? dir : (pszTmp != nullptr && *pszTmp != '\0' ? pszTmp : "/tmp");
  std::string pattern = base + "/sarnhost-log-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  unlink(name.data());
  fd_ = fd;
  offset_ = 0;
  partial_.clear();
  const char* pszLog = getenv("KORVEN_LOG");
  const char* pszLevel = getenv("KORVEN_LEVEL");
  bHadLog_ = pszLog != nullptr;
  bHadLevel_ = pszLevel != nullptr;
  oldLog_ = bHadLog_ ? pszLog : "";
  oldLevel_ = bHadLevel_ ? pszLevel : "";
  setenv("KORVEN_LOG", ("/proc/self/fd/" + std::to_string(fd_)).c_str(), 1);
  setenv("KORVEN_LEVEL", "0", 1);
  return true;
}

std::vector<LogLine> LogTap::Take() {
  std::vector<LogLine> lines;
  if (fd_ < 0) return lines;
  // The log library appends: everything new lies behind what was read.
  char buf[4096];
  ssize_t n = 0;
  while ((n = pread(fd_, buf, sizeof buf, offset_)) > 0) {
    partial_.append(buf, static_cast<size_t>(n));
    offset_ += n;
  }
  size_t start = 0;
  for (size_t nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n', start)) {
    lines.push_back(ParseLogLine(partial_.substr(start, nl - start)));
    start = nl + 1;
  }
  partial_.erase(0, start);
  // Everything taken: empty the file, so that it does not grow.
  if (partial_.empty() && offset_ > 0 && ftruncate(fd_, 0) == 0) offset_ = 0;
  return lines;
}

void LogTap::Stop() {
  if (fd_ < 0) return;
  if (bHadLog_) {
    setenv("KORVEN_LOG", oldLog_.c_str(), 1);
  } else {
    unsetenv("KORVEN_LOG");
  }
  if (bHadLevel_) {
    setenv("KORVEN_LEVEL", oldLevel_.c_str(), 1);
  } else {
    unsetenv("KORVEN_LEVEL");
  }
  close(fd_);
  fd_ = -1;
}

std::string WithoutTag(const std::string& text) {
  static const char kTag[] = "SARNMD> ";
  return text.rfind(kTag, 0) == 0 ? text.substr(sizeof kTag - 1) : text;
}

}  // namespace sarnhost
