#include "platform/files.h"

#include <dirent.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>
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

bool isStaleTempName(const std::string& name) {
  // "<file>.tmp" and the six characters mkstemp put in place of XXXXXX.
  const size_t n = name.size();
  if (n < 11 || name.compare(n - 10, 4, ".tmp") != 0) return false;
  for (size_t i = n - 6; i < n; i++)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

int RemoveStaleTempFiles(const std::string& absDir, RemountWindow::Partition part) {
  std::vector<std::string> stale;
  if (DIR* d = opendir(rootPath(absDir).c_str())) {
    while (struct dirent* e = readdir(d))
      if (isStaleTempName(e->d_name)) stale.push_back(e->d_name);
    closedir(d);
  }
  if (stale.empty()) return 0;
  // The partition is read-only: open it only when there is something to remove.
  RemountWindow window(false, false, part);
  int removed = 0;
  for (const std::string& name : stale) {
    const std::string path = rootPath(absDir + "/" + name);
    if (unlink(path.c_str()) == 0) {
      removed++;
      zlog(LOG_INFO, "removed %s, left by a save that was cut short", (absDir + "/" + name).c_str());
    } else {
      zlog(LOG_ERR, "can't remove %s error %d", (absDir + "/" + name).c_str(), errno);
    }
  }
  return removed;
}
