// The queued message pair: the body file (.tmp) and the settings file (.ini) read into a
// mailer's properties, and a mailer's message written out as a new pair.
#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "mailer/QueuedBody.h"
#include "mailer/SMTPCust.h"
#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace mailer {
namespace {

constexpr const char* kConnection = "Connection";
constexpr const char* kMessage = "Message";
// Written only for a composed message, so that the pairs of other producers stay as they were.
constexpr const char* kComposed = "Composed";

struct AddressListKeys {
  const char* stem;
  maillib::TmsAddressList TCustomMailer::*list;
};
constexpr AddressListKeys kAddressLists[] = {{"TO", &TCustomMailer::ToList},
                                             {"CC", &TCustomMailer::CcList},
                                             {"BCC", &TCustomMailer::BccList}};

struct StringListKeys {
  const char* stem;
  rtl::TStringList TCustomMailer::*list;
};
constexpr StringListKeys kStringLists[] = {{"ExtraHdrs", &TCustomMailer::ExtraHdrs},
                                           {"Attachments", &TCustomMailer::Attachments}};

struct BoolKey {
  const char* name;
  bool TCustomMailer::*field;
};
constexpr BoolKey kBools[] = {{"Urgent", &TCustomMailer::Urgent},
                              {"ConfirmRead", &TCustomMailer::ConfirmRead},
                              {"ReturnReceipt", &TCustomMailer::ReturnReceipt},
                              {"WordWrap", &TCustomMailer::WordWrap},
                              {"UseMSMailHeaders", &TCustomMailer::UseMSMailHeaders},
                              {"SuppressMsgBody", &TCustomMailer::SuppressMsgBody},
                              {"IgnoreRecipientErrors", &TCustomMailer::IgnoreRecipientErrors}};

// Every file of a pair a producer writes: the service (its owner, or its group) reads it, and no
// other user, since mail is private whatever the producer's umask.
constexpr DWORD kQueueFileMode = 0640;

// A settings file larger than this is no message a producer wrote: it fails its attempt rather
// than take the memory of a worker (and, counted like any failure, ends in Failed).
constexpr size_t kMaxIniBytes = 1024 * 1024;

// Composes the keys of a new .ini in memory, so that the file is written, and synced, at once.
// A line break would start further keys of the producer's choosing (a hidden recipient, an
// attachment from anywhere), and a NUL would cut the value: each becomes a blank, so one value is
// always one key.
class IniWriter {
 public:
  void Put(const char* section, const std::string& key, std::string value) {
    std::replace_if(
        value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; },
        ' ');
    text_.WriteString(section, key, value);
  }
  void String(const char* section, const char* key, const std::string& value) {
    if (!value.empty()) Put(section, key, value);
  }
  void Integer(const char* section, const char* key, long long value) {
    Put(section, key, rtl::IntToStr(value));
  }
  void Boolean(const char* key, bool value) { Put(kMessage, key, value ? "1" : "0"); }
  std::string Text() const { return text_.Text(); }

 private:
  rtl::TIniComposer text_;
};

// The files one SaveToQueue has made so far; whatever of them is left when it fails is removed, so
// a refused message (a full disk, say) leaves nothing behind.
class MadeFiles {
 public:
  // The .ini goes before its body, so that the service never meets an .ini whose body is gone.
  ~MadeFiles() {
    for (auto path = paths_.rbegin(); path != paths_.rend(); ++path) DeleteFileA(path->c_str());
  }
  void Add(const std::string& path) { paths_.push_back(path); }
  void Keep() { paths_.clear(); }

 private:
  std::vector<std::string> paths_;
};

std::string SystemReason() { return rtl::SysErrorMessage(GetLastError()); }

// A body file made exclusively whose .ini names are free too: a stale .ini left under the name
// would otherwise be taken for the new message's description, or block it. Names whose .ini is
// taken stay reserved until a free one is found, so the search never meets them again.
std::string NewBaseName(const std::string& queueDir) {
  std::vector<std::string> reserved;
  struct Release {
    std::vector<std::string>& names;
    ~Release() {
      for (const auto& name : names) DeleteFileA(name.c_str());
    }
  } release{reserved};
  auto unused = [](const std::string& path) {
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_FILE_NOT_FOUND;
  };
  for (;;) {
    char bodyName[MAX_PATH];
    if (GetTempFileNameA(queueDir.c_str(), "msg", 0, bodyName) == 0) {
      throw EFileError("Unable to save message body" + queueDir + rtl::PathDelim + "msg*.tmp");
    }
    std::string ini = rtl::ChangeFileExt(bodyName, ".ini");
    if (unused(ini) && unused(ini + ".part")) return bodyName;
    reserved.push_back(bodyName);
  }
}

// The body file was just made, empty, under a fresh name; in a directory others write, whatever
// stands under that name now is written only when it is still a regular file reached without a
// link, and still empty. The text is copied a block at a time: it may be a queued body of any size.
void WriteNewBody(const std::string& path, rtl::TStream& text) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw EFileError("");
  struct Closer {
    HANDLE file;
    ~Closer() { CloseHandle(file); }
  } closer{file};
  DWORD high = 0;
  if (GetFileSize(file, &high) != 0 || high != 0) throw EFileError("");
  if (!LarkSetFileMode(file, kQueueFileMode)) throw EFileError("");
  text.SetPosition(0);
  char block[65536];
  DWORD written = 0;
  for (size_t got; (got = text.Read(block, sizeof block)) > 0;) {
    if (!WriteFile(file, block, static_cast<DWORD>(got), &written, nullptr)) throw EFileError("");
  }
  if (!FlushFileBuffers(file)) throw EFileError("");
}

// A new file under a free name, its text written and on the disk; raises with the reason.
void WriteNewFile(const std::string& path, const std::string& text, const std::string& shown) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw EFileError("Failure writing message to queue " + shown + ": " + SystemReason());
  }
  DWORD written = 0;
  const bool ok =
      LarkSetFileMode(file, kQueueFileMode) &&
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      FlushFileBuffers(file);
  const std::string reason = ok ? "" : SystemReason();
  CloseHandle(file);
  if (!ok) {
    DeleteFileA(path.c_str());
    throw EFileError("Failure writing message to queue " + shown + ": " + reason);
  }
}

}  // namespace

void TCustomMailer::LoadFromQueue() {
  const std::string bodyPath = rtl::ChangeFileExt(QueueFile, ".tmp");
  QueuedBody = TQueuedBody::Open(bodyPath);
  BodyLines.Clear();

  // The file is read at once, under the lock that keeps message files and the settings apart;
  // the thousands of lookups of a long recipient list then hold up no other worker.
  std::unique_ptr<const rtl::TMemIniFile> loaded;
  {
    std::lock_guard lock(settings::GlobalLock());
    loaded = std::make_unique<const rtl::TMemIniFile>(QueueFile, kMaxIniBytes);
  }
  const rtl::TMemIniFile& ini = *loaded;
  auto text = [&](const char* section, const char* key) {
    return ini.ReadString(section, key, "");
  };
  auto number = [&](const char* section, const char* key) {
    return ini.ReadInteger(section, key, 0);
  };
  RemoteHost = text(kConnection, "RemoteHost");
  TimeOut = number(kConnection, "TimeOut");
  FromName = text(kMessage, "FromName");
  FromAddress = text(kMessage, "FromAddr");
  ReplyTo = text(kMessage, "ReplyTo");
  Subject = text(kMessage, "Subject");
  Organization = text(kMessage, "Organization");
  LastResp = text(kMessage, "LastResp");
  DateTime = text(kMessage, "DateTime");
  PGPPath = text(kMessage, "PGPPath");
  PGPParams = text(kMessage, "PGPParams");
  PGPTimeOut = number(kMessage, "PGPTimeOut");
  ContentType = text(kMessage, "ContentType");
  CustomCharSet = text(kMessage, "CustomCharSet");
  // The narrower properties keep the low bits of the stored number.
  Encoding = static_cast<int16_t>(number(kMessage, "Encoding"));
  CharSet = static_cast<int16_t>(number(kMessage, "CharSet"));
  Priority = static_cast<uint8_t>(number(kMessage, "Priority"));
  WordWrapLength = static_cast<uint16_t>(number(kMessage, "WordWrapLength"));

  // A list ends at the first entry without a display name (or line).
  for (const auto& keys : kAddressLists) {
    for (int i = 1;; ++i) {
      std::string index = std::to_string(i);
      std::string name = ini.ReadString(kMessage, std::string("N") + keys.stem + index, "");
      if (name.empty()) break;
      (this->*keys.list)
          .AddAddress(ini.ReadString(kMessage, std::string("A") + keys.stem + index, ""), name);
    }
  }
  for (const auto& keys : kStringLists) {
    auto& list = this->*keys.list;
    list.Clear();
    for (int i = 1;; ++i) {
      std::string line = ini.ReadString(kMessage, keys.stem + std::to_string(i), "");
      if (line.empty()) break;
      list.Add(line);
    }
  }
  for (const auto& key : kBools) this->*key.field = ini.ReadBool(kMessage, key.name, false);
  Composed = ini.ReadBool(kMessage, kComposed, false);
}

// The pair is on the disk before success is reported, so a message a producer was told is queued
// survives a crash of the machine: the body written and synced, then the .ini written once and
// synced under a name no queue scan matches, renamed to its .ini name, and the directory synced.
// The .ini is one write of the whole file, not a profile write per key (a rewrite of the file
// each, with the settle delay covering the half-written ones), so a failure names the file and the
// system's reason rather than a key.
bool TCustomMailer::SaveToQueue(const std::string& queueDir) {
  try {
    MadeFiles made;
    const std::string bodyPath = NewBaseName(queueDir);
    made.Add(bodyPath);
    try {
      maillib::TmsMessage scratch;
      BuildBody(scratch);
      rtl::TMemoryStream lines;
      rtl::TStream* text = scratch.BodyText();
      if (text == nullptr) {
        lines.WriteString(scratch.Body.Text());
        text = &lines;
      }
      WriteNewBody(bodyPath, *text);
    } catch (const std::exception&) {
      throw EFileError("Unable to save message body" + bodyPath);
    }

    const std::string iniPath = rtl::ChangeFileExt(bodyPath, ".ini");
    IniWriter ini;
    ini.String(kConnection, "RemoteHost", RemoteHost);
    ini.Integer(kConnection, "TimeOut", TimeOut);
    for (auto [key, value] : {std::pair{"FromName", &FromName},
                              {"FromAddr", &FromAddress},
                              {"ReplyTo", &ReplyTo},
                              {"Subject", &Subject},
                              {"LastResp", &LastResp},
                              {"Organization", &Organization},
                              {"DateTime", &DateTime},
                              {"PGPPath", &PGPPath},
                              {"PGPParams", &PGPParams}}) {
      ini.String(kMessage, key, *value);
    }
    ini.Integer(kMessage, "PGPTimeOut", PGPTimeOut);
    ini.String(kMessage, "ContentType", ContentType);
    ini.String(kMessage, "CustomCharSet", CustomCharSet);
    ini.Integer(kMessage, "Encoding", Encoding);
    ini.Integer(kMessage, "CharSet", CharSet);
    ini.Integer(kMessage, "Priority", Priority);
    ini.Integer(kMessage, "WordWrapLength", WordWrapLength);
    for (const auto& keys : kAddressLists) {
      const auto& list = this->*keys.list;
      for (int i = 0; i < list.Count(); ++i) {
        std::string index = std::to_string(i + 1);
        ini.Put(kMessage, std::string("N") + keys.stem + index, list.Items(i).Name);
        ini.Put(kMessage, std::string("A") + keys.stem + index, list.Items(i).Address);
      }
    }
    for (const auto& keys : kStringLists) {
      const auto& list = this->*keys.list;
      for (int i = 0; i < list.Count(); ++i) {
        ini.Put(kMessage, keys.stem + std::to_string(i + 1), list[i]);
      }
    }
    for (const auto& key : kBools) ini.Boolean(key.name, this->*key.field);
    if (Composed) ini.Boolean(kComposed, true);

    // The keys go into a name no queue scan matches; the finished file then takes its .ini name,
    // so a half-written .ini is never seen in the queue directory.
    const std::string partPath = iniPath + ".part";
    WriteNewFile(partPath, ini.Text(), iniPath);
    made.Add(partPath);
    if (!MoveFileA(partPath.c_str(), iniPath.c_str())) {
      throw EFileError("Failure writing message to queue " + iniPath + ": " + SystemReason());
    }
    made.Add(iniPath);
    if (!rtl::FlushDirectory(queueDir)) {
      throw EFileError("Failure writing message to queue " + iniPath + ": " + SystemReason());
    }
    made.Keep();
    QueueFile = iniPath;
    return true;
  } catch (const std::exception& e) {
    LastResp = e.what();
    return false;
  }
}

}  // namespace mailer
