// Command lines of the tools, from one table per program.
//
// Each option is one entry: its short and long name, the name of its value
// (none for a flag), a line of help, and what to do with the value, which
// checks the range and fills its target. The parser takes the forms people
// type: "-x VALUE", "-xVALUE", "--name VALUE", "--name=VALUE", flags bundled
// ("-vv", "-1q"); "--" ends the options; a negative number ("-5", "-2.25") is
// an argument unless the table has it as a short option ("-0", "-1").
// Options and arguments may stand in any order; an option means the same
// wherever it stands.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace cli {

// What an option does with its value ("" for a flag): "" when it took it,
// otherwise what a good value looks like ("a number 1..247"), which the
// parser reports as "bad value 'X' for -x: a number 1..247"; or a Reason().
using Setter = std::function<std::string(const std::string& value)>;

// A setter's answer that is the whole message, not a description of good
// values: an option refused for what it means rather than how it is written.
std::string Reason(const std::string& message);

struct Option {
  char cShort = 0;                 // 'x' for -x; 0 when none
  const char* pszLong = nullptr;   // "name" for --name; nullptr when none
  const char* pszValue = nullptr;  // the value's name in the help ("N"); nullptr for a flag
  const char* pszHelp = "";        // what it does; "" keeps it out of the help
  Setter set;
};

// A flag that sets target.
Option Flag(char cShort, const char* pszLong, bool& target, const char* pszHelp);
// A flag that counts how often it is given (-v, -vv).
Option Counter(char cShort, const char* pszLong, int& target, const char* pszHelp);
// A decimal integer lMin..lMax.
Option Number(char cShort, const char* pszLong, const char* pszValue, long& target, long lMin, long lMax,
              const char* pszHelp);
// A text that must not be empty.
Option Text(char cShort, const char* pszLong, const char* pszValue, std::string& target, const char* pszHelp);
// Any other check and target.
Option Custom(char cShort, const char* pszLong, const char* pszValue, Setter set, const char* pszHelp);
// An option the program refuses for a reason of its own (another program's
// option with no meaning here); takes a value when pszValue is given.
Option Refused(char cShort, const char* pszLong, const char* pszValue, const std::string& reason);

// A line of its own in the help, between groups of options.
Option Heading(const char* pszText);

// Reads a decimal integer in lMin..lMax; false on anything else.
bool ParseLong(const std::string& text, long lMin, long lMax, long& lValue);

// Parses argv[1..argc) against the table; arguments that are no options go
// to positionals in order. Returns "" or one line saying what is wrong.
// With pGiven: the options given, in order, as entries of the table.
std::string Parse(const std::vector<Option>& table, int argc, const char* const* argv,
                  std::vector<std::string>& positionals, std::vector<const Option*>* pGiven = nullptr);

// "--name", or "-x" for an option without a long name: for messages.
std::string Spelling(const Option& o);

// The help lines of the table's options, "  -x, --name VALUE   help", the
// help wrapped and aligned at column 24.
// With a filter: only the options it keeps (headings are left out).
std::string Help(const std::vector<Option>& table, const std::function<bool(const Option&)>& keep = nullptr);

}  // namespace cli
