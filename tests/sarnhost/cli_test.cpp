// The tools' option parser on the forms people type.
#include "cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool bOnce = false, bQuiet = false;
  int iVerbose = 0;
  long lCount = 0;
  std::string type, port;
  std::vector<std::string> positionals;
  std::string error;
};

Parsed ParseArgs(std::vector<const char*> args) {
  Parsed p;
  std::vector<cli::Option> table = {
      cli::Flag('1', nullptr, p.bOnce, "once"),
      cli::Flag('q', "quiet", p.bQuiet, "quiet"),
      cli::Counter('v', "verbose", p.iVerbose, "verbose"),
      cli::Number('c', "count", "N", p.lCount, 1, 10, "count"),
      cli::Text('t', nullptr, "T", p.type, "type"),
      cli::Text(0, "port", "DEV", p.port, "port"),
      cli::Refused('p', nullptr, "PORT", "not here"),
  };
  args.insert(args.begin(), "prog");
  p.error = cli::Parse(table, static_cast<int>(args.size()), args.data(), p.positionals);
  return p;
}

TEST(Cli, TakesTheFormsPeopleType) {
  Parsed p = ParseArgs({"-vv", "-1q", "-t4:hex", "--count=3", "dev", "--port", "/dev/x", "-2.5", "--", "-1", "-q"});
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.iVerbose, 2);
  EXPECT_TRUE(p.bOnce);
  EXPECT_TRUE(p.bQuiet);
  EXPECT_EQ(p.type, "4:hex");
  EXPECT_EQ(p.lCount, 3);
  EXPECT_EQ(p.port, "/dev/x");
  EXPECT_EQ(p.positionals, (std::vector<std::string>{"dev", "-2.5", "-1", "-q"}));

  Parsed q = ParseArgs({"-t", "3", "-c", "10", "--verbose", "-0.5"});
  EXPECT_EQ(q.error, "");
  EXPECT_EQ(q.type, "3");
  EXPECT_EQ(q.lCount, 10);
  EXPECT_EQ(q.positionals, (std::vector<std::string>{"-0.5"}));
}

TEST(Cli, SaysWhatIsWrongInOneLine) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  } cases[] = {
      {{"-x"}, "unknown option '-x'"},
      {{"-1x"}, "unknown option '-x' in '-1x'"},
      {{"--nope"}, "unknown option '--nope'"},
      {{"-c"}, "option -c (--count) needs a value"},
      {{"--count"}, "option --count needs a value"},
      {{"-c", "11"}, "bad value '11' for -c (--count): a number 1..10"},
      {{"--count=x"}, "bad value 'x' for --count: a number 1..10"},
      {{"--quiet=1"}, "option --quiet takes no value"},
      {{"--port", ""}, "bad value '' for --port: give a non-empty value"},
      {{"-p", "502"}, "-p: not here"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseArgs(c.args).error, c.error);
}

TEST(Cli, HelpAlignsAndWraps) {
  bool b = false;
  long n = 0;
  const std::string help = cli::Help({cli::Flag('q', "quiet", b, "only values"), cli::Heading("Group:"),
                                      cli::Number(0, "a-rather-long-option", "N", n, 0, 1, "line one\nline two"),
                                      cli::Refused('R', nullptr, nullptr, "hidden")});
  EXPECT_EQ(help,
            "  -q, --quiet           only values\n"
            "Group:\n"
            "      --a-rather-long-option N\n"
            "                        line one\n"
            "                        line two\n");
}

}  // namespace
