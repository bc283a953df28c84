#include "tests/support/temp_root.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <ftw.h>

namespace {
int removeEntry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

void mkdirs(const std::string& path) {
  std::string cur;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty()) { cur += "/"; continue; }
    cur += part + "/";
    mkdir(cur.c_str(), 0755);
  }
}
}  // namespace

void writeStubScript(const std::string& binDir, const std::string& name, const std::string& body) {
  std::string p = binDir + "/" + name;
  std::ofstream f(p, std::ios::trunc);
  f << "#!/bin/sh\n"
    << "echo \"" << name << " $*\" >> \"${ZELPYX_ROOT:-/tmp}/stub.log\"\n"
    << body << "\n";
  f.close();
  chmod(p.c_str(), 0755);
}

TempRoot::TempRoot() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelroot.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  mkdirs(dir_ + "/opt/set");
  mkdirs(dir_ + "/dev");
  mkdirs(dir_ + "/bin");
  const char* old = getenv("ZELPYX_ROOT");
  if (old != nullptr) { hadOldRoot_ = true; oldRoot_ = old; }
  setenv("ZELPYX_ROOT", dir_.c_str(), 1);
  installStubs();
}

TempRoot::~TempRoot() {
  if (hadOldRoot_) setenv("ZELPYX_ROOT", oldRoot_.c_str(), 1); else unsetenv("ZELPYX_ROOT");
  nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempRoot::path(const std::string& absPath) const { return dir_ + absPath; }

void TempRoot::writeFile(const std::string& absPath, const std::string& content) const {
  std::string p = path(absPath);
  mkdirs(p.substr(0, p.find_last_of('/')));
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << content;
}

std::string TempRoot::readFile(const std::string& absPath) const {
  std::ifstream f(path(absPath), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool TempRoot::exists(const std::string& absPath) const {
  struct stat sb;
  return stat(path(absPath).c_str(), &sb) == 0;
}

void TempRoot::installStubs() const {
  for (const char* n : {"mount", "reboot", "sudo", "lsusb", "my_temp", "fbgrab", "ifup", "ifdown"})
    writeStubScript(dir_ + "/bin", n);
}

void TempRoot::stubExit(const std::string& name, int code) const {
  writeStubScript(dir_ + "/bin", name, "exit " + std::to_string(code));
}

void TempRoot::stubScript(const std::string& name, const std::string& body) const {
  writeStubScript(dir_ + "/bin", name, body);
}

std::string TempRoot::stubLog() const { return readFile("/stub.log"); }
