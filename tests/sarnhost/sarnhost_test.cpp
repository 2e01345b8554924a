// sarnhost as a person uses it: the program run as a child process against
// the controller simulator on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "plcsim.h"

extern char** environ;

namespace {

struct RunResult {
  int iStatus = -1;  // exit status, or -1 when killed
  std::string out, err;
  double dSeconds = 0;
};

// Arguments and environment for execve, built before fork (the simulator's
// thread runs in this process, so the child only calls exec-safe functions).
struct ExecArgs {
  std::vector<std::string> strings;
  std::vector<char*> argv, envp;
  ExecArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    strings.push_back(SARNHOST_PATH);
    strings.insert(strings.end(), args.begin(), args.end());
    size_t nArgs = strings.size();
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string key = entry.substr(0, entry.find('='));
      if (key != "KORVEN_LOG" && key != "KORVEN_LEVEL" && env.count(key) == 0) strings.push_back(entry);
    }
    for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
    for (size_t i = 0; i < strings.size(); ++i) (i < nArgs ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

pid_t Spawn(ExecArgs& a, int outFd, int errFd) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    execve(a.argv[0], a.argv.data(), a.envp.data());
    _exit(127);
  }
  return pid;
}

RunResult RunSarnhost(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
  RunResult r;
  ExecArgs a(args, env);
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return r;
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = Spawn(a, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, 60000) <= 0) {  // a hung child: kill it and report
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.iStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The lines sarnhost itself wrote (the driver's log lines carry a timestamp).
std::vector<std::string> OwnLines(const std::string& err) {
  std::vector<std::string> own;
  for (const std::string& l : Lines(err)) {
    if (l.rfind("sarnhost: ", 0) == 0) own.push_back(l);
  }
  return own;
}

std::string Describe(const RunResult& r) {
  return "status " + std::to_string(r.iStatus) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

uint32_t FloatBits(float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  return u;
}

class SarnhostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.FillPattern();
    pty_ = sim_.OpenPty();
    ASSERT_FALSE(pty_.empty());
  }
  std::vector<std::string> On(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", pty_});
    return args;
  }

  plcsim::Simulator sim_;
  std::string pty_;
};

TEST(SarnhostHelp, ListsEveryOptionAndCommand) {
  RunResult r = RunSarnhost({"--help"});
  ASSERT_EQ(r.iStatus, 0) << Describe(r);
  for (const char* psz : {"--port", "--baud", "--data-bits", "--parity", "--stop-bits", "--timeout", "--driver-nr",
                          "--type", "--interval", "--count", "--driver", "--verbose", "--help", "read GATE [COUNT]",
                          "write GATE VALUE...", "poll GATE...", "demo", "info", "dialout"}) {
    EXPECT_NE(r.out.find(psz), std::string::npos) << psz;
  }
  // The defaults come from the driver's GetSarnInfo.
  EXPECT_NE(r.out.find("(default 9600)"), std::string::npos);
}

TEST_F(SarnhostTest, ReadShowsWhatTheControllerHolds) {
  sim_.SetHolding(40, 0xFFFE);
  sim_.SetHolding(50, static_cast<uint16_t>(FloatBits(3.5f) >> 16));
  sim_.SetHolding(51, static_cast<uint16_t>(FloatBits(3.5f)));
  sim_.SetInputReg(60, 0xFFFE);  // -123456 = 0xFFFE1DC0
  sim_.SetInputReg(61, 0x1DC0);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"read", "0140008"}, {"0140008: 8 (0x0008)"}},
      {{"read", "0130005"}, {"0130005: 1005 (0x03ED)"}},
      {{"read", "0100003"}, {"0100003: 1"}},
      {{"read", "0100004"}, {"0100004: 0"}},
      {{"read", "0110002"}, {"0110002: 1"}},
      {{"read", "01400072"}, {"01400072: 1"}},
      {{"read", "01400083"}, {"01400083: 1"}},
      {{"read", "01400082"}, {"01400082: 0"}},
      {{"read", "0140041"}, {"0140041: 65534 (0xFFFE)"}},
      {{"read", "0140041", "--type", "int16"}, {"0140041: -2 (0xFFFE)"}},
      {{"read", "0170051"}, {"0170051: 3.5 (0x40600000)"}},
      {{"read", "0160061"}, {"0160061: -123456 (0xFFFE1DC0)"}},
      {{"read", "0100001", "7"},
       {"0100001: 0", "0100002: 0", "0100003: 1", "0100004: 0", "0100005: 0", "0100006: 1", "0100007: 0"}},
      {{"read", "0130002", "2"}, {"0130002: 1002 (0x03EA)", "0130003: 1003 (0x03EB)"}},
  };
  for (const Case& c : cases) {
    RunResult r = RunSarnhost(On(c.args));
    EXPECT_EQ(r.iStatus, 0) << c.args[1] << "\n" << Describe(r);
    EXPECT_EQ(Lines(r.out), c.lines) << c.args[1];
  }
}

TEST_F(SarnhostTest, WritesReachTheController) {
  RunResult r = RunSarnhost(On({"write", "0140011", "4321"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(sim_.Holding(10), 4321);

  r = RunSarnhost(On({"write", "0140021", "1", "0x2", "-1"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(sim_.Holding(20), 1);
  EXPECT_EQ(sim_.Holding(21), 2);
  EXPECT_EQ(sim_.Holding(22), 0xFFFF);

  r = RunSarnhost(On({"write", "0100002", "on"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_TRUE(sim_.Coil(1));

  r = RunSarnhost(On({"write", "0170031", "-2.25"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ((uint32_t{sim_.Holding(30)} << 16) | sim_.Holding(31), FloatBits(-2.25f));

  // A value that does not fit is refused before anything is written.
  sim_.ClearRequests();
  r = RunSarnhost(On({"write", "0140011", "70000"}));
  EXPECT_NE(r.iStatus, 0);
  EXPECT_EQ(OwnLines(r.err).size(), 1u) << Describe(r);
  EXPECT_EQ(sim_.RequestCount(), 0u);
}

// Each problem gives one line of sarnhost's own and a non-zero status.
TEST_F(SarnhostTest, ProblemsGiveOneClearLine) {
  char szFile[] = "/tmp/sarnhost-test-XXXXXX";
  int fd = mkstemp(szFile);
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    std::vector<std::string> args;
    int iStatus;
    std::string text;
  };
  const Case cases[] = {
      {{"--port", "/dev/no-such-tty", "read", "0140001"}, 2, "no device /dev/no-such-tty"},
      {{"--port", szFile, "read", "0140001"}, 2, "is not a serial device"},
      {On({"read", "0120001"}), 1, "gate '0120001' refused: Parse() #1, illegal char #2, 2"},
      {On({"read", "0170004"}), 1, "refused: Parse() 32 bit gates must have ODD address for MODBUS"},
      {On({"read", "0140001", "--type", "float"}), 1, "data type float does not fit a holding register"},
      {On({"read", "0140001", "3", "--type", "bit"}), 1, "does not fit a block of holding register values"},
      {On({"read", "0140001", "126"}), 1, "block too large (max. 125)"},
      {On({"read", "01400011", "2"}), 1, "a block takes no bit number"},
      {On({"read", "0140001", "--parity", "X"}), 64, "bad value 'X' for --parity"},
      {On({"read", "0140001", "--baud", "115200"}), 64, "1..65535"},
      {On({"read", "0140001", "0"}), 64, "bad COUNT '0'"},
      {On({"frobnicate"}), 64, "unknown command 'frobnicate'"},
      {{"read", "0140001"}, 64, "no port given"},
      {On({"read", "0140001", "--driver", szFile}), 69, "cannot load the driver"},
  };
  for (const Case& c : cases) {
    RunResult r = RunSarnhost(c.args);
    std::vector<std::string> own = OwnLines(r.err);
    EXPECT_EQ(r.iStatus, c.iStatus) << c.text << "\n" << Describe(r);
    ASSERT_EQ(own.size(), 1u) << c.text << "\n" << Describe(r);
    EXPECT_NE(own[0].find(c.text), std::string::npos) << own[0];
    EXPECT_TRUE(r.out.empty()) << c.text << "\n" << Describe(r);
  }
  unlink(szFile);
}

TEST_F(SarnhostTest, BusyPortNamesTheProgramHoldingIt) {
  // A second sarnhost polls the port and so holds it.
  ExecArgs a(On({"poll", "0140001", "--interval", "50", "--count", "400"}), {});
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t holder = Spawn(a, devNull, devNull);
  close(devNull);
  ASSERT_TRUE(sim_.WaitForRequests(1, 10000));

  RunResult r = RunSarnhost(On({"read", "0140001"}));
  kill(holder, SIGTERM);
  int status = 0;
  waitpid(holder, &status, 0);

  EXPECT_EQ(r.iStatus, 2) << Describe(r);
  std::vector<std::string> own = OwnLines(r.err);
  ASSERT_EQ(own.size(), 1u) << Describe(r);
  EXPECT_NE(own[0].find(pty_ + " is in use by sarnhost (pid " + std::to_string(holder) + ")"), std::string::npos)
      << own[0];
  // The poller was stopped by the signal and still summed up: exit 0.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SarnhostTest, TimeOutIsResultTwoAfterThreeRequests) {
  sim_.SetPersistentFault({plcsim::FaultKind::NoReply, 0});
  RunResult r = RunSarnhost(On({"read", "0140001", "--timeout", "5"}));
  EXPECT_EQ(r.iStatus, 2) << Describe(r);
  EXPECT_EQ(sim_.RequestCount(), 3u);
  std::vector<std::string> own = OwnLines(r.err);
  ASSERT_EQ(own.size(), 1u) << Describe(r);
  EXPECT_NE(own[0].find("failed with result 2"), std::string::npos);
}

TEST_F(SarnhostTest, LogLevelsDefaultAndVerbose) {
  RunResult quiet = RunSarnhost(On({"read", "0140001"}));
  RunResult verbose = RunSarnhost(On({"-v", "read", "0140001"}));
  ASSERT_EQ(quiet.iStatus, 0) << Describe(quiet);
  ASSERT_EQ(verbose.iStatus, 0) << Describe(verbose);
  EXPECT_NE(quiet.err.find("\t32\tSARNMD> ModBus/GTC 32bit driver installed"), std::string::npos) << quiet.err;
  EXPECT_EQ(quiet.err.find("\t8\t"), std::string::npos) << quiet.err;
  EXPECT_NE(verbose.err.find("\t8\tSARNMD> WarmStart()"), std::string::npos) << verbose.err;
}

TEST_F(SarnhostTest, PollCountsGoodReadsAndFailures) {
  RunResult r = RunSarnhost(On({"poll", "0140001", "0130001", "--interval", "10", "--count", "3"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_NE(r.out.find("6 reads, 6 good"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("round 3  0130001"), std::string::npos) << r.out;

  sim_.SetPersistentFault({plcsim::FaultKind::Exception, 2});
  r = RunSarnhost(On({"poll", "0140001", "--interval", "10", "--count", "2"}));
  EXPECT_EQ(r.iStatus, 1) << Describe(r);
  EXPECT_NE(r.out.find("2 reads, 0 good, 2 failed with result 1"), std::string::npos) << r.out;
}

// The driver takes port names of at most 11 characters; longer paths are
// handed over under an alias.
TEST_F(SarnhostTest, LongPortPathWorks) {
  std::string link = "/tmp/sarnhost-test-long-port-name-" + std::to_string(getpid());
  ASSERT_EQ(symlink(pty_.c_str(), link.c_str()), 0);
  RunResult r = RunSarnhost({"--port", link, "read", "0140003"});
  unlink(link.c_str());
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(r.out, "0140003: 3 (0x0003)\n");
}

TEST(SarnhostDemo, RunsToTheEndWithStatusZero) {
  RunResult r = RunSarnhost({"demo"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_NE(r.out.find("steps behaved as expected"), std::string::npos) << r.out;
  EXPECT_LT(r.dSeconds, 30.0);  // meant to finish within ten seconds; generous on a shared machine
}

}  // namespace
