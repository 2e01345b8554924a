// A short name for a pseudo-terminal. Port names hold at most 11 characters,
// and a pty's path grows past that once a hundred are open (/dev/pts/100).
// A PortLink is a symbolic link "/tmp/XXXXXX" (11 characters) that the tests
// hand to the driver instead; it can be pointed at another pty later, so that
// the same port name reaches a controller that came back on a new pair.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class PortLink {
 public:
  PortLink() {
    char szName[] = "/tmp/XXXXXX";
    const int fd = mkstemp(szName);
    if (fd < 0) return;
    close(fd);
    name_ = szName;
  }
  // A link to target at once; Name() is empty when that failed.
  explicit PortLink(const std::string& target) : PortLink() {
    if (!PointAt(target) && !name_.empty()) {
      unlink(name_.c_str());
      name_.clear();
    }
  }
  ~PortLink() {
    if (!name_.empty()) unlink(name_.c_str());
  }
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // Points the link at target, replacing what it pointed at in one step.
  bool PointAt(const std::string& target) {
    if (name_.empty() || target.empty()) return false;
    const std::string tmp = name_ + ".new";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    return rename(tmp.c_str(), name_.c_str()) == 0;
  }

  // The name to open; always shorter than 12 characters.
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

}  // namespace testsupport
