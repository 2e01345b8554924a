// sarnhost's command line: the options, one meaning each wherever they
// stand, mbpoll's where the two programs share a letter; the commands with
// their usage, help and example.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sarnhost {

// Exit statuses besides the driver's result codes 0, 1 and 2.
constexpr int kExitUsage = 64;
constexpr int kExitNoDriver = 69;
constexpr int kExitCantCreate = 73;

constexpr int32_t kDefaultTimeout = 100;     // 10 ms units: one second
constexpr int32_t kDefaultScanTimeout = 10;  // scan: 100 ms, three attempts per controller
constexpr int32_t kDefaultDriverNr = 1;

struct Options {
  // The command word; "" for mbpoll's form (device first, no command word),
  // which polls, reads once (-1) or writes (values after the device).
  std::string command;
  std::vector<std::string> args;  // the rest of the positional arguments
  std::string driverPath, port;
  // Line settings and the rest: -1 means "not given, use the default".
  long lBaud = -1, lDataBits = -1, lParity = -1, lStopBits = -1;
  long lTimeout = -1, lDriverNr = -1;
  int32_t iType = -1;
  long lInterval = 1000;
  long lRounds = 0;  // poll rounds, 0 until interrupted
  int iVerbose = 0;
  bool bQuiet = false, bHelp = false, bVersion = false, bOnce = false;
  // mbpoll's way of naming values.
  bool bMbpoll = false;      // -a, -t, -r or -c given (always in mbpoll's form)
  bool bCountGiven = false;  // -c given
  std::vector<long> slaves{1};
  long lRef = 1, lCount = 1;  // -r as given (from 0 with -0), -c
  std::string mbType = "4";   // -t: 0, 1, 3, 4, optionally with :int, :float, :hex
  bool bFromZero = false;     // -0
  bool bBigEndian = false;    // -B
  // scan
  long lFrom = 1, lTo = 247;
  std::vector<long> bauds, parities;
  // poll
  std::string csvPath;
};

// Parses the command line; returns 0, or the usage exit status after one
// line on standard error.
int ParseCommandLine(int argc, char** argv, Options& o);

// Checks the arguments against the command's usage; 0 or the usage exit status (message printed).
int CheckArguments(const Options& o);

// Prints one line "sarnhost: MESSAGE (try --help)"; returns kExitUsage.
int Usage(const std::string& message);

// The whole help (command "" or unknown) or one command's; the line
// defaults come from the driver when it could be loaded.
struct LineDefaults {
  std::string baud = "the driver's", dataBits = "the driver's", parity = "the driver's", stopBits = "the driver's";
};
void PrintHelp(const std::string& command, const LineDefaults& defaults);
// Whether a word is one of the commands.
bool IsCommand(const std::string& word);

// "N", "O", "E", "M", "S" for parity codes 0..4; "1", "1.5", "2" for stop bits 0..2.
const char* ParityName(long lParity);
// "none", "odd", "even", "mark", "space" for parity codes 0..4.
const char* ParityWord(long lParity);
const char* StopBitsName(long lStop);

}  // namespace sarnhost
