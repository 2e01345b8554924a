#include "log_tap.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sarnhost {

bool LogTap::Start(const std::string& dir) {
  Stop();
  std::string pattern = (dir.empty() ? std::string("/tmp") : dir) + "/sarnhost-log-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  close(fd);
  path_ = name.data();
  offset_ = 0;
  partial_.clear();
  const char* pszLog = getenv("KORVEN_LOG");
  const char* pszLevel = getenv("KORVEN_LEVEL");
  bHadLog_ = pszLog != nullptr;
  bHadLevel_ = pszLevel != nullptr;
  oldLog_ = bHadLog_ ? pszLog : "";
  oldLevel_ = bHadLevel_ ? pszLevel : "";
  setenv("KORVEN_LOG", path_.c_str(), 1);
  setenv("KORVEN_LEVEL", "0", 1);
  return true;
}

std::vector<LogLine> LogTap::Take() {
  std::vector<LogLine> lines;
  if (path_.empty()) return lines;
  FILE* f = fopen(path_.c_str(), "r");
  if (f == nullptr) return lines;
  if (fseek(f, offset_, SEEK_SET) == 0) {
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) partial_.append(buf, n);
    offset_ = ftell(f);
  }
  fclose(f);
  size_t start = 0;
  for (size_t nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n', start)) {
    std::string line = partial_.substr(start, nl - start);
    start = nl + 1;
    // timestamp TAB level TAB text
    size_t t1 = line.find('\t');
    size_t t2 = t1 == std::string::npos ? std::string::npos : line.find('\t', t1 + 1);
    LogLine entry;
    if (t2 == std::string::npos) {
      entry.text = line;
    } else {
      entry.iLevel = atoi(line.substr(t1 + 1, t2 - t1 - 1).c_str());
      entry.text = line.substr(t2 + 1);
    }
    lines.push_back(entry);
  }
  partial_.erase(0, start);
  return lines;
}

void LogTap::Stop() {
  if (path_.empty()) return;
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
  unlink(path_.c_str());
  path_.clear();
}

}  // namespace sarnhost
