// Files under the rooted file system, and the operator's files written so
// that a power cut or a full disk never leaves them half-written.
#pragma once
#include <cstdio>
#include <string>

// fopen of a system path resolved under ZELPYX_ROOT.
FILE* openRooted(const std::string& absPath, const char* mode);

// "/opt/set" is mounted read-only; writers open a window around each write.
// remountSetRw logs "can't mount rw /opt/set/ error %d" (syslog error, and
// stderr when toStderr) and returns -1 on failure; remountSetRo logs
// "can't mount ro /opt/set/ error %d".
int remountSetRw(bool toStderr = false);
void remountSetRo(bool toStderr = false);

// The write window as an object: opened (remounted read-write) when made,
// read-only again when it goes, whatever path the writer leaves by. A
// window that could not be opened has nothing to close. The root file
// system ("/", for the network file) logs "can't mount rw / %d" and
// "can't mount ro / %d".
class RemountWindow {
 public:
  enum Partition { OptSet, Root };
  // rwToStderr / roToStderr: the failure lines also go to stderr.
  explicit RemountWindow(bool rwToStderr = false, bool roToStderr = false, Partition part = OptSet);
  ~RemountWindow() { close(); }
  RemountWindow(const RemountWindow&) = delete;
  RemountWindow& operator=(const RemountWindow&) = delete;

  bool isOpen() const { return open_; }
  // Read-only again now; the destructor then does nothing.
  void close();

 private:
  bool open_ = false;
  bool roToStderr_;
  Partition part_;
};

// Writes a file through a temporary file in the same directory: the data
// is flushed to disk and then renamed over the old file. Until commit()
// succeeds the old file is untouched; a writer destroyed without commit
// removes its temporary file.
class AtomicWriter {
 public:
  explicit AtomicWriter(const std::string& absPath);
  ~AtomicWriter();
  AtomicWriter(const AtomicWriter&) = delete;
  AtomicWriter& operator=(const AtomicWriter&) = delete;

  bool ok() const { return f_ != nullptr; }
  FILE* file() { return f_; }
  // Flush, fsync, close and rename. Returns 0 on success, -1 on any
  // failure (a write error seen on the stream included).
  int commit();

 private:
  std::string path_;
  std::string tmp_;
  FILE* f_ = nullptr;
};

// Whole-file convenience over AtomicWriter.
int writeFileAtomic(const std::string& absPath, const std::string& content);

// A name AtomicWriter gives its temporary files ("setup.txt.tmpA1b2C3").
bool isStaleTempName(const std::string& name);
// Removes the temporary files of saves that were cut short (a power cut
// between creating and renaming) from absDir, opening the partition for
// writing only when there is one. Run at start-up, before any writer.
// Returns how many were removed.
int RemoveStaleTempFiles(const std::string& absDir, RemountWindow::Partition part);
