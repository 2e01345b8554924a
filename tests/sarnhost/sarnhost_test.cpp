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
#include "support/ser2net_gateway.h"

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
  std::string cwd;  // "" for this process's
  ExecArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
           const std::string& program = SARNHOST_PATH) {
    strings.push_back(program);
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
    if (!a.cwd.empty() && chdir(a.cwd.c_str()) != 0) _exit(126);
    execve(a.argv[0], a.argv.data(), a.envp.data());
    _exit(127);
  }
  return pid;
}

RunResult RunSarnhost(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                      const std::string& cwd = "") {
  RunResult r;
  ExecArgs a(args, env);
  a.cwd = cwd;
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

// What sarnhost adds to "no reply from controller N": what to check, with
// the initialization file of the directory it ran in.
std::string SilenceChecklist(int iController, const std::string& dir = "") {
  char szCwd[4096] = "";
  const std::string where = dir.empty() ? (getcwd(szCwd, sizeof szCwd) != nullptr ? szCwd : "") : dir;
  return ": check that controller " + std::to_string(iController) +
         " exists and is set to 9600 7E2 (speed, data bits, parity, stop bits) and to Modbus ASCII, not RTU; the "
         "wiring (A and B not swapped, termination at both ends); an adapter that needs RTS to send needs RTSCTS = "
         "YES in " +
         where + "/SARNMD1.INT; sarnhost scan finds which controllers answer (--bauds, --parities try other settings)";
}

// What sarnhost adds to a garbled reply.
const char kGarbleCauses[] =
    ": line noise, or a controller whose parity or data bits differ from 9600 7E2 (check its settings and the "
    "wiring)";

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
  for (const char* psz : {"--port",
                          "--baud",
                          "--data-bits",
                          "--parity",
                          "--stop-bits",
                          "--timeout",
                          "--driver-nr",
                          "--type",
                          "--interval",
                          "--count",
                          "--driver",
                          "--verbose",
                          "--help",
                          "read GATE [COUNT]",
                          "write GATE VALUE...",
                          "poll GATE...",
                          "demo",
                          "info",
                          "dialout",
                          "scan",
                          "--csv",
                          "--from",
                          "--bauds",
                          "--parities",
                          "-vv",
                          "-a N",
                          "-r N",
                          "115200",
                          "-i MS"}) {
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

  // -1 is mbpoll's "once" wherever it stands: a value of -1 goes after "--".
  r = RunSarnhost(On({"write", "0140021", "1", "0x2", "--", "-1"}));
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

// A line behind a gateway: --port socket://HOST:PORT or rfc2217://HOST:PORT,
// with ser2net in front of the simulator.
TEST_F(SarnhostTest, ReadsAndWritesThroughAGateway) {
  if (!sarn_test::Ser2netGateway::Installed()) GTEST_SKIP() << "ser2net is not installed";
  sarn_test::Ser2netGateway gateway(pty_);
  ASSERT_TRUE(gateway.Start()) << gateway.Error();
  const std::string raw = "socket://127.0.0.1:" + std::to_string(gateway.RawPort());
  const std::string telnet = "rfc2217://127.0.0.1:" + std::to_string(gateway.Rfc2217Port());
  RunResult r = RunSarnhost({"--port", raw, "write", "0140011", "4321"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(sim_.Holding(10), 4321);
  r = RunSarnhost({"--port", telnet, "read", "0140011"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_NE(r.out.find("4321"), std::string::npos) << Describe(r);
  gateway.Stop();
  r = RunSarnhost({"--port", raw, "read", "0140011"});
  EXPECT_NE(r.err.find("Connection refused"), std::string::npos) << Describe(r);
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
      {On({"read", "0120001"}), 64, "gate '0120001' refused: character 3 is '2', where the gate text holds the memory"},
      {On({"read", "0170004"}), 64, "refused: a 32-bit value (memory types 5 to 8) takes two registers from an odd"},
      {On({"read", "0140001", "--type", "float"}), 64, "data type float does not fit a holding register"},
      {On({"read", "0140001", "3", "--type", "bit"}), 64, "does not fit a block of holding register values"},
      {On({"read", "0140001", "126"}), 64, "a block of 126 is too large: at most 125 holding registers in one request"},
      {On({"read", "01400011", "2"}), 64, "a block takes no bit number"},
      {On({"read", "0140001", "--parity", "X"}), 64, "bad value 'X' for --parity"},
      {On({"read", "0140001", "--baud", "115200"}), 64,
       "1..65535: the driver's line settings hold the baud rate in 16 bits, so 115200 cannot be asked for"},
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

// Another program on the port is named: a driver that holds it under its
// lock, and a plain reader without one, which would take the replies.
TEST_F(SarnhostTest, BusyPortNamesTheProgramHoldingIt) {
  struct Case {
    ExecArgs holder;
    std::string said;   // after "PTY is ", with "PID" for the holder's
    int iHolderStatus;  // the holder's exit status after SIGTERM, -1 when killed by it
  };
  Case cases[] = {
      // A second sarnhost polls the port and so holds it; stopped by the
      // signal it still sums up: exit 0.
      {ExecArgs(On({"poll", "0140001", "--interval", "50", "--count", "400"}), {}), "in use by sarnhost (pid PID)", 0},
      {ExecArgs({pty_}, {}, "/bin/cat"),
       "open in cat (pid PID), which would take the controller's replies from the line: stop it", -1},
  };
  for (Case& c : cases) {
    sim_.ClearRequests();
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t holder = Spawn(c.holder, devNull, devNull);
    close(devNull);
    if (c.iHolderStatus == 0) {
      ASSERT_TRUE(sim_.WaitForRequests(1, 10000));
    } else {
      usleep(300000);  // cat has opened the port
    }
    RunResult r = RunSarnhost(On({"read", "0140001"}));
    kill(holder, SIGTERM);
    int status = 0;
    waitpid(holder, &status, 0);
    std::string said = c.said;
    said.replace(said.find("PID"), 3, std::to_string(holder));
    EXPECT_EQ(r.iStatus, 2) << Describe(r);
    std::vector<std::string> own = OwnLines(r.err);
    ASSERT_EQ(own.size(), 1u) << Describe(r);
    EXPECT_NE(own[0].find(pty_ + " is " + said), std::string::npos) << own[0];
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.iHolderStatus) << status;
  }
}

TEST_F(SarnhostTest, TimeOutIsResultTwoAfterThreeRequests) {
  sim_.SetPersistentFault({plcsim::FaultKind::NoReply, 0});
  RunResult r = RunSarnhost(On({"read", "0140001", "--timeout", "5"}));
  EXPECT_EQ(r.iStatus, 2) << Describe(r);
  EXPECT_EQ(sim_.RequestCount(), 3u);
  EXPECT_EQ(r.err, "sarnhost: reading '0140001' failed: no reply from controller 1 (3 attempts, 50 ms each)" +
                       SilenceChecklist(1) + "\n");
}

// Quiet by default: the values on standard output and nothing else. -v adds
// the driver's log, -vv also the frames of each transaction.
TEST_F(SarnhostTest, GoodCommandsAreQuietAndVerboseLevelsAddTheLogAndFrames) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"read", "0140001"}, "0140001: 1 (0x0001)\n"},
      {{"read", "0140011", "2"}, "0140011: 11 (0x000B)\n0140012: 12 (0x000C)\n"},
      {{"write", "0140031", "77"}, "0140031: wrote 77 (0x004D)\n"},
      {{"read", "-a", "1", "-t", "4", "-r", "5"}, "0140005: 5 (0x0005)\n"},
  };
  for (const Case& c : cases) {
    RunResult r = RunSarnhost(On(c.args));
    EXPECT_EQ(r.iStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, c.out) << Describe(r);
    EXPECT_EQ(r.err, "") << Describe(r);
  }

  RunResult verbose = RunSarnhost(On({"-v", "read", "0140002"}));
  ASSERT_EQ(verbose.iStatus, 0) << Describe(verbose);
  EXPECT_EQ(verbose.out, "0140002: 2 (0x0002)\n");
  EXPECT_NE(verbose.err.find("\t32\tSARNMD> ModBus/GTC 32bit driver installed"), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("\t8\tSARNMD> WarmStart()"), std::string::npos) << verbose.err;
  EXPECT_EQ(verbose.err.find(" request "), std::string::npos) << verbose.err;

  RunResult frames = RunSarnhost(On({"-vv", "read", "0140002"}));
  ASSERT_EQ(frames.iStatus, 0) << Describe(frames);
  EXPECT_EQ(frames.out, "0140002: 2 (0x0002)\n");
  EXPECT_NE(frames.err.find("\t8\tSARNMD> WarmStart()"), std::string::npos) << frames.err;
  EXPECT_NE(frames.err.find("sarnhost: 0140002 request :010300010001FA<CR><LF>\n"), std::string::npos) << frames.err;
  EXPECT_NE(frames.err.find("sarnhost: 0140002 reply   :0103020002F8<CR><LF>\n"), std::string::npos) << frames.err;

  // The frames of a failed transaction too: the last request, and the
  // exception reply it got.
  sim_.SetPersistentFault({plcsim::FaultKind::Exception, 2});
  frames = RunSarnhost(On({"-vv", "read", "0140002"}));
  EXPECT_EQ(frames.iStatus, 1) << Describe(frames);
  EXPECT_NE(frames.err.find("sarnhost: 0140002 request :010300010001FA<CR><LF>\n"), std::string::npos) << frames.err;
  EXPECT_NE(frames.err.find("sarnhost: 0140002 reply   :0183027A<CR><LF>\n"), std::string::npos) << frames.err;

  // A log file the user names gets the driver's reports; the terminal stays quiet.
  char szLog[] = "/tmp/sarnhost-test-log-XXXXXX";
  int fd = mkstemp(szLog);
  ASSERT_GE(fd, 0);
  close(fd);
  sim_.ClearFaults();
  RunResult logged = RunSarnhost(On({"read", "0140002"}), {{"KORVEN_LOG", szLog}});
  EXPECT_EQ(logged.iStatus, 0) << Describe(logged);
  EXPECT_EQ(logged.err, "");
  std::string text;
  if (FILE* f = fopen(szLog, "r")) {
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
  }
  unlink(szLog);
  EXPECT_NE(text.find("\t32\tSARNMD> ModBus/GTC 32bit driver installed"), std::string::npos) << text;
  EXPECT_EQ(text.find("\t8\t"), std::string::npos) << text;
}

// A controller fault, or a gate that cannot be written, with the status
// and the one line sarnhost then gives.
struct FailureCase {
  plcsim::Fault fault;
  std::vector<std::string> args;
  int iStatus;
  std::string line;
};

const std::vector<FailureCase> kFailureCases = {
    // A failure says what to check next: the checklist after silence, what garbles a reply.
    {{plcsim::FaultKind::NoReply, 0},
     {"read", "0140001"},
     2,
     "reading '0140001' failed: no reply from controller 1 (3 attempts, 50 ms each)" + SilenceChecklist(1)},
    {{plcsim::FaultKind::Exception, 2},
     {"read", "0140001"},
     1,
     "reading '0140001' failed: controller 1 answered exception 2: illegal data address"},
    {{plcsim::FaultKind::Exception, 1},
     {"read", "0140001"},
     1,
     "reading '0140001' failed: controller 1 answered exception 1: illegal function"},
    {{plcsim::FaultKind::Exception, 2},
     {"write", "0140001", "5"},
     1,
     "writing '0140001' failed: controller 1 answered exception 2: illegal data address"},
    {{plcsim::FaultKind::BadLrc, 0},
     {"read", "0140001"},
     1,
     "reading '0140001' failed: LRC error in the reply (3 attempts)" + std::string(kGarbleCauses)},
    {{plcsim::FaultKind::BadLrc, 0},
     {"write", "0140001", "5"},
     1,
     "writing '0140001' failed: LRC error in the reply (3 attempts)" + std::string(kGarbleCauses)},
    {{plcsim::FaultKind::NoCrLf, 0},
     {"read", "0140001"},
     1,
     "reading '0140001' failed: the reply did not end in CR LF (3 attempts)" + std::string(kGarbleCauses)},
    {{plcsim::FaultKind::OtherAddress, 9},
     {"read", "0140001"},
     1,
     "reading '0140001' failed: a reply came from controller 9 instead of 1 (10 attempts)"},
    {{plcsim::FaultKind::Truncate, 9},
     {"read", "0140001"},
     2,
     "reading '0140001' failed: the reply from controller 1 broke off (3 attempts)"},
    {{plcsim::FaultKind::None, 0},
     {"write", "0130001", "5"},
     1,
     "writing '0130001' failed: not writable: input register"},
    {{plcsim::FaultKind::None, 0},
     {"write", "0110001", "1"},
     1,
     "writing '0110001' failed: not writable: discrete input"},
    // The driver refuses a block write of input registers: it would land in
    // the holding registers.
    {{plcsim::FaultKind::None, 0},
     {"write", "0130001", "5", "6"},
     1,
     "writing '0130001' failed: not writable: input register"},
};

// A failure is one line on standard error that says why, in words, and
// nothing on standard output.
TEST_F(SarnhostTest, EachFailureGivesItsReasonInOneLine) {
  for (const FailureCase& c : kFailureCases) {
    sim_.ClearFaults();
    sim_.SetPersistentFault(c.fault);
    sim_.ClearRequests();
    sim_.SetHolding(0, 1);
    sim_.SetInputReg(0, 1001);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--timeout", "5"});
    RunResult r = RunSarnhost(On(args));
    EXPECT_EQ(r.iStatus, c.iStatus) << c.line << "\n" << Describe(r);
    EXPECT_EQ(r.err, "sarnhost: " + c.line + "\n") << Describe(r);
    EXPECT_EQ(r.out, "") << Describe(r);
    if (c.args[1] == "0130001") {
      EXPECT_EQ(sim_.RequestCount(), 0u) << c.line;
      EXPECT_EQ(sim_.Holding(0), 1);  // nothing landed in the holding registers
      EXPECT_EQ(sim_.InputReg(0), 1001);
    }
  }
}

// mbpoll options that say what gate texts cannot, the status and the words
// of the one line that refuses them.
struct MbpollRefusal {
  std::vector<std::string> args;
  int iStatus;
  std::string text;
};

const MbpollRefusal kMbpollRefusals[] = {
    {{"read", "-t", "2"}, 64, "bad value '2' for -t"},
    {{"read", "-a", "248"}, 64, "bad value '248' for -a: controllers 1..247"},
    {{"read", "-r", "65535", "-c", "3"}, 64, "references 65535 to 65537 run past 65536"},
    {{"write", "-r", "1", "-c", "2", "5"}, 64, "-c 2 but 1 values given"},
    {{"read", "-r", "1", "0140001"}, 64, "usage: sarnhost [options] read"},
};

// mbpoll's options name the same values as the gate texts.
TEST_F(SarnhostTest, MbpollOptionsReadWhatTheGateTextsRead) {
  sim_.SetHolding(50, static_cast<uint16_t>(FloatBits(3.5f) >> 16));
  sim_.SetHolding(51, static_cast<uint16_t>(FloatBits(3.5f)));
  sim_.SetInputReg(60, 0xFFFE);
  sim_.SetInputReg(61, 0x1DC0);
  struct Case {
    std::vector<std::string> mbpoll, gate;
  };
  const Case cases[] = {
      {{"read", "-a", "1", "-t", "4", "-r", "1", "-c", "2"}, {"read", "0140001", "2"}},
      {{"read", "-t", "3", "-r", "5"}, {"read", "0130005"}},
      {{"read", "-t", "0", "-r", "3", "-c", "4"}, {"read", "0100003", "4"}},
      {{"read", "-t", "1", "-r", "2", "-c", "3"}, {"read", "0110002", "3"}},
      // 32-bit values: -B takes the high word first, as the driver does by default.
      {{"read", "-t", "4:float", "-r", "51", "-B"}, {"read", "0170051"}},
      {{"read", "-t", "3:int", "-r", "61", "-B"}, {"read", "0160061"}},
      {{"read", "-t", "4:int", "-r", "1", "-c", "2", "-B"}, {"read", "0180001", "2"}},
  };
  for (const Case& c : cases) {
    RunResult a = RunSarnhost(On(c.mbpoll));
    RunResult b = RunSarnhost(On(c.gate));
    EXPECT_EQ(a.iStatus, 0) << Describe(a);
    EXPECT_FALSE(a.out.empty());
    EXPECT_EQ(a.out, b.out) << c.gate[1];
    EXPECT_EQ(a.err, "") << Describe(a);
  }

  // -v shows the gate text built.
  RunResult v = RunSarnhost(On({"-v", "read", "-a", "1", "-t", "4", "-r", "1", "-c", "2"}));
  EXPECT_NE(v.err.find("sarnhost: -a 1 -t 4 -r 1 -c 2 is gate 0140001, a block of 2\n"), std::string::npos) << v.err;
  // ... and which word order 32-bit values are shown in, by mbpoll's options or by the initialization file.
  v = RunSarnhost(On({"-v", "read", "-t", "4:float", "-r", "51"}));
  EXPECT_NE(v.err.find("sarnhost: -a 1 -t 4:float -r 51 -c 1 is gate 0170051, 32-bit values low word first (mbpoll's "
                       "order without -B)\n"),
            std::string::npos)
      << v.err;
  v = RunSarnhost(On({"-v", "read", "0170051"}));
  EXPECT_NE(v.err.find("sarnhost: 0170051 holds its 32-bit values high word first (FLOATSWAP = NO in "),
            std::string::npos)
      << v.err;

  // write and poll take them too.
  RunResult w = RunSarnhost(On({"write", "-a", "1", "-t", "4", "-r", "21", "7", "8"}));
  EXPECT_EQ(w.iStatus, 0) << Describe(w);
  EXPECT_EQ(sim_.Holding(20), 7);
  EXPECT_EQ(sim_.Holding(21), 8);
  RunResult p = RunSarnhost(On({"poll", "-t", "4", "-r", "21", "-c", "2", "--count", "1", "--interval", "10"}));
  EXPECT_EQ(p.iStatus, 0) << Describe(p);
  EXPECT_NE(p.out.find("round 1  0140021   7 (0x0007)"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("round 1  0140022   8 (0x0008)"), std::string::npos) << p.out;

  // What gate texts cannot say is refused in one line.
  for (const MbpollRefusal& b : kMbpollRefusals) {
    RunResult r = RunSarnhost(On(b.args));
    EXPECT_EQ(r.iStatus, b.iStatus) << Describe(r);
    std::vector<std::string> own = OwnLines(r.err);
    ASSERT_EQ(own.size(), 1u) << Describe(r);
    EXPECT_NE(own[0].find(b.text), std::string::npos) << own[0];
  }
}

// In decimal base a letter among the digits ends the number: the driver
// reads something else, and sarnhost says so.
TEST_F(SarnhostTest, LettersWhereDecimalDigitsBelongAreWarnedAbout) {
  struct Case {
    std::string gate;
    std::string warning;  // "" for none
    std::string out;
  };
  const Case cases[] = {
      {"01401A1",
       "'A' in the address where a decimal digit belongs (gate addresses are decimal here): the driver "
       "reads address 1",
       "01401A1: 1 (0x0001)\n"},
      {"0140001F", "", "0140001F: 0\n"},  // the bit number is hexadecimal in every base
      {"0140001", "", "0140001: 1 (0x0001)\n"},
  };
  for (const Case& c : cases) {
    RunResult r = RunSarnhost(On({"read", c.gate}));
    EXPECT_EQ(r.iStatus, 0) << Describe(r);
    EXPECT_EQ(r.out, c.out);
    if (c.warning.empty()) {
      EXPECT_EQ(r.err, "") << Describe(r);
    } else {
      EXPECT_EQ(r.err, "sarnhost: warning: gate '" + c.gate + "' has " + c.warning + "\n") << Describe(r);
    }
  }
  // Controller 0 is nobody: the warning, then the refusal, at once.
  RunResult r = RunSarnhost(On({"read", "0A40001", "--timeout", "5"}));
  EXPECT_EQ(r.iStatus, 64) << Describe(r);
  EXPECT_EQ(OwnLines(r.err),
            (std::vector<std::string>{"sarnhost: warning: gate '0A40001' has 'A' in the controller where a decimal "
                                      "digit belongs (gate addresses are decimal here): the driver reads controller 0",
                                      "sarnhost: gate '0A40001' refused: controller 0 is the broadcast address, and "
                                      "no controller answers a broadcast: give a controller 1 to 247"}));

  // In hexadecimal base the same text is what it says: no warning.
  char szDir[] = "/tmp/sarnhost-test-hex-XXXXXX";
  ASSERT_NE(mkdtemp(szDir), nullptr);
  std::string ini = std::string(szDir) + "/SARNMD1.INT";
  FILE* f = fopen(ini.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("BUS = MODBUS, HEX\n", f);
  fclose(f);
  r = RunSarnhost(On({"read", "01401A1"}), {}, szDir);
  unlink(ini.c_str());
  rmdir(szDir);
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(r.out, "01401A1: 417 (0x01A1)\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SarnhostTest, PollCountsGoodReadsAndFailures) {
  RunResult r = RunSarnhost(On({"poll", "0140001", "0130001", "--interval", "10", "--count", "3"}));
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_NE(r.out.find("6 reads, 6 good"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("round 3  0130001"), std::string::npos) << r.out;

  sim_.SetPersistentFault({plcsim::FaultKind::Exception, 2});
  r = RunSarnhost(On({"poll", "0140001", "--interval", "10", "--count", "2"}));
  EXPECT_EQ(r.iStatus, 1) << Describe(r);
  EXPECT_NE(r.out.find("round 1  0140001   exception 2: illegal data address"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 reads, 0 good, 2 failed: 2 exception 2: illegal data address"), std::string::npos) << r.out;
}

// --csv appends a line per read: time, gate, value, result in words,
// round-trip time; the header only into a new file.
TEST_F(SarnhostTest, PollCsvAppendsOneLinePerRead) {
  char szFile[] = "/tmp/sarnhost-test-csv-XXXXXX";
  int fd = mkstemp(szFile);
  ASSERT_GE(fd, 0);
  close(fd);
  for (int run = 0; run < 2; ++run) {
    RunResult r = RunSarnhost(
        On({"poll", "0140003", "0240001", "--count", "2", "--interval", "10", "--timeout", "5", "--csv", szFile}));
    EXPECT_EQ(r.iStatus, 2) << Describe(r);
  }
  std::string text;
  if (FILE* f = fopen(szFile, "r")) {
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
  }
  unlink(szFile);
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_EQ(lines[0], "time,gate,value,result,ms");
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    // 2026-12-08 15:40:01.123,gate,value,result,ms
    ASSERT_GT(l.size(), 24u) << l;
    EXPECT_EQ(l[4], '-') << l;
    EXPECT_EQ(l[10], ' ') << l;
    EXPECT_EQ(l[19], '.') << l;
    EXPECT_EQ(l[23], ',') << l;
    std::string rest = l.substr(24);
    size_t lastComma = rest.rfind(',');
    ASSERT_NE(lastComma, std::string::npos) << l;
    char* pEnd = nullptr;
    double dMs = strtod(rest.c_str() + lastComma + 1, &pEnd);
    EXPECT_EQ(*pEnd, '\0') << l;
    EXPECT_GE(dMs, 0.0) << l;
    std::string fields = rest.substr(0, lastComma);
    if (i % 2 == 1) {
      EXPECT_EQ(fields, "0140003,3,ok") << l;
    } else {
      EXPECT_EQ(fields, "0240001,,no reply") << l;
      EXPECT_GE(dMs, 140.0) << l;  // three time-outs of 50 ms
    }
  }

  RunResult r = RunSarnhost(On({"poll", "0140003", "--count", "1", "--csv", "/no-such-dir/x.csv"}));
  EXPECT_EQ(r.iStatus, 73) << Describe(r);
  EXPECT_EQ(OwnLines(r.err).size(), 1u) << Describe(r);
}

// Interrupted: a scan ends at once with what was found so far.
void ExpectInterruptedScanEndsAtOnce(plcsim::Simulator& sim, const std::string& pty) {
  sim.ClearFaults();
  sim.ClearRequests();
  ExecArgs a({"--port", pty, "scan", "--timeout", "50"}, {});
  int outPipe[2];
  ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = Spawn(a, outPipe[1], devNull);
  close(outPipe[1]);
  close(devNull);
  ASSERT_TRUE(sim.WaitForRequests(8, 20000));  // at controller 2 or beyond
  auto t0 = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  std::string out;
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(outPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(outPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(dSeconds, 5.0);  // one transaction at most: three time-outs of 0.5 s
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(out.find("(interrupted)"), std::string::npos) << out;
  EXPECT_NE(out.find("1           9600 7E2        answered"), std::string::npos) << out;
}

// A scan promised its bound on standard error before it started, and the
// seconds its table says it took are within it.
void ExpectScanWithinItsBound(const RunResult& r, const std::string& pty, const std::string& addresses) {
  const std::string promise = "sarnhost: scanning controllers " + addresses + " on " + pty + " at ";
  ASSERT_EQ(r.err.rfind(promise, 0), 0u) << Describe(r);
  const size_t nAtMost = r.err.find("at most ");
  ASSERT_NE(nAtMost, std::string::npos) << Describe(r);
  const double dBound = atof(r.err.c_str() + nAtMost + 8);
  const size_t nIn = r.out.find(" probes in ");
  ASSERT_NE(nIn, std::string::npos) << Describe(r);
  const double dTook = atof(r.out.c_str() + nIn + 11);
  EXPECT_GT(dBound, 0) << Describe(r);
  EXPECT_LE(dTook, dBound) << Describe(r);
}

// scan finds the controllers that answer, at each line setting asked for,
// and says first how long it may take, and keeps to it.
TEST(SarnhostScan, FindsTheControllersThatAnswer) {
  plcsim::Options options;
  options.addresses = {1, 7};
  plcsim::Simulator sim(options);
  std::string pty = sim.OpenPty();
  ASSERT_FALSE(pty.empty());

  RunResult r = RunSarnhost({"--port", pty, "scan", "--to", "12", "--timeout", "2"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(Lines(r.err).size(), 1u) << Describe(r);  // the bound, also when the output is no terminal
  ExpectScanWithinItsBound(r, pty, "1 to 12");
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0].rfind("scan of " + pty + ": controllers 1 to 12 at 9600 7E2, 12 probes in ", 0), 0u) << r.out;
  EXPECT_EQ(lines[1], "controller  line            answer");
  EXPECT_EQ(lines[2], "1           9600 7E2        answered");
  EXPECT_EQ(lines[3], "7           9600 7E2        answered");
  // Ten silent addresses, three time-outs of 20 ms each: well under a second
  // on a quiet machine; generous for a shared one.
  EXPECT_LT(r.dSeconds, 20.0);

  // Across line settings (a pseudo-terminal carries every one alike).
  r = RunSarnhost({"--port", pty, "scan", "--from", "6", "--to", "8", "--bauds", "9600,19200", "--parities", "E,N",
                   "--timeout", "2"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_NE(lines[0].find("at 9600 7E2, 9600 7N2, 19200 7E2, 19200 7N2, 12 probes"), std::string::npos) << r.out;
  EXPECT_EQ(lines[2], "7           9600 7E2        answered");
  EXPECT_EQ(lines[3], "7           9600 7N2        answered");
  EXPECT_EQ(lines[4], "7           19200 7E2       answered");
  EXPECT_EQ(lines[5], "7           19200 7N2       answered");

  // A controller that answers only with exceptions is found all the same.
  sim.SetPersistentFault({plcsim::FaultKind::Exception, 2});
  r = RunSarnhost({"--port", pty, "scan", "--from", "7", "--to", "7", "--timeout", "2"});
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_NE(r.out.find("7           9600 7E2        answered exception 2: illegal data address"), std::string::npos)
      << r.out;

  // Nobody there: status 2, within the bound of silent probes (attempts, then the line's settle).
  r = RunSarnhost({"--port", pty, "scan", "--from", "2", "--to", "4", "--timeout", "20"});
  EXPECT_EQ(r.iStatus, 2) << Describe(r);
  EXPECT_NE(r.out.find("no controller answered"), std::string::npos) << r.out;
  ExpectScanWithinItsBound(r, pty, "2 to 4");

  ExpectInterruptedScanEndsAtOnce(sim, pty);
}

// plcsim --fill: the value at gate address k is k.
TEST(PlcsimProgram, FillShowsGateAddressKAsValueK) {
  ExecArgs help({"--help"}, {}, PLCSIM_PATH);
  int outPipe[2];
  ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  pid_t pid = Spawn(help, outPipe[1], outPipe[1]);
  close(outPipe[1]);
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(outPipe[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(outPipe[0]);
  waitpid(pid, nullptr, 0);
  EXPECT_NE(text.find("gate 0140011 reads 11"), std::string::npos) << text;

  ExecArgs sim({"--pty", "--fill"}, {}, PLCSIM_PATH);
  ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid = Spawn(sim, outPipe[1], devNull);
  close(outPipe[1]);
  close(devNull);
  std::string first;
  char c = 0;
  while (read(outPipe[0], &c, 1) == 1 && c != '\n') first += c;
  close(outPipe[0]);
  RunResult r = RunSarnhost({"--port", first, "read", "0140011"});
  RunResult in = RunSarnhost({"--port", first, "read", "0130005"});
  RunResult coils = RunSarnhost({"--port", first, "read", "0100001", "3"});
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(r.out, "0140011: 11 (0x000B)\n") << Describe(r);
  EXPECT_EQ(in.out, "0130005: 1005 (0x03ED)\n") << Describe(in);
  EXPECT_EQ(coils.out, "0100001: 0\n0100002: 0\n0100003: 1\n") << Describe(coils);
}

// plcsim run as a program on a pseudo-terminal, stopped at the end.
class PlcsimRun {
 public:
  explicit PlcsimRun(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--pty"};
    all.insert(all.end(), args.begin(), args.end());
    ExecArgs sim(all, {}, PLCSIM_PATH);
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return;
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = Spawn(sim, outPipe[1], devNull);
    close(outPipe[1]);
    close(devNull);
    char c = 0;
    while (read(outPipe[0], &c, 1) == 1 && c != '\n') path_ += c;
    close(outPipe[0]);
  }
  ~PlcsimRun() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

// Each fault plcsim plays on demand, as sarnhost reports it.
TEST(PlcsimProgram, FaultsOnDemand) {
  struct Case {
    std::vector<std::string> plcsim;
    int iStatus;
    std::string said;  // on standard error, or standard output when successful
    std::vector<std::string> command = {"read", "0140011"};
  } cases[] = {
      {{"--exception", "4:11=2"}, 1, "controller 1 answered exception 2: illegal data address"},
      {{"--exception", "4:12=2"}, 0, "0140011: 11 (0x000B)"},
      {{"--exception", "*=6"}, 1, "answered exception 6"},
      {{"--silent", "100"}, 2, "no reply from controller 1 (3 attempts, 200 ms each)"},
      {{"--lrc-errors", "100"}, 1, "LRC error in the reply (3 attempts)"},
      {{"--garble", "100", "--seed", "3"}, 1, "failed"},
      // A garbled write answer is named as what it may be, with what garbles one.
      {{"--garble", "100", "--seed", "2"},
       1,
       "the write's answer did not repeat the request (it said address 0x0000, value or quantity 0x0000): garbled on "
       "the line, or the answer to another request",
       {"write", "0140011", "5"}},
      {{"--late", "400"}, 0, "0140011: 11 (0x000B)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.plcsim;
    args.push_back("--fill");
    PlcsimRun sim(args);
    ASSERT_FALSE(sim.path().empty());
    std::vector<std::string> sarnhost = {"--port", sim.path(), "--timeout", "20"};
    sarnhost.insert(sarnhost.end(), c.command.begin(), c.command.end());
    RunResult r = RunSarnhost(sarnhost);
    EXPECT_EQ(r.iStatus, c.iStatus) << c.plcsim[0] << "\n" << Describe(r);
    EXPECT_NE((c.iStatus == 0 ? r.out : r.err).find(c.said), std::string::npos) << c.plcsim[0] << "\n" << Describe(r);
    if (c.plcsim[0] == "--late") {
      EXPECT_GE(r.dSeconds, 0.4);
    }
  }
}

// A bad fault option, or an address that is not loopback, is refused with
// the reason, before anything is served.
TEST(PlcsimProgram, RefusesBadFaultOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--silent", "101"},          {"--exception", "4:11"},  {"--garble"}, {"--echo=1"}, {"--late", "x"},
      {"--listen", "0.0.0.0:5020"}, {"--listen", "127.0.0.1"}};
  for (std::vector<std::string> args : bad) {
    args.insert(args.begin(), "--pty");
    ExecArgs a(args, {}, PLCSIM_PATH);
    int errPipe[2];
    ASSERT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    pid_t pid = Spawn(a, errPipe[1], errPipe[1]);
    close(errPipe[1]);
    std::string text;
    char buf[512];
    ssize_t n = 0;
    while ((n = read(errPipe[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 2) << args[1];
    EXPECT_EQ(text.rfind("plcsim: ", 0), 0u) << text;
    EXPECT_NE(text.find("(try --help)"), std::string::npos) << text;
  }
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

namespace {

// Runs a shell command and returns its standard output.
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A tmux server of its own, with one window of a known size running one
// command, as a person at a terminal would.
class Terminal {
 public:
  // Each terminal has a server of its own: a new one never meets the previous
  // one still shutting down.
  explicit Terminal(const std::string& command)
      : socket_("sarnhost-test-" + std::to_string(getpid()) + "-" + std::to_string(++s_nTerminals)) {
    Shell(Tmux() + " -f /dev/null new-session -d -s t -x 132 -y 40 '" + command + "; echo \"[exit $?]\"; sleep 120'");
  }
  ~Terminal() { Shell(Tmux() + " kill-server 2>/dev/null"); }
  std::string Screen() { return Shell(Tmux() + " capture-pane -p -t t"); }
  void CtrlC() { Shell(Tmux() + " send-keys -t t C-c"); }
  // Polls the screen until it holds text; the screen then, or "" on time-out.
  std::string WaitFor(const std::string& text, double dSeconds) {
    auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < dSeconds) {
      std::string screen = Screen();
      if (screen.find(text) != std::string::npos) return screen;
      usleep(20000);
    }
    return "";
  }

 private:
  std::string Tmux() const { return "tmux -L " + socket_; }
  static inline int s_nTerminals = 0;
  std::string socket_;
};

bool HaveTmux() {
  return Shell("command -v tmux").find("tmux") != std::string::npos;
}

}  // namespace

// The live table on a terminal: drawn at once, redrawn in place, and Ctrl-C
// answered at once with the summary at the left margin, even while a
// transaction waits out its time-outs.
TEST_F(SarnhostTest, LivePollDrawsAtOnceAndAnswersCtrlCAtOnce) {
  if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed";
  {
    // Controller 2 is silent: its first read takes three time-outs of 3 s.
    Terminal term(std::string(SARNHOST_PATH) + " --port " + pty_ + " poll 0140001 0240001 --timeout 300");
    std::string screen = term.WaitFor("0240001   waiting", 30);
    ASSERT_FALSE(screen.empty()) << term.Screen();
    EXPECT_EQ(Lines(screen)[0].rfind("polling " + pty_ + " every 1000 ms, round 1 (Ctrl-C stops)", 0), 0u) << screen;
    // Controller 1 has answered: the read of controller 2 is under way.
    screen = term.WaitFor("0140001   1 (0x0001)", 30);
    ASSERT_FALSE(screen.empty()) << term.Screen();
    ASSERT_NE(screen.find("0240001   waiting"), std::string::npos) << screen;

    auto t0 = std::chrono::steady_clock::now();
    term.CtrlC();
    screen = term.WaitFor("[exit 0]", 30);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_FALSE(screen.empty()) << term.Screen();
    // Meant to be within 0.2 s; the transaction under way would take 9 s.
    EXPECT_LT(dSeconds, 4.0) << screen;
    EXPECT_NE(screen.find("\nsummary after 1 round (interrupted):\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\n1 reads, 1 good\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("^C"), std::string::npos) << screen;
    for (const std::string& l : Lines(screen)) EXPECT_TRUE(l.empty() || l[0] != ' ') << screen;
  }
  {
    // Redrawn in place: one table on the screen after twenty rounds.
    Terminal term(std::string(SARNHOST_PATH) + " --port " + pty_ + " poll 0140001 0130002 --interval 20 --count 20");
    std::string screen = term.WaitFor("[exit 0]", 60);
    ASSERT_FALSE(screen.empty()) << term.Screen();
    std::vector<std::string> lines = Lines(screen);
    size_t nPolling = 0;
    for (const std::string& l : lines) nPolling += l.rfind("polling ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(nPolling, 1u) << screen;
    EXPECT_NE(screen.find("round 20 of 20"), std::string::npos) << screen;
    EXPECT_NE(screen.find("summary after 20 rounds:"), std::string::npos) << screen;
    EXPECT_NE(screen.find("40 reads, 40 good"), std::string::npos) << screen;
  }
}

namespace {

// A scratch directory holding an initialization file, removed at the end.
class IntFileDir {
 public:
  explicit IntFileDir(const std::string& content) {
    char sz[] = "/tmp/sarnhost-int-XXXXXX";
    if (mkdtemp(sz) != nullptr) path_ = sz;
    FILE* f = fopen((path_ + "/SARNMD1.INT").c_str(), "w");
    if (f != nullptr) {
      fputs(content.c_str(), f);
      fclose(f);
    }
  }
  ~IntFileDir() {
    unlink((path_ + "/SARNMD1.INT").c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct CliCase {
  std::vector<std::string> args;  // "DEV" stands for the simulator's device
  int iStatus;
  std::string said;  // standard output when the status is 0, else a part of standard error
};

void RunCliCases(const std::string& device, const std::vector<CliCase>& cases, const std::string& cwd = "") {
  for (const CliCase& c : cases) {
    std::vector<std::string> args = c.args;
    std::string shown;
    for (std::string& a : args) {
      if (a == "DEV") a = device;
      shown += a + " ";
    }
    RunResult r = RunSarnhost(args, {}, cwd);
    EXPECT_EQ(r.iStatus, c.iStatus) << shown << "\n" << Describe(r);
    if (c.iStatus == 0) {
      EXPECT_EQ(r.out, c.said) << shown << "\n" << Describe(r);
    } else {
      EXPECT_NE(r.err.find(c.said), std::string::npos) << shown << "\n" << Describe(r);
      EXPECT_EQ(OwnLines(r.err).size(), 1u) << shown << "\n" << Describe(r);
    }
  }
}

}  // namespace

// mbpoll's command lines with sarnhost in its place give mbpoll's values.
// The simulator answers as controllers 1, 2 and 150: holding register k = k,
// input register k = 1000 + k, coil k = (k % 3 == 0), input k = (k % 2 == 0).
TEST(SarnhostMbpoll, CommandLinesAsMbpollTakesThem) {
  PlcsimRun sim({"--fill", "--address", "1", "--address", "2", "--address", "150"});
  ASSERT_FALSE(sim.path().empty());
  const std::vector<CliCase> cases = {
      {{"DEV", "-a", "1", "-t", "4", "-r", "1", "-1"}, 0, "-- Polling slave 1...\n[1]: \t1\n"},
      {{"DEV", "-t4", "-r11", "-1", "-q"}, 0, "[11]: \t11\n"},
      {{"-t", "4:hex", "-r", "11", "-1", "-q", "DEV"}, 0, "[11]: \t0x000B\n"},
      {{"DEV", "-0", "-r", "10", "-1", "-q"}, 0, "[10]: \t11\n"},
      {{"DEV", "-a", "1,2", "-t", "3", "-r", "5", "-1"},
       0,
       "-- Polling slave 1...\n[5]: \t1005\n-- Polling slave 2...\n[5]: \t1005\n"},
      {{"DEV", "-a", "1:2", "-r", "7", "-1", "-q"}, 0, "[7]: \t7\n[7]: \t7\n"},
      {{"DEV", "-a", "150", "-r", "3", "-1", "-q"}, 0, "[3]: \t3\n"},
      {{"DEV", "-t", "4:int", "-r", "1", "-1", "-q"}, 0, "[1]: \t131073\n"},  // low word first
      {{"DEV", "-t", "4:int", "-r", "1", "-B", "-1", "-q"}, 0, "[1]: \t65538\n"},
      {{"DEV", "-t", "4:int", "-r", "1", "-c", "2", "-B", "-1", "-q"}, 0, "[1]: \t65538\n[3]: \t196612\n"},
      {{"DEV", "-t", "0", "-r", "1", "-c", "3", "-1", "-q"}, 0, "[1]: \t0\n[2]: \t0\n[3]: \t1\n"},
      {{"DEV", "-t", "1", "-r", "2", "-1", "-q"}, 0, "[2]: \t1\n"},
      {{"DEV", "-b", "9600", "-d", "7", "-s", "2", "-P", "even", "-o", "0.5", "-r", "4", "-1", "-q"}, 0, "[4]: \t4\n"},
      {{"DEV", "-l", "10", "--count", "2", "-q", "-r", "5"}, 0, "[5]: \t5\n[5]: \t5\n"},
      {{"DEV", "-r", "40", "-c", "2", "7", "8"}, 0, "Written 2 references.\n"},
      {{"DEV", "-r", "40", "-c", "2", "-1", "-q"}, 0, "[40]: \t7\n[41]: \t8\n"},
      {{"DEV", "-t", "4:float", "-r", "51", "-2.5"}, 0, "Written 1 references.\n"},
      {{"DEV", "-t", "4:float", "-r", "51", "-1", "-q"}, 0, "[51]: \t-2.5\n"},
      {{"DEV", "-r", "60", "--", "-1"}, 0, "Written 1 references.\n"},
      {{"DEV", "-r", "60", "-1", "-q"}, 0, "[60]: \t65535 (-1)\n"},
      {{"DEV", "-t", "4:int16", "-r", "60", "-1", "-q"}, 0, "[60]: \t-1\n"},
      {{"DEV", "-m", "rtu", "-1"}, 64, "-m rtu: sarnhost speaks Modbus ASCII"},
      {{"DEV", "-m", "tcp"}, 64, "-m tcp: sarnhost speaks Modbus ASCII"},
      {{"DEV", "-p", "502"}, 64, "-p: mbpoll's TCP port has no meaning here"},
      {{"DEV", "-R"}, 64, "-R: RTS around each transmission is set in the initialization file"},
      {{"DEV", "-F"}, 64, "-F: RTS around each transmission"},
      {{"DEV", "-t", "2"}, 64, "bad value '2' for -t"},
      {{"DEV", "-a", "0"}, 64, "-a 0: controller 0 is the broadcast address, and no controller answers a broadcast"},
      {{"DEV", "-r", "0", "-1"}, 64, "references count from 1 (or use -0)"},
      {{"DEV", "-a", "3", "-1", "-o", "0.05"}, 2, "no reply from controller 3"},
      // mbpoll's write form with the device given by --port writes too.
      {{"--port", "DEV", "-a", "2", "-t", "4", "-r", "80", "4242"}, 0, "Written 1 references.\n"},
      {{"DEV", "-a", "2", "-r", "80", "-1", "-q"}, 0, "[80]: \t4242\n"},
  };
  RunCliCases(sim.path(), cases);
}

// One meaning per option wherever it stands: before or after the command
// word, -t is the table, -c the number of values, -o the time-out.
TEST(SarnhostMbpoll, OptionsMeanTheSameBeforeAndAfterTheCommand) {
  PlcsimRun sim({"--fill", "--address", "1", "--address", "150"});
  ASSERT_FALSE(sim.path().empty());
  const std::vector<CliCase> cases = {
      {{"-t", "3", "--port", "DEV", "read", "-a", "1", "-r", "5"}, 0, "0130005: 1005 (0x03ED)\n"},
      {{"-t", "3", "read", "DEV", "-r", "5"}, 0, "0130005: 1005 (0x03ED)\n"},
      {{"-c", "2", "read", "DEV", "-r", "5"}, 0, "0140005: 5 (0x0005)\n0140006: 6 (0x0006)\n"},
      {{"read", "DEV", "0140005", "-c", "2"}, 0, "0140005: 5 (0x0005)\n0140006: 6 (0x0006)\n"},
      {{"read", "-a", "150", "-t", "4", "-r", "1", "-c", "2", "DEV"},
       0,
       "150.40001: 1 (0x0001)\n150.40002: 2 (0x0002)\n"},
      {{"read", "-a", "1,150", "-r", "9", "DEV"}, 0, "0140009: 9 (0x0009)\n150.40009: 9 (0x0009)\n"},
      {{"write", "-a", "150", "-r", "20", "DEV", "77"}, 0, "150.40020: wrote 77 (0x004D)\n"},
      {{"read", "-a", "150", "-r", "20", "DEV"}, 0, "150.40020: 77 (0x004D)\n"},
      {{"read", "DEV", "15040001"}, 64, "use -a 150 -t 4 -r 1, or BUS = MODBUS, HEX"},
      {{"poll", "DEV", "0140001:3", "--count", "1"}, 0, "round 1  0140001   1 (0x0001) "},
      {{"read", "DEV", "0140005", "3", "-c", "3"}, 64, "give the count once"},
  };
  // The poll line ends with the round-trip time, which varies: compare the start.
  for (const CliCase& c : cases) {
    if (c.args[0] != "poll") {
      RunCliCases(sim.path(), {c});
      continue;
    }
    std::vector<std::string> args = c.args;
    args[1] = sim.path();
    RunResult r = RunSarnhost(args);
    EXPECT_EQ(r.iStatus, 0) << Describe(r);
    EXPECT_EQ(r.out.rfind(c.said, 0), 0u) << Describe(r);
    EXPECT_NE(r.out.find("round 1  0140003   3 (0x0003)"), std::string::npos) << Describe(r);
  }
}

TEST(SarnhostHelp, EachCommandHasItsOwnHelpAndTheVersionIsShown) {
  for (const char* pszCommand : {"read", "write", "poll", "scan", "info", "demo"}) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"help", pszCommand}, {pszCommand, "--help"}, {pszCommand, "-h"}}) {
      RunResult r = RunSarnhost(args);
      EXPECT_EQ(r.iStatus, 0) << Describe(r);
      EXPECT_EQ(r.out.rfind(std::string("Usage: sarnhost [options] ") + pszCommand, 0), 0u) << Describe(r);
      EXPECT_NE(r.out.find("Example:\n  sarnhost"), std::string::npos) << Describe(r);
      EXPECT_EQ(r.out.find("Commands ("), std::string::npos) << "the whole text instead of one command's";
    }
  }
  // Only the options the command takes.
  RunResult scan = RunSarnhost({"scan", "--help"});
  EXPECT_NE(scan.out.find("--bauds LIST"), std::string::npos) << scan.out;
  EXPECT_EQ(scan.out.find("--csv"), std::string::npos) << scan.out;
  EXPECT_NE(RunSarnhost({"help", "poll"}).out.find("--csv FILE"), std::string::npos);

  RunResult bad = RunSarnhost({"help", "frobnicate"});
  EXPECT_EQ(bad.iStatus, 64);
  EXPECT_NE(bad.err.find("no command 'frobnicate' to help with"), std::string::npos) << Describe(bad);
  for (const char* pszVersion : {"-V", "--version"}) {
    RunResult v = RunSarnhost({pszVersion});
    EXPECT_EQ(v.iStatus, 0) << Describe(v);
    ASSERT_EQ(Lines(v.out).size(), 2u) << Describe(v);
    EXPECT_EQ(Lines(v.out)[0].rfind("sarnhost 1.", 0), 0u) << v.out;
    EXPECT_EQ(Lines(v.out)[1].rfind("driver /", 0), 0u) << v.out;
    EXPECT_NE(v.out.find("libsarnmd.so"), std::string::npos) << v.out;
    EXPECT_NE(Lines(v.out)[1].find("), version compiled on "), std::string::npos) << v.out;
  }
}

// GTC gates are read as blocks: poll takes a count per gate and shows every
// value by its own gate address.
TEST(SarnhostGtc, PollTakesACountPerGate) {
  IntFileDir dir("BUS = GTC, DEC\n");
  PlcsimRun sim({"--gtc", "--fill"});
  ASSERT_FALSE(sim.path().empty());
  RunResult r = RunSarnhost({"--port", sim.path(), "poll", "0100200:8", "0110001:9", "0130002:42", "--count", "1"}, {},
                            dir.path());
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  // Variables from 200 are bits 161 on, inputs count eight to a ten (0110010 follows 0110007). The gate
  // column is as wide as the longest label, an area's "0130002[10]".
  for (const char* psz : {"round 1  0100200     0 ", "round 1  0100207     1 ", "round 1  0110007     0 ",
                          "round 1  0110010     1 ", "round 1  0110011     0 ", "round 1  0130002[0]  2000 (0x07D0) ",
                          "round 1  0130002[10] 2010 (0x07DA) ", "59 reads, 59 good"}) {
    EXPECT_NE(r.out.find(psz), std::string::npos) << psz << "\n" << Describe(r);
  }
  RunCliCases(sim.path(),
              {{{"--port", "DEV", "poll", "0100200"}, 64, "GTC gates are read as blocks: give a count, e.g. 0100200:8"},
               {{"--port", "DEV", "poll", "0100200:x"}, 64, "bad count in '0100200:x'"},
               // A register area's label reads back given alone: the area is read whole, the one value shown.
               {{"--port", "DEV", "read", "0130002[10]"}, 0, "0130002[10]: 2010 (0x07DA)\n"},
               {{"--port", "DEV", "read", "0130002[42]"}, 64, "the block at 0130002 holds 42 values"}},
              dir.path());
}

// The small things a technician trips over, each in words.
TEST_F(SarnhostTest, SmallThingsReadAsWords) {
  RunCliCases(pty_, {
                        {{"--port", "DEV", "read", "014000"},
                         64,
                         "'014000' has 6 characters; a gate text has 7 (8 with a bit number)"},
                        {{"--port", "DEV", "read", "0120001"}, 64, "character 3 is '2', where the gate text holds"},
                        {{"--port", "DEV", "write", "0140001", "abc"}, 64, "'abc' is not a number"},
                        {{"--port", "DEV", "write", "0140001", "70000"}, 64, "does not fit a 16-bit register"},
                        {{"--port", "DEV", "write", "0170001", "1e40"}, 64, "'1e40' is out of a float's range"},
                    });
  // A device name that is no path is under /dev/ ("pts/3" for /dev/pts/3).
  RunResult shortName = RunSarnhost({"read", pty_.substr(5), "0140002"});
  EXPECT_EQ(shortName.out, "0140002: 2 (0x0002)\n") << Describe(shortName);

  RunResult bad = RunSarnhost(On({"read", "014000"}));
  for (char c : bad.err) EXPECT_TRUE(c == '\n' || (c >= ' ' && c < 127)) << "invisible character in " << bad.err;

  RunResult info = RunSarnhost({"info"});
  EXPECT_EQ(info.iStatus, 0);
  EXPECT_NE(info.out.find("9600 baud, 7 data bits, even parity, 2 stop bits"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("identification    70, with the numbers 4 and 3"), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("info fields"), std::string::npos) << info.out;
  // --port means the same to info: the device is looked at as before a read.
  info = RunSarnhost({"info", "--port", pty_});
  EXPECT_EQ(info.iStatus, 0) << Describe(info);
  EXPECT_NE(info.out.find("port              " + pty_ + ": present, and no other program holds it\n"),
            std::string::npos)
      << info.out;

  // KORVEN_LEVEL has the last word, with or without -v.
  RunResult level = RunSarnhost(On({"-v", "read", "0140002"}), {{"KORVEN_LEVEL", "32"}});
  EXPECT_EQ(level.iStatus, 0) << Describe(level);
  EXPECT_NE(level.err.find("\t32\t"), std::string::npos) << level.err;
  EXPECT_EQ(level.err.find("\t8\t"), std::string::npos) << level.err;
}

// Initialization-file lines the driver ignored are warned about without -v.
TEST_F(SarnhostTest, RefusedInitializationLinesAreWarnings) {
  IntFileDir dir("BUS = MODBUS, DEC\n  SWAP = YES\nFOO = 1\n ECHO = YES\n");
  RunResult r = RunSarnhost(On({"read", "0140002"}), {}, dir.path());
  EXPECT_EQ(r.iStatus, 0) << Describe(r);
  EXPECT_EQ(r.out, "0140002: 2 (0x0002)\n");
  std::vector<std::string> own = OwnLines(r.err);
  ASSERT_EQ(own.size(), 3u) << Describe(r);
  EXPECT_NE(own[0].find("warning: SARNMD1.INT: Illegal line 2 in Int File ('  SWAP = YES'): the driver ignored it: "
                        "SWAP must start in the first column, without the blanks before it"),
            std::string::npos)
      << own[0];
  EXPECT_NE(own[1].find("Illegal line 3 in Int File ('FOO = 1'): the driver ignored it"), std::string::npos) << own[1];
  EXPECT_EQ(own[1].find("first column"), std::string::npos) << own[1];
  EXPECT_NE(own[2].find("(' ECHO = YES'): the driver ignored it: ECHO must start in the first column"),
            std::string::npos)
      << own[2];
}

// Two one-shot hosts in turn on a line whose controller answers 1.2 to 2.5
// reply time-outs late, one request at a time or each after its own: the
// first exits with answers still on their way, and the second must not take
// one of them for its own. Each gives its own register's value or fails.
TEST(SlowControllerOneShots, SecondHostNeverTakesTheFirstsAnswer) {
  struct Case {
    int lateMs;  // the reply time-out is 50 ms
    bool eachOwn;
  } cases[] = {{60, false}, {125, false}, {60, true}, {125, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lateMs) + (c.eachOwn ? " ms after each request" : " ms, one at a time"));
    plcsim::Options options;
    options.replyDelayMs = static_cast<uint32_t>(c.lateMs);
    options.lateEachOwn = c.eachOwn;
    plcsim::Simulator sim(options);
    sim.FillPattern();
    const std::string pty = sim.OpenPty();
    ASSERT_FALSE(pty.empty());
    for (const char* gate : {"0140011", "0140022"}) {
      RunResult r = RunSarnhost({"--port", pty, "--timeout", "5", "read", gate});
      const std::string own = std::string(gate) + ": " + std::to_string(atoi(gate + 3));
      if (r.iStatus == 0) {
        EXPECT_EQ(r.out.substr(0, own.size() + 1), own + " ") << Describe(r);
      } else {
        EXPECT_EQ(r.out.find(gate), std::string::npos) << Describe(r);
      }
    }
  }
}

namespace {

// Command lines that are surely meant otherwise are refused with 64 and the
// command that does what was meant; nothing reaches the controller. Gate
// texts the parser refuses are explained by what is wrong with them.
TEST_F(SarnhostTest, MistakenCommandLinesAreRefusedInWords) {
  sim_.ClearRequests();
  const std::vector<CliCase> cases = {
      {{"DEV", "0040001"},
       64,
       "looks like a gate text, not a value to write (nothing written): to read it, "
       "sarnhost read " +
           pty_ + " 0040001"},
      {{"DEV", "01400011"}, 64, "looks like a gate text"},
      {{"DEV", "read", "0140001"}, 64, "the command goes first, sarnhost read " + pty_ + " 0140001"},
      {{"raed", "0140011"}, 64, "unknown command 'raed' (did you mean read?)"},
      {{"0140011"}, 64, "unknown command '0140011': to read that gate, sarnhost read DEVICE 0140011"},
      {{"--port", "DEV", "read", "0140001", "--interval", "5"}, 64, "read does not take --interval"},
      {{"--port", "DEV", "read", "0140001", "-l", "5"}, 64, "read does not take --interval"},
      {{"info", "--timeout", "5"}, 64, "info does not take --timeout"},
      {{"--port", "DEV", "write", "0140021", "-1"}, 64, "write does not take -1: a value of -1 goes after --"},
      {{"--port", "DEV", "scan", "-a", "1"}, 64, "scan does not take -a"},
      {{"DEV", "--from", "2"}, 64, "the device-first form does not take --from"},
      {{"DEV", "-c", "200", "-1"}, 64, "a block of 200 is too large: at most 125 holding registers"},
      {{"--port", "DEV", "read", "0100001", "2001"}, 64, "at most 2000 coils in one request"},
      {{"--port", "DEV", "read", "0040001"}, 64, "gate '0040001' refused: controller 0 is the broadcast address"},
      {{"--port", "DEV", "write", "0040001", "5"}, 64, "no controller answers a broadcast"},
      {{"--port", "DEV", "read", "0140000"}, 64, "address 0000: Modbus gate addresses count from 1"},
      {{"--port", "DEV", "read", "0100001F"}, 64, "coils and discrete inputs (memory types 0 and 1) are bits already"},
      {{"--port", "DEV", "read", "01400g1"},
       64,
       "character 6 is 'g', where the gate text holds the address, four "
       "decimal digits"},
      {{"--port", "DEV", "read", "0140001x"}, 64, "the bit number, one hexadecimal digit 0-F in capitals"},
      {{"--port", "DEV", "read", "0180004"}, 64, "from an odd address: 0180003 or 0180005"},
      {{"--port", "DEV", "read", "0180001", "63"}, 64, "at most 62 int32 values in holding registers"},
      // A port and nothing to do: the command is missing, not a gate text refused.
      {{"--port", "DEV"}, 64, "a command is missing after --port " + pty_ + ": read GATE, write GATE VALUE"},
      {{"--port", "DEV", "-1"}, 64, "a command is missing after --port"},
      {{"--port", "DEV", "read"}, 64, "read needs a gate: usage: sarnhost [options] read GATE"},
      {{"--port", "DEV", "scan", "--from", "0"}, 64, "--from 0: controller 0 is the broadcast address"},
  };
  RunCliCases(pty_, cases);
  EXPECT_EQ(sim_.RequestCount(), 0u);
  EXPECT_EQ(sim_.Holding(0), 1);
}

}  // namespace

namespace {

// mbpoll's habits: 32-bit values at an even reference are two registers
// that sarnhost combines (low word first unless -B), and references above
// the gate text's four digits are read and written all the same.
TEST(SarnhostMbpoll, EvenReferencesAndReferencesAbove9999) {
  PlcsimRun sim({"--fill", "--table-size", "20000"});
  ASSERT_FALSE(sim.path().empty());
  const std::vector<CliCase> cases = {
      {{"DEV", "-t", "4:int", "-r", "2", "-1", "-q"}, 0, "[2]: \t196610\n"},
      {{"DEV", "-t", "4:int", "-r", "2", "-B", "-1", "-q"}, 0, "[2]: \t131075\n"},
      {{"DEV", "-t", "3:int", "-r", "2", "-c", "2", "-1", "-q"}, 0, "[2]: \t65733610\n[4]: \t65864684\n"},
      // Shown in mbpoll's word order, which the gate texts do not read: labelled in mbpoll's form.
      {{"--port", "DEV", "read", "-t", "4:int", "-r", "2", "-c", "2"},
       0,
       "-a 1 -t 4:int -r 2: 196610 (0x00030002)\n-a 1 -t 4:int -r 4: 327684 (0x00050004)\n"},
      {{"--port", "DEV", "read", "-t", "4:int", "-r", "4"}, 0, "-a 1 -t 4:int -r 4: 327684 (0x00050004)\n"},
      // In the driver's order (-B) an even reference has no gate text: the dotted name, which reads back.
      {{"--port", "DEV", "read", "-t", "4:int", "-r", "2", "-c", "2", "-B"},
       0,
       "1.80002: 131075 (0x00020003)\n1.80004: 262149 (0x00040005)\n"},
      {{"--port", "DEV", "read", "1.80004"}, 0, "1.80004: 262149 (0x00040005)\n"},
      // Every label reads back given alone: past the four digits of a gate text, the dotted name.
      {{"--port", "DEV", "read", "0149999", "2"}, 0, "0149999: 9999 (0x270F)\n1.410000: 10000 (0x2710)\n"},
      {{"--port", "DEV", "read", "1.410000"}, 0, "1.410000: 10000 (0x2710)\n"},
      // One label, one value: mbpoll's order (without -B) and the gate text's differ, and so do their labels.
      {{"--port", "DEV", "write", "-t", "4:float", "-r", "101", "3.14"},
       0,
       "-a 1 -t 4:float -r 101: wrote 3.14 (0x4048F5C3)\n"},
      {{"--port", "DEV", "read", "-t", "4:float", "-r", "101"}, 0, "-a 1 -t 4:float -r 101: 3.14 (0x4048F5C3)\n"},
      {{"--port", "DEV", "read", "0170101"}, 0, "0170101: -4.950203e+32 (0xF5C34048)\n"},
      {{"--port", "DEV", "read", "-t", "4:float", "-r", "101", "-B"}, 0, "0170101: -4.950203e+32 (0xF5C34048)\n"},
      {{"DEV", "-t", "4:float", "-r", "40", "2.5"}, 0, "Written 1 references.\n"},
      {{"DEV", "-t", "4:float", "-r", "40", "-1", "-q"}, 0, "[40]: \t2.5\n"},
      {{"DEV", "-r", "40", "-c", "2", "-1", "-q"}, 0, "[40]: \t0\n[41]: \t16416\n"},  // 0x40200000, low word first
      {{"DEV", "-t", "4:float", "-r", "40", "-B", "-1", "-q"}, 0, "[40]: \t2.30037e-41\n"},
      {{"DEV", "-r", "10000", "-c", "2", "-1", "-q"}, 0, "[10000]: \t10000\n[10001]: \t10001\n"},
      {{"--port", "DEV", "read", "-r", "12000"}, 0, "1.412000: 12000 (0x2EE0)\n"},
      {{"DEV", "-t", "4:int", "-r", "12000", "-1", "-q"}, 0, "[12000]: \t786509536\n"},
      {{"--port", "DEV", "write", "-r", "15000", "7"}, 0, "1.415000: wrote 7 (0x0007)\n"},
      {{"DEV", "-r", "15000", "-1", "-q"}, 0, "[15000]: \t7\n"},
      {{"DEV", "-r", "65535", "-c", "2", "-1", "-q"}, 1, "illegal data address"},  // sent: the table ends at 20000
  };
  RunCliCases(sim.path(), cases);
}

// Polling until Ctrl-C ends with mbpoll's statistics, within the attempt
// under way, and with poll's rule for the exit status: the worst result of
// the reads that ended.
TEST_F(SarnhostTest, CtrlCEndsMbpollPollingWithItsStatistics) {
  struct Case {
    std::vector<std::string> args;
    size_t nRequests;  // seen by the simulator before Ctrl-C
    int iStatus;
    bool bErrors;  // a read of controller 2 has ended (failed) by then
  } cases[] = {
      {{pty_, "-a", "1,2", "-l", "20", "-o", "0.05"}, 8, 2, true},
      // Controller 2's first attempt waits 3 s when Ctrl-C comes: it is left behind, not counted.
      {{pty_, "-a", "1,2", "-o", "3"}, 2, 0, false},
  };
  for (const Case& c : cases) {
    sim_.ClearRequests();
    ExecArgs a(c.args, {});
    int outPipe[2];
    ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = Spawn(a, outPipe[1], devNull);
    close(outPipe[1]);
    close(devNull);
    ASSERT_TRUE(sim_.WaitForRequests(c.nRequests, 20000));
    usleep(50000);  // the request is under way
    const auto t0 = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    std::string out;
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(outPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(outPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(dSeconds, 1.0) << out;  // meant to be 0.1 s; an attempt alone takes 3 s in the second case
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.iStatus) << status << "\n" << out;
    const std::vector<std::string> lines = Lines(out);
    ASSERT_GE(lines.size(), 2u) << out;
    EXPECT_EQ(lines[lines.size() - 2], "--- " + pty_ + " poll statistics ---") << out;
    long lSent = 0, lAnswered = 0, lErrors = 0;
    double dLoss = 0;
    ASSERT_EQ(sscanf(lines.back().c_str(), "%ld frames transmitted, %ld received, %ld errors, %lf%% frame loss", &lSent,
                     &lAnswered, &lErrors, &dLoss),
              4)
        << out;
    EXPECT_GE(lAnswered, 1) << out;
    EXPECT_EQ(lErrors >= 1, c.bErrors) << out;
    EXPECT_EQ(lSent, lAnswered + lErrors) << out;
    EXPECT_NEAR(dLoss, 100.0 * static_cast<double>(lErrors) / static_cast<double>(lSent), 0.051) << out;
  }
}

}  // namespace

namespace {

// An echoing adapter without ECHO = YES, and ECHO = YES on a line that does
// not echo, are named in one line with the file the key belongs in.
TEST(SarnhostEcho, AWrongEchoSettingIsNamed) {
  PlcsimRun echoing({"--fill", "--echo"});
  PlcsimRun plain({"--fill"});
  ASSERT_FALSE(echoing.path().empty());
  ASSERT_FALSE(plain.path().empty());
  struct Case {
    const PlcsimRun& sim;
    std::string intFile;  // content of SARNMD1.INT
    std::vector<std::string> args;
    int iStatus;
    std::string said;  // DIR stands for the directory of the initialization file
  };
  const std::string echoNeeded =
      "the reply was the request itself, byte for byte: the adapter echoes each request, so ECHO = YES is needed in "
      "DIR/SARNMD1.INT";
  const std::vector<Case> cases = {
      {echoing, "", {"read", "0140011"}, 2, "reading '0140011' failed: " + echoNeeded},
      {echoing, "", {"read", "0140300"}, 1, echoNeeded},  // the echo has the wrong length
      {echoing, "BUS = MODBUS, DEC\n", {"write", "0140021", "1", "2"}, 1, echoNeeded},
      {echoing, "ECHO = YES\n", {"read", "0140011"}, 0, "0140011: 11 (0x000B)\n"},
      {plain,
       "ECHO = YES\n",
       {"read", "0140011"},
       2,
       "no echo of the request came back (3 attempts), though ECHO = YES is set in DIR/SARNMD1.INT: the line does "
       "not echo, so the key should go"},
      // A single write's answer repeats the request: it passes for the echo.
      {plain,
       "ECHO = YES\n",
       {"write", "0140021", "5"},
       2,
       "if the line does not echo, ECHO = YES in DIR/SARNMD1.INT "
       "should go"},
  };
  for (const Case& c : cases) {
    IntFileDir dir(c.intFile);
    if (c.intFile.empty()) unlink((dir.path() + "/SARNMD1.INT").c_str());
    std::vector<std::string> args = {"--port", c.sim.path(), "--timeout", "20"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunSarnhost(args, {}, dir.path());
    std::string said = c.said;
    if (said.find("DIR") != std::string::npos) said.replace(said.find("DIR"), 3, dir.path());
    EXPECT_EQ(r.iStatus, c.iStatus) << said << "\n" << Describe(r);
    if (c.iStatus == 0) {
      EXPECT_EQ(r.out, said) << Describe(r);
    } else {
      ASSERT_EQ(OwnLines(r.err).size(), 1u) << Describe(r);
      EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << Describe(r);
    }
  }
  // The driver's own trace is under -v.
  IntFileDir none("");
  RunResult v = RunSarnhost({"-v", "--port", echoing.path(), "--timeout", "20", "read", "0140011"}, {}, none.path());
  EXPECT_NE(v.err.find("\t8\tSARNMD> Receive() reply is the request just sent, byte for byte (iRead=7)"),
            std::string::npos)
      << v.err;
}

// The initialization file the driver read is named by its full path in info
// and with -v; one of the right name in other letter case is warned about.
TEST_F(SarnhostTest, TheInitializationFileIsNamed) {
  IntFileDir dir("BUS = MODBUS, DEC\n");
  RunResult info = RunSarnhost({"info"}, {}, dir.path());
  EXPECT_NE(info.out.find("init file         " + dir.path() + "/SARNMD1.INT\n"), std::string::npos) << info.out;
  RunResult v = RunSarnhost(On({"-v", "read", "0140002"}), {}, dir.path());
  EXPECT_NE(v.err.find("sarnhost: initialization file: " + dir.path() + "/SARNMD1.INT\n"), std::string::npos) << v.err;

  unlink((dir.path() + "/SARNMD1.INT").c_str());
  const std::string lower = dir.path() + "/sarnmd1.int";
  FILE* f = fopen(lower.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  const std::string warning =
      "sarnhost: warning: " + lower + " is not read: the driver reads SARNMD1.INT, in capital letters";
  info = RunSarnhost({"info"}, {}, dir.path());
  EXPECT_NE(info.out.find("init file         none of SARNMD01.INT, SARNMD1.INT or SARNMD.INT in " + dir.path()),
            std::string::npos)
      << info.out;
  EXPECT_EQ(OwnLines(info.err), std::vector<std::string>{warning}) << Describe(info);
  RunResult r = RunSarnhost(On({"read", "0140002"}), {}, dir.path());
  EXPECT_EQ(r.out, "0140002: 2 (0x0002)\n");
  EXPECT_EQ(OwnLines(r.err), std::vector<std::string>{warning}) << Describe(r);
  unlink(lower.c_str());
}

}  // namespace
