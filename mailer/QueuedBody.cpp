#include "mailer/QueuedBody.h"

#include <algorithm>

#include "mailer/SMTPCust.h"

namespace mailer {
namespace {

constexpr size_t kBlock = 65536;

// The body's lines in pieces, read forward a block at a time.
class TLineReader {
 public:
  explicit TLineReader(const TQueuedBody& body) : body_(body) {}

  // The next piece, or false after the last line.
  bool Next(std::string_view& piece, bool& end) {
    for (;;) {
      if (index_ == length_) {
        if (!drained_) {
          length_ = body_.ReadAt(offset_, block_, kBlock);
          offset_ += static_cast<int64_t>(length_);
          index_ = 0;
          drained_ = length_ == 0;
        }
        if (drained_) return CloseOpenLine(piece, end);
      }
      if (afterCr_ && block_[index_] == '\n') ++index_;
      afterCr_ = false;
      if (index_ == length_) continue;
      const char* start = block_ + index_;
      const char* stop = std::find_if(start, static_cast<const char*>(block_ + length_),
                                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
      piece = std::string_view(start, static_cast<size_t>(stop - start));
      if (stop == block_ + length_) {
        index_ = length_;
        lineOpen_ = true;
        end = false;
        return true;
      }
      if (*stop == '\0') {
        // The text ends at a NUL byte: whatever follows is never read.
        index_ = length_;
        drained_ = true;
        if (piece.empty()) return CloseOpenLine(piece, end);
        lineOpen_ = false;
        end = true;
        return true;
      }
      index_ = static_cast<size_t>(stop - block_) + 1;
      afterCr_ = *stop == '\r';
      lineOpen_ = false;
      end = true;
      return true;
    }
  }

 private:
  // A last line without a line break still ends; a final line break adds no empty line.
  bool CloseOpenLine(std::string_view& piece, bool& end) {
    if (!lineOpen_) return false;
    lineOpen_ = false;
    piece = {};
    end = true;
    return true;
  }

  const TQueuedBody& body_;
  char block_[kBlock];
  size_t length_ = 0;
  size_t index_ = 0;
  int64_t offset_ = 0;
  bool drained_ = false;
  bool afterCr_ = false;
  bool lineOpen_ = false;
};

// The body's text composed as it is read: only the pieces of the current block and, when lines
// are wrapped, the part of a line not yet cut are held.
class TBodyText : public rtl::TStream {
 public:
  TBodyText(std::shared_ptr<const TQueuedBody> body, int margin)
      : body_(std::move(body)), margin_(static_cast<size_t>(std::max(margin, 0))) {
    Rewind();
  }

  size_t Read(void* buffer, size_t count) override {
    size_t given = 0;
    while (given < count) {
      if (outIndex_ == out_.size()) {
        out_.clear();
        outIndex_ = 0;
        if (!Refill()) break;
        continue;
      }
      size_t take = std::min(count - given, out_.size() - outIndex_);
      std::copy_n(out_.data() + outIndex_, take, static_cast<char*>(buffer) + given);
      outIndex_ += take;
      given += take;
    }
    position_ += static_cast<int64_t>(given);
    return given;
  }
  void Write(const void*, size_t) override { throw rtl::EStreamError("Stream write error"); }
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    int64_t target = origin == rtl::soBeginning ? offset
                     : origin == rtl::soCurrent ? position_ + offset
                                                : Size() + offset;
    if (target < position_) Rewind();
    char scratch[4096];
    while (position_ < target) {
      if (Read(scratch,
               static_cast<size_t>(std::min<int64_t>(target - position_, sizeof scratch))) == 0) {
        break;
      }
    }
    return position_;
  }
  int64_t Size() override {
    TBodyText counter(body_, static_cast<int>(margin_));
    int64_t size = 0;
    char block[kBlock];
    for (size_t got; (got = counter.Read(block, sizeof block)) > 0;) {
      size += static_cast<int64_t>(got);
    }
    return size;
  }

 private:
  void Rewind() {
    reader_ = std::make_unique<TLineReader>(*body_);
    out_.clear();
    outIndex_ = 0;
    position_ = 0;
    pending_.clear();
    cut_ = skipBlanks_ = false;
  }

  void Emit(std::string_view line) {
    out_ += line;
    out_ += "\r\n";
  }

  bool Refill() {
    std::string_view piece;
    bool end = false;
    if (!reader_->Next(piece, end)) return false;
    if (margin_ == 0) {
      out_ += piece;
      if (end) out_ += "\r\n";
    } else {
      Wrap(piece, end);
    }
    return true;
  }

  // WrapLine's cut depends only on the first margin + 1 characters, so a line is cut as soon as
  // that much of it has been read, and its rest begins at the next character that is no blank.
  void Wrap(std::string_view piece, bool end) {
    if (skipBlanks_) {
      size_t text = piece.find_first_not_of(' ');
      piece.remove_prefix(text == std::string_view::npos ? piece.size() : text);
      skipBlanks_ = piece.empty();
    }
    pending_ += piece;
    size_t start = 0;
    while (pending_.size() - start > margin_) {
      std::string_view rest = std::string_view(pending_).substr(start);
      std::string line = WrapLine(rest.substr(0, margin_ + 1), static_cast<int>(margin_)).first;
      Emit(line);
      cut_ = true;
      size_t next = pending_.find_first_not_of(' ', start + line.size());
      if (next == std::string::npos) {
        start = pending_.size();
        skipBlanks_ = true;
      } else {
        start = next;
      }
    }
    pending_.erase(0, start);
    if (!end) return;
    // An empty line stays one empty line; the rest of a cut line is a line when anything is left.
    if (!cut_ || !pending_.empty()) Emit(pending_);
    pending_.clear();
    cut_ = skipBlanks_ = false;
  }

  std::shared_ptr<const TQueuedBody> body_;
  size_t margin_;
  std::unique_ptr<TLineReader> reader_;
  std::string out_;
  size_t outIndex_ = 0;
  int64_t position_ = 0;
  std::string pending_;
  bool cut_ = false;
  bool skipBlanks_ = false;
};

}  // namespace

std::shared_ptr<TQueuedBody> TQueuedBody::Open(const std::string& path) {
  // The body lies in a directory that web applications write: a link planted in its place is not
  // followed, and anything but a regular file (a FIFO, a device) is not read.
  // While it is read, a delivered or failed message's body may be erased or moved (Windows asks
  // for that by the share mode).
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw EFileError("Unable to read message body" + path);
  return std::shared_ptr<TQueuedBody>(new TQueuedBody(path, file));
}

TQueuedBody::~TQueuedBody() { CloseHandle(file_); }

size_t TQueuedBody::ReadAt(int64_t offset, char* buffer, size_t count) const {
  if (held_ == THeld::hUnknown) {
    // Only what the file holds is touched, not the whole block.
    const auto block = std::make_unique_for_overwrite<char[]>(kBlock);
    const size_t got = ReadFromFile(0, block.get(), kBlock);
    held_ = got < kBlock ? THeld::hWhole : THeld::hFile;
    if (held_ == THeld::hWhole) whole_.assign(block.get(), got);
  }
  if (held_ == THeld::hFile) return ReadFromFile(offset, buffer, count);
  if (offset < 0 || static_cast<uint64_t>(offset) >= whole_.size()) return 0;
  const size_t take = std::min(count, whole_.size() - static_cast<size_t>(offset));
  std::copy_n(whole_.data() + offset, take, buffer);
  return take;
}

size_t TQueuedBody::ReadFromFile(int64_t offset, char* buffer, size_t count) const {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  DWORD got = 0;
  if (!SetFilePointerEx(file_, to, nullptr, FILE_BEGIN) ||
      !ReadFile(file_, buffer, static_cast<DWORD>(count), &got, nullptr)) {
    throw EFileError("Unable to read message body" + path_);
  }
  return got;
}

void TQueuedBody::ForEachPiece(
    const std::function<bool(std::string_view piece, bool end)>& onPiece) const {
  auto reader = std::make_unique<TLineReader>(*this);
  std::string_view piece;
  bool end = false;
  while (reader->Next(piece, end) && onPiece(piece, end)) {
  }
}

std::unique_ptr<rtl::TStream> TQueuedBody::Text(int margin) const {
  return std::make_unique<TBodyText>(shared_from_this(), margin);
}

}  // namespace mailer
