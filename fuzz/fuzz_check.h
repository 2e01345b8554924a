// Helpers shared by the fuzz targets: invariant checks that abort (so that
// libFuzzer keeps the input) and a reader of the fuzzer's bytes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

// Lines logged through err() since the program started.
extern long g_nLogLines;

[[noreturn]] inline void Fail(const char* pszWhat, const char* pszFile, int iLine) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", pszFile, iLine, pszWhat);
  abort();
}

// Takes bytes from the front of the input; past its end every byte is 0.
class Reader {
 public:
  Reader(const uint8_t* pData, size_t nSize) : pData_(pData), nSize_(nSize) {}
  uint8_t Byte() { return nPos_ < nSize_ ? pData_[nPos_++] : 0; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  int32_t Int() {
    uint32_t v = Word();
    v |= static_cast<uint32_t>(Word()) << 16;
    return static_cast<int32_t>(v);
  }
  size_t Left() const { return nSize_ - nPos_; }
  const uint8_t* Here() const { return pData_ + nPos_; }
  void Skip(size_t n) { nPos_ += n < Left() ? n : Left(); }

 private:
  const uint8_t* pData_;
  size_t nSize_;
  size_t nPos_ = 0;
};

// A scratch directory of the program's own, made once and removed at exit
// with the files named in pszFiles (a null-terminated list).
inline const char* ScratchDir(const char* const* pszFiles) {
  static char szDir[] = "/tmp/sarnmd-fuzz-XXXXXX";
  static const char* const* s_pszFiles = pszFiles;
  if (mkdtemp(szDir) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  atexit([] {
    for (const char* const* p = s_pszFiles; p != nullptr && *p != nullptr; ++p) {
      char szPath[128];
      snprintf(szPath, sizeof szPath, "%s/%s", szDir, *p);
      unlink(szPath);
    }
    rmdir(szDir);
  });
  return szDir;
}

// Makes pszDir the working directory while it lives: the driver reads its
// initialization file from the working directory, while libFuzzer's own
// paths stay relative to the one it was started in.
class InDir {
 public:
  explicit InDir(const char* pszDir) : fdSaved_(open(".", O_RDONLY | O_DIRECTORY)) {
    if (fdSaved_ < 0 || chdir(pszDir) != 0) {
      perror("chdir");
      abort();
    }
  }
  ~InDir() {
    if (fchdir(fdSaved_) != 0) abort();
    close(fdSaved_);
  }
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  int fdSaved_;
};

}  // namespace fuzzcheck

#define FUZZ_CHECK(cond)                                       \
  do {                                                         \
    if (!(cond)) ::fuzzcheck::Fail(#cond, __FILE__, __LINE__); \
  } while (0)
