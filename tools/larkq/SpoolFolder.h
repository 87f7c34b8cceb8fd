// The spool folder of a message received by `larkq sendmail`: its attachments as files, in a
// folder of their own inside <queue>/spool/, which the queue scans never look into. The queued
// .ini names these files; the service removes the folder once the message is delivered, and
// moves it with the message into Failed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larkq {

inline constexpr size_t kMaxSpoolNameLength = 100;

// A name from a message made safe as one file name: "/" and "\" and control characters become
// "_", no "..", no leading "." or blank, at most kMaxSpoolNameLength bytes with the extension
// kept, never empty.
std::string SafeSpoolName(std::string_view given);

class TSpoolFolder {
 public:
  // Makes a new folder of its own in <queueDir>/spool/. The queue directory is writable by web
  // applications: the spool directory must be a real directory, not a link; raises
  // rtl::Exception with the reason otherwise.
  explicit TSpoolFolder(const std::string& queueDir);
  // Removes the folder with its files unless Keep was called: a message refused after its
  // files were written leaves nothing behind.
  ~TSpoolFolder();
  TSpoolFolder(const TSpoolFolder&) = delete;
  TSpoolFolder& operator=(const TSpoolFolder&) = delete;

  // Writes bytes into a new file named after SafeSpoolName(name), numbered when that name is
  // taken, and returns its path. Every file is created exclusively and is never reached through
  // a link; raises rtl::Exception when it cannot be written.
  std::string Add(std::string_view name, std::string_view bytes);
  // Puts the folder's files and its place in the spool directory on the disk, so that a message
  // naming them survives a crash of the machine; raises rtl::Exception when they cannot be.
  void Sync() const;
  void Keep() { kept_ = true; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
  bool kept_ = false;
};

}  // namespace larkq
