// A queued message's body file, kept open and read a block at a time whenever the message is
// composed or shown: a body of any size costs a worker a bounded buffer, never its whole size.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "rtl/Streams.h"
#include "winapi/winapi.h"

namespace mailer {

class TQueuedBody : public std::enable_shared_from_this<TQueuedBody> {
 public:
  // The body file at path, reached without a link and a regular file; EFileError otherwise.
  static std::shared_ptr<TQueuedBody> Open(const std::string& path);
  ~TQueuedBody();
  TQueuedBody(const TQueuedBody&) = delete;
  TQueuedBody& operator=(const TQueuedBody&) = delete;

  // The body's lines from the first, split at CR LF, a lone CR or a lone LF and ending at a NUL
  // byte, each handed over in pieces of at most one block; end marks a line's last piece.
  // onPiece returns false to stop.
  void ForEachPiece(const std::function<bool(std::string_view piece, bool end)>& onPiece) const;
  // The body as a message carries it: every line followed by CR LF, cut with WrapLine at margin
  // when margin is above 0.
  std::unique_ptr<rtl::TStream> Text(int margin) const;

  // Up to count bytes from offset; EFileError when the file cannot be read.
  size_t ReadAt(int64_t offset, char* buffer, size_t count) const;

 private:
  TQueuedBody(std::string path, HANDLE file) : path_(std::move(path)), file_(file) {}
  size_t ReadFromFile(int64_t offset, char* buffer, size_t count) const;

  std::string path_;
  HANDLE file_;
  // A body that fits in one block is read from the file once and served from here however
  // often it is composed; a larger one is always read from the file. One worker reads a body.
  mutable std::string whole_;
  mutable enum class THeld { hUnknown, hWhole, hFile } held_ = THeld::hUnknown;
};

}  // namespace mailer
