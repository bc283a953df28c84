#include "tests/fuzz/support/fuzz_station.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "core/setup_record.h"
#include "app/spine.h"
#include "core/works.h"
#include "display/fb.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "radio/zel_link.h"

namespace {

std::string g_root;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeRoot() {
  if (!g_root.empty()) nftw(g_root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void makeRoot() {
  char tmpl[] = "/tmp/zelfuzz.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  g_root = tmpl;
  for (const char* d : {"/opt", "/opt/set", "/dev", "/bin", "/etc", "/etc/network", "/work"})
    mkdir((g_root + d).c_str(), 0755);
  for (const char* name : {"mount", "sudo", "ifup", "ifdown", "reboot", "lsusb", "my_temp", "fbgrab"}) {
    std::string p = g_root + "/bin/" + name;
    FILE* f = fopen(p.c_str(), "w");
    if (f == nullptr) abort();
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
    chmod(p.c_str(), 0755);
  }
  setenv("ZELPYX_ROOT", g_root.c_str(), 1);
  atexit(removeRoot);
}

}  // namespace

Works* fuzzWorks() {
  static Works* w = nullptr;
  if (w != nullptr) return w;
  makeRoot();
  static SetupRec setup{};
  static ZelParam zelParam{};
  static std::mutex serMut, sendMut, connMut;
  static int32_t plotA[1024], plotB[1024];
  static PlotBuffers plot;
  // Remounts and restarts succeed without starting a process: thousands
  // of saves a second instead of ten.
  setCommandHook([](const std::string&) { return 0; });
  w = new Works();
  w->fb = fbCreateMemory(800, 480);
  w->setup = &setup;
  w->sendMut = &sendMut;
  w->connMut = &connMut;
  w->serMut = &serMut;
  w->zelParam = &zelParam;
  plot.a = plotA;
  plot.b = plotB;
  w->plot = &plot;
  InitGlobalVar(w);
  initSetup(w);
  w->errorsMuted = 0;
  return w;
}

void fuzzSettle(Works* w) {
  w->cmdQ.clear();
  w->tinyCmdReq = 0;
  w->remoteCmd[0] = '\0';
  w->running = 1;
}

const std::string& fuzzRoot() {
  fuzzWorks();
  return g_root;
}

void fuzzWriteFile(const std::string& absPath, const uint8_t* data, size_t size) {
  FILE* f = fopen(rootPath(absPath).c_str(), "wb");
  if (f == nullptr) fuzzFail("cannot create", absPath);
  if (size > 0 && fwrite(data, 1, size, f) != size) fuzzFail("cannot write", absPath);
  fclose(f);
}

std::string fuzzReadFile(const std::string& absPath) {
  std::string out;
  FILE* f = fopen(rootPath(absPath).c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

void fuzzRemoveFile(const std::string& absPath) { unlink(rootPath(absPath).c_str()); }

void fuzzFail(const char* what, const std::string& detail) {
  fprintf(stderr, "FUZZ CHECK FAILED: %s\n%s\n", what, detail.c_str());
  abort();
}
