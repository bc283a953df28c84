#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/paths.h"

FILE* openRooted(const std::string& absPath, const char* mode) {
  return fopen(rootPath(absPath).c_str(), mode);
}

int remountSetRw(bool toStderr) {
  if (runCommand("mount -o remount defaults,rw /opt/set") != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't mount rw /opt/set/ error %d", e);
    if (toStderr) fprintf(stderr, "can't mount rw /opt/set/ error %d\n", e);
    return -1;
  }
  return 0;
}

void remountSetRo(bool toStderr) {
  if (runCommand("mount -v -n -o remount -r /opt/set") != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't mount ro /opt/set/ error %d", e);
    if (toStderr) fprintf(stderr, "can't mount ro /opt/set/ error %d\n", e);
  }
}

RemountWindow::RemountWindow(bool rwToStderr, bool roToStderr, Partition part)
    : roToStderr_(roToStderr), part_(part) {
  if (part_ == OptSet) {
    open_ = remountSetRw(rwToStderr) == 0;
    return;
  }
  if (runCommand("mount -o remount defaults,rw /") != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't mount rw / %d", e);
    if (rwToStderr) fprintf(stderr, "can't mount rw / %d\n", e);
    return;
  }
  open_ = true;
}

void RemountWindow::close() {
  if (!open_) return;
  open_ = false;
  if (part_ == OptSet) {
    remountSetRo(roToStderr_);
    return;
  }
  if (runCommand("mount -v -n -o remount -r /") != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't mount ro / %d", e);
    if (roToStderr_) fprintf(stderr, "can't mount ro / %d\n", e);
  }
}

AtomicWriter::AtomicWriter(const std::string& absPath) : path_(rootPath(absPath)) {
  tmp_ = path_ + ".tmpXXXXXX";
  int fd = mkstemp(&tmp_[0]);
  if (fd < 0) {
    tmp_.clear();
    return;
  }
  fchmod(fd, 0644);
  f_ = fdopen(fd, "w");
  if (f_ == nullptr) {
    close(fd);
    unlink(tmp_.c_str());
    tmp_.clear();
  }
}

AtomicWriter::~AtomicWriter() {
  if (f_ != nullptr) {
    fclose(f_);
    f_ = nullptr;
  }
  if (!tmp_.empty()) unlink(tmp_.c_str());
}

int AtomicWriter::commit() {
  if (f_ == nullptr) return -1;
  bool bad = ferror(f_) != 0;
  if (fflush(f_) != 0) bad = true;
  if (!bad && fsync(fileno(f_)) != 0) bad = true;
  if (fclose(f_) != 0) bad = true;
  f_ = nullptr;
  if (bad || rename(tmp_.c_str(), path_.c_str()) != 0) {
    int e = errno;
    unlink(tmp_.c_str());
    tmp_.clear();
    errno = e;
    return -1;
  }
  tmp_.clear();
  // Make the rename itself durable.
  std::string dir = path_.substr(0, path_.find_last_of('/') + 1);
  if (dir.empty()) dir = ".";
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

int writeFileAtomic(const std::string& absPath, const std::string& content) {
  AtomicWriter w(absPath);
  if (!w.ok()) return -1;
  if (!content.empty() && fwrite(content.data(), 1, content.size(), w.file()) != content.size()) return -1;
  return w.commit();
}
