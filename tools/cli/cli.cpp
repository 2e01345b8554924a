#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace cli {

namespace {

// Marks a setter's answer as a whole message (see Reason()).
constexpr char kReasonMark = '\x01';

// "-x" or "--name" as the user can write it, for messages.
std::string Name(const Option& o) {
  if (o.pszLong != nullptr) return std::string("--") + o.pszLong;
  return std::string("-") + o.cShort;
}

std::string Spelled(const Option& o, bool bLong) {
  if (bLong || o.cShort == 0) return Name(o);
  std::string s = std::string("-") + o.cShort;
  return o.pszLong != nullptr ? s + " (--" + o.pszLong + ")" : s;
}

// "-5", "-2.25", "-0x10": a whole negative number, a value rather than options.
bool LooksNegativeNumber(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-' || !(std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.')) {
    return false;
  }
  char* pEnd = nullptr;
  std::strtod(arg.c_str(), &pEnd);
  return *pEnd == '\0';
}

const Option* FindShort(const std::vector<Option>& table, char c) {
  for (const Option& o : table) {
    if (o.cShort == c && c != 0) return &o;
  }
  return nullptr;
}

const Option* FindLong(const std::vector<Option>& table, const std::string& name) {
  for (const Option& o : table) {
    if (o.pszLong != nullptr && name == o.pszLong) return &o;
  }
  return nullptr;
}

std::string Apply(const Option& o, bool bLong, const std::string& value, std::vector<const Option*>* pGiven) {
  if (pGiven != nullptr) pGiven->push_back(&o);
  std::string what = o.set(value);
  if (what.empty()) return "";
  if (what[0] == kReasonMark) return what.substr(1);
  return "bad value '" + value + "' for " + Spelled(o, bLong) + ": " + what;
}

// One "--name[=value]" argument; i moves past a separate value.
std::string ParseLongOption(const std::vector<Option>& table, int argc, const char* const* argv, int& i,
                            std::vector<const Option*>* pGiven) {
  std::string arg = argv[i] + 2;
  std::string value;
  const size_t eq = arg.find('=');
  const bool bInline = eq != std::string::npos;
  if (bInline) {
    value = arg.substr(eq + 1);
    arg.resize(eq);
  }
  const Option* o = FindLong(table, arg);
  if (o == nullptr) return "unknown option '" + std::string(argv[i]) + "'";
  if (o->pszValue == nullptr) {
    if (bInline) return "option --" + arg + " takes no value";
    return Apply(*o, true, "", pGiven);
  }
  if (!bInline) {
    if (i + 1 >= argc) return "option --" + arg + " needs a value";
    value = argv[++i];
  }
  return Apply(*o, true, value, pGiven);
}

// One "-x..." argument: flags bundled, the last may take the rest or the
// next argument as its value.
std::string ParseShortOptions(const std::vector<Option>& table, int argc, const char* const* argv, int& i,
                              std::vector<const Option*>* pGiven) {
  const std::string arg = argv[i];
  for (size_t k = 1; k < arg.size(); ++k) {
    const Option* o = FindShort(table, arg[k]);
    if (o == nullptr) {
      return k == 1 ? "unknown option '" + arg + "'"
                    : "unknown option '-" + std::string(1, arg[k]) + "' in '" + arg + "'";
    }
    if (o->pszValue == nullptr) {
      if (std::string why = Apply(*o, false, "", pGiven); !why.empty()) return why;
      continue;
    }
    if (k + 1 < arg.size()) return Apply(*o, false, arg.substr(k + 1), pGiven);
    if (i + 1 >= argc) return "option " + Spelled(*o, false) + " needs a value";
    return Apply(*o, false, argv[++i], pGiven);
  }
  return "";
}

}  // namespace

bool ParseLong(const std::string& text, long lMin, long lMax, long& lValue) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* pEnd = nullptr;
  const long v = std::strtol(text.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || v < lMin || v > lMax) return false;
  lValue = v;
  return true;
}

Option Flag(char cShort, const char* pszLong, bool& target, const char* pszHelp) {
  return {cShort, pszLong, nullptr, pszHelp, [&target](const std::string&) {
            target = true;
            return std::string();
          }};
}

Option Counter(char cShort, const char* pszLong, int& target, const char* pszHelp) {
  return {cShort, pszLong, nullptr, pszHelp, [&target](const std::string&) {
            ++target;
            return std::string();
          }};
}

Option Number(char cShort, const char* pszLong, const char* pszValue, long& target, long lMin, long lMax,
              const char* pszHelp) {
  return {cShort, pszLong, pszValue, pszHelp, [&target, lMin, lMax](const std::string& v) {
            return ParseLong(v, lMin, lMax, target) ? std::string()
                                                    : "a number " + std::to_string(lMin) + ".." + std::to_string(lMax);
          }};
}

Option Text(char cShort, const char* pszLong, const char* pszValue, std::string& target, const char* pszHelp) {
  return {cShort, pszLong, pszValue, pszHelp, [&target](const std::string& v) {
            if (v.empty()) return std::string("give a non-empty value");
            target = v;
            return std::string();
          }};
}

Option Custom(char cShort, const char* pszLong, const char* pszValue, Setter set, const char* pszHelp) {
  return {cShort, pszLong, pszValue, pszHelp, std::move(set)};
}

Option Heading(const char* pszText) {
  return {0, nullptr, nullptr, pszText, nullptr};
}

std::string Reason(const std::string& message) {
  return kReasonMark + message;
}

Option Refused(char cShort, const char* pszLong, const char* pszValue, const std::string& reason) {
  // With a value it takes the value too, so that the reason, not the value,
  // is what is reported.
  const std::string name = cShort != 0 ? std::string("-") + cShort : std::string("--") + pszLong;
  return {cShort, pszLong, pszValue, "", [name, reason](const std::string&) { return Reason(name + ": " + reason); }};
}

std::string Parse(const std::vector<Option>& table, int argc, const char* const* argv,
                  std::vector<std::string>& positionals, std::vector<const Option*>* pGiven) {
  bool bOptionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string why;
    if (bOptionsEnd || arg.size() < 2 || arg[0] != '-' ||
        (LooksNegativeNumber(arg) && !(arg.size() == 2 && FindShort(table, arg[1]) != nullptr))) {
      positionals.push_back(arg);
    } else if (arg == "--") {
      bOptionsEnd = true;
    } else if (arg[1] == '-') {
      why = ParseLongOption(table, argc, argv, i, pGiven);
    } else {
      why = ParseShortOptions(table, argc, argv, i, pGiven);
    }
    if (!why.empty()) return why;
  }
  return "";
}

std::string Spelling(const Option& o) {
  return Name(o);
}

std::string Help(const std::vector<Option>& table, const std::function<bool(const Option&)>& keep) {
  std::string out;
  for (const Option& o : table) {
    if (o.pszHelp == nullptr || *o.pszHelp == '\0' || (keep && !keep(o))) continue;
    if (o.cShort == 0 && o.pszLong == nullptr) {
      out += std::string(o.pszHelp) + "\n";
      continue;
    }
    std::string head = "  ";
    head += o.cShort != 0 ? std::string("-") + o.cShort : "    ";
    if (o.pszLong != nullptr) head += std::string(o.cShort != 0 ? ", " : "") + "--" + o.pszLong;
    if (o.pszValue != nullptr) head += std::string(" ") + o.pszValue;
    // Help text: lines separated by '\n' in the table, indented to column 24.
    std::string help = o.pszHelp;
    std::string indent(24, ' ');
    if (head.size() + 2 > 24) {
      out += head + "\n" + indent;
    } else {
      out += head + std::string(24 - head.size(), ' ');
    }
    for (char c : help) {
      out += c;
      if (c == '\n') out += indent;
    }
    out += "\n";
  }
  return out;
}

}  // namespace cli
