// The host log library under concurrent callers: every line arrives whole.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using ErrFn = int (*)(int, const char*, ...);

TEST(KorvenTest, ConcurrentLinesArriveWholeAndNoneIsLost) {
  void* hKorven = dlopen(SARN_KORVEN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(hKorven, nullptr) << dlerror();
  auto pfnErr = reinterpret_cast<ErrFn>(dlsym(hKorven, "err"));
  ASSERT_NE(pfnErr, nullptr);

  char szPath[] = "/tmp/korven-XXXXXX";
  const int fd = mkstemp(szPath);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("KORVEN_LOG", szPath, 1);

  // Long lines (over a kilobyte) from several threads at once.
  constexpr int kThreads = 6;
  constexpr int kLines = 150;
  const std::string filler(1200, '.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) pfnErr(8, "thread %d line %d %s end", t, i, filler.c_str());
    });
  for (auto& thread : threads) thread.join();
  unsetenv("KORVEN_LOG");

  std::ifstream in(szPath);
  std::string line;
  std::map<int, int> next;  // each thread's lines in its own order
  int nLines = 0;
  while (std::getline(in, line)) {
    ++nLines;
    int t = -1, i = -1;
    const size_t at = line.find("\t8\tthread ");
    ASSERT_NE(at, std::string::npos) << line.substr(0, 80);
    ASSERT_EQ(sscanf(line.c_str() + at, "\t8\tthread %d line %d", &t, &i), 2);
    EXPECT_EQ(line.substr(line.size() - filler.size() - 4), filler + " end") << "thread " << t << " line " << i;
    EXPECT_EQ(i, next[t]++) << "thread " << t;
  }
  EXPECT_EQ(nLines, kThreads * kLines);
  unlink(szPath);
  dlclose(hKorven);
}

}  // namespace
