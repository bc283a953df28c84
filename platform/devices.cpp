#include "platform/devices.h"

#include <glob.h>

#include "platform/paths.h"

std::vector<std::string> globDevices(const std::string& absPattern) {
  std::vector<std::string> out;
  std::string pat = rootPath(absPattern);
  size_t prefix = pat.size() - absPattern.size();
  glob_t g;
  if (glob(pat.c_str(), 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; i++) out.emplace_back(std::string(g.gl_pathv[i]).substr(prefix));
  }
  globfree(&g);
  return out;
}
