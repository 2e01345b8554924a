#include "port_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sarnhost {

namespace {

std::string ProcessName(long pid) {
  char szComm[64] = "?";
  std::string commPath = "/proc/" + std::to_string(pid) + "/comm";
  if (FILE* f = fopen(commPath.c_str(), "r")) {
    if (fgets(szComm, sizeof szComm, f) != nullptr) szComm[strcspn(szComm, "\n")] = '\0';
    fclose(f);
  }
  return std::string(szComm) + " (pid " + std::to_string(pid) + ")";
}

// The process holding a lock on the device, from /proc/locks, whose lines
// name the file as MAJOR:MINOR:INODE (hexadecimal device numbers).
std::string LockHolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "";
  FILE* f = fopen("/proc/locks", "r");
  if (f == nullptr) return "";
  char szLine[256];
  long found = 0;
  while (found == 0 && fgets(szLine, sizeof szLine, f) != nullptr) {
    long pid = 0;
    unsigned uMajor = 0, uMinor = 0;
    unsigned long ulInode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:7 0 EOF"
    if (sscanf(szLine, "%*d: %*s %*s %*s %ld %x:%x:%lu", &pid, &uMajor, &uMinor, &ulInode) == 4 &&
        uMajor == major(st.st_dev) && uMinor == minor(st.st_dev) && ulInode == st.st_ino && pid != getpid()) {
      found = pid;
    }
  }
  fclose(f);
  return found > 0 ? ProcessName(found) : "";
}

// The pseudo-terminal number of /dev/pts/N, or -1 for any other device.
long PtyIndex(const std::string& real) {
  if (real.rfind("/dev/pts/", 0) != 0) return -1;
  char* pEnd = nullptr;
  const long lIndex = strtol(real.c_str() + 9, &pEnd, 10);
  return *pEnd == '\0' && pEnd != real.c_str() + 9 ? lIndex : -1;
}

// Whether descriptor fd of process pid is the master side of pseudo-terminal
// lIndex (the kernel names it in fdinfo; without that, any master counts).
bool IsPtyMaster(const std::string& pidDir, const char* pszFd, const char* pszLink, long lIndex) {
  if (lIndex < 0 || (strcmp(pszLink, "/dev/ptmx") != 0 && strcmp(pszLink, "/dev/pts/ptmx") != 0)) return false;
  FILE* f = fopen((pidDir + "/fdinfo/" + pszFd).c_str(), "r");
  if (f == nullptr) return true;
  char szLine[128];
  long lFound = -1;
  while (fgets(szLine, sizeof szLine, f) != nullptr) {
    if (sscanf(szLine, "tty-index: %ld", &lFound) == 1) break;
  }
  fclose(f);
  return lFound < 0 || lFound == lIndex;
}

// How a process stands to the device: it has it open, or it is the other
// end of the line (the master of the pseudo-terminal: a simulator that
// keeps its own side open too is no rival for the replies).
struct Standing {
  bool bOpen = false, bOtherEnd = false;
};

Standing StandingOf(const std::string& pidDir, const char* pszReal, long lPtyIndex) {
  Standing st;
  DIR* pFds = opendir((pidDir + "/fd").c_str());
  if (pFds == nullptr) return st;
  while (dirent* pFd = readdir(pFds)) {
    char szLink[PATH_MAX];
    const ssize_t n = readlink((pidDir + "/fd/" + pFd->d_name).c_str(), szLink, sizeof szLink - 1);
    if (n <= 0) continue;
    szLink[n] = '\0';
    if (strcmp(szLink, pszReal) == 0) st.bOpen = true;
    if (IsPtyMaster(pidDir, pFd->d_name, szLink, lPtyIndex)) st.bOtherEnd = true;
  }
  closedir(pFds);
  return st;
}

// Names one other process that has the device open ("cat (pid 123)"), or
// "" when none is found (or /proc is not readable). The process holding a
// pseudo-terminal's master side is its other end, not a rival.
std::string OpenHolder(const std::string& path) {
  char szReal[PATH_MAX];
  if (realpath(path.c_str(), szReal) == nullptr) return "";
  DIR* pProc = opendir("/proc");
  if (pProc == nullptr) return "";
  const long lPtyIndex = PtyIndex(szReal);
  std::string found;
  const pid_t self = getpid();
  while (dirent* pEntry = readdir(pProc)) {
    char* pEnd = nullptr;
    const long pid = strtol(pEntry->d_name, &pEnd, 10);
    if (*pEnd != '\0' || pid <= 0 || pid == self) continue;
    const Standing st = StandingOf(std::string("/proc/") + pEntry->d_name, szReal, lPtyIndex);
    if (st.bOpen && !st.bOtherEnd) {
      found = ProcessName(pid);
      break;
    }
  }
  closedir(pProc);
  return found;
}

std::string GroupOf(const struct stat& st) {
  if (group* g = getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}

std::string OwnerOf(const struct stat& st) {
  if (passwd* p = getpwuid(st.st_uid)) return p->pw_name;
  return std::to_string(st.st_uid);
}

PortCheck Problem(PortProblem problem, std::string message) {
  return PortCheck{problem, std::move(message)};
}

PortCheck BusyProblem(const std::string& path) {
  std::string holder = LockHolder(path);
  if (holder.empty()) holder = OpenHolder(path);
  return Problem(PortProblem::kBusy, path + " is in use by " + (holder.empty() ? "another program" : holder) +
                                         ": stop it, or choose another port");
}

}  // namespace

// What to do about a device this user may not open, from its real owner,
// group and mode: join its group only where the group may read and write it
// and is not root's own.
std::string PermissionAdvice(const std::string& path, const struct stat& st) {
  char szMode[8];
  snprintf(szMode, sizeof szMode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string owner = OwnerOf(st), group = GroupOf(st);
  const std::string facts = " (owner " + owner + ", group " + group + ", mode " + szMode + ")";
  const bool bGroupRw = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (bGroupRw && st.st_gid != 0) {
    return "no permission to open " + path + facts + ": add yourself to the group " + group + " (sudo usermod -aG " +
           group + " $USER) and log in again";
  }
  return "no permission to open " + path + facts + ": only " + owner +
         " may open it; give it a group of yours with read and write access (e.g. a udev rule with " +
         "GROUP=\"dialout\", MODE=\"0660\"), or run as " + owner;
}

std::string DevicePath(const std::string& port) {
  if (port.empty() || port[0] == '/' || port[0] == '.' || port == "NUL") return port;
  return "/dev/" + port;
}

PortCheck CheckPort(const std::string& path) {
  if (path == "NUL") return {};
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return Problem(PortProblem::kMissing,
                     "no device " + path + ": check the name and that the adapter is plugged in (ls /dev/tty*)");
    }
    if (errno == EACCES) {
      return Problem(PortProblem::kPermission, "no permission to reach " + path + ": " + strerror(errno));
    }
    return Problem(PortProblem::kOther, "cannot look at " + path + ": " + strerror(errno));
  }
  if (!S_ISCHR(st.st_mode)) {
    return Problem(PortProblem::kNotSerial, path + " is not a serial device (not a character device)");
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    if (e == EACCES || e == EPERM) return Problem(PortProblem::kPermission, PermissionAdvice(path, st));
    if (e == EBUSY) return BusyProblem(path);
    if (e == ENXIO || e == ENODEV) {
      return Problem(PortProblem::kMissing, "no device behind " + path + ": " + strerror(e));
    }
    return Problem(PortProblem::kOther, "cannot open " + path + ": " + strerror(e));
  }
  PortCheck result;
  if (!isatty(fd)) {
    result = Problem(PortProblem::kNotSerial, path + " is not a serial device (not a terminal)");
  } else {
    // A driver holding the port keeps it under an exclusive lock. (Its
    // exclusive terminal mode is no sign: the mode outlives the driver's
    // close while another descriptor keeps the terminal open, and root
    // passes it anyway; to others it shows as EBUSY above.)
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) result = BusyProblem(path);
    } else {
      flock(fd, LOCK_UN);
      // A program that holds the device without a lock (cat, a terminal
      // program) reads the replies before the driver sees them.
      const std::string holder = OpenHolder(path);
      if (!holder.empty()) {
        result = Problem(PortProblem::kBusy, path + " is open in " + holder +
                                                 ", which would take the controller's replies from the line: stop "
                                                 "it, or choose another port");
      }
    }
  }
  close(fd);
  return result;
}

std::string PortAlias::NameFor(const std::string& path, std::string& error) {
  Release();
  if (path.size() <= kMaxPortName) return path;
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + path + ": " + strerror(errno);
    return "";
  }
  fd_ = fd;
  std::string alias = "/dev/fd/" + std::to_string(fd);
  if (alias.size() > kMaxPortName) {
    Release();
    error = "the port name " + path + " is longer than the driver's " + std::to_string(kMaxPortName) +
            " characters: use a shorter link to it";
    return "";
  }
  return alias;
}

void PortAlias::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace sarnhost
