#include "int_file_name.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "explain.h"
#include "hostlog/log_messages.h"

namespace sarnhost {

namespace {

std::string CurrentDir() {
  char sz[PATH_MAX];
  return getcwd(sz, sizeof sz) != nullptr ? sz : ".";
}

std::string InDir(const std::string& dir, const std::string& name) {
  return name.empty() || name[0] == '/' ? name : dir + "/" + name;
}

}  // namespace

IntFileFacts FindIntFile(const std::vector<LogLine>& coldStartLines, int32_t iDriverNr) {
  IntFileFacts facts;
  facts.dir = CurrentDir();
  char sz[32];
  snprintf(sz, sizeof sz, "SARNMD%02d.INT", static_cast<int>(iDriverNr));
  facts.names.push_back(sz);
  snprintf(sz, sizeof sz, "SARNMD%d.INT", static_cast<int>(iDriverNr));
  if (facts.names[0] != sz) facts.names.push_back(sz);
  facts.names.push_back("SARNMD.INT");
  for (const LogLine& l : coldStartLines) {
    LoggedFields fields;
    if (LoggedAs(l.text, sarn::kMsgIntFileReading, &fields)) facts.read = InDir(facts.dir, fields.text[0]);
  }
  if (DIR* pDir = opendir(facts.dir.c_str())) {
    while (const dirent* pEntry = readdir(pDir)) {
      const std::string entry = pEntry->d_name;
      for (const std::string& name : facts.names) {
        if (entry != name && strcasecmp(entry.c_str(), name.c_str()) == 0) {
          facts.otherCase.push_back(InDir(facts.dir, entry));
        }
      }
    }
    closedir(pDir);
  }
  return facts;
}

std::string IntFileForSettings(const IntFileFacts& facts) {
  if (!facts.read.empty()) return facts.read;
  return InDir(facts.dir, facts.names.size() > 2 ? facts.names[1] : facts.names[0]);
}

std::string IntFileDescription(const IntFileFacts& facts) {
  if (!facts.read.empty()) return facts.read;
  std::string names;
  for (size_t k = 0; k < facts.names.size(); ++k) {
    names += (k == 0 ? "" : k + 1 == facts.names.size() ? " or " : ", ") + facts.names[k];
  }
  return "none of " + names + " in " + facts.dir + ": the driver's defaults";
}

void WarnAboutOtherCase(const IntFileFacts& facts) {
  for (const std::string& path : facts.otherCase) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::string meant;
    for (const std::string& n : facts.names) {
      if (strcasecmp(n.c_str(), name.c_str()) == 0) meant = n;
    }
    fprintf(stderr, "sarnhost: warning: %s is not read: the driver reads %s, in capital letters\n", path.c_str(),
            meant.c_str());
  }
}

}  // namespace sarnhost
