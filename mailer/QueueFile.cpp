// The queued message pair: the body file (.tmp) and the settings file (.ini) read into a
// mailer's properties, and a mailer's message written out as a new pair.
#include <algorithm>
#include <fstream>
#include <mutex>
#include <vector>

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

// The body file's lines: split at CR LF, a lone CR or a lone LF; a NUL byte ends the text. The
// body lies in a directory that web applications write: a link planted in its place is not
// followed, and anything but a regular file (a FIFO, a device) is not read.
bool ReadBody(const std::string& path, rtl::TStringList& lines) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string body;
  char buffer[65536];
  DWORD got = 0;
  bool ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) {
    body.append(buffer, got);
  }
  CloseHandle(file);
  if (!ok) return false;
  lines.SetText(std::string_view(body).substr(0, body.find('\0')));
  return true;
}

// Writes keys one profile write each, raising EFileError with the writer's text on failure.
class IniWriter {
 public:
  IniWriter(std::string file, std::string shownPath)
      : file_(std::move(file)), shown_(std::move(shownPath)) {}

  void Put(const char* code, const char* section, const std::string& key, std::string value,
           const std::string& what) const {
    // A line break would start further keys of the producer's choosing (a hidden recipient, an
    // attachment from anywhere), and a NUL would cut the value: each becomes a blank, so one
    // value is always one key.
    std::replace_if(
        value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; },
        ' ');
    if (!WritePrivateProfileStringA(section, key.c_str(), value.c_str(), file_.c_str())) {
      throw EFileError(rtl::Format("Failure writing message to queue %s [%s, %s] %s", code, section,
                                   what.c_str(), shown_.c_str()));
    }
  }
  void String(const char* section, const char* key, const std::string& value) const {
    if (!value.empty()) Put("SSV", section, key, value, key);
  }
  void Integer(const char* section, const char* key, long long value) const {
    Put("SIV", section, key, rtl::IntToStr(value), key);
  }
  void Boolean(const char* key, bool value) const {
    Put("SBV", kMessage, key, value ? "1" : "0", key);
  }

 private:
  std::string file_;
  std::string shown_;
};

// A body file made exclusively whose .ini name is free too: a stale .ini left under the name
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
  for (;;) {
    char bodyName[MAX_PATH];
    if (GetTempFileNameA(queueDir.c_str(), "msg", 0, bodyName) == 0) {
      throw EFileError("Unable to save message body" + queueDir + rtl::PathDelim + "msg*.tmp");
    }
    std::string ini = rtl::ChangeFileExt(bodyName, ".ini");
    if (GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
      return bodyName;
    }
    reserved.push_back(bodyName);
  }
}

// The body file was just made, empty, under a fresh name; in a directory others write, whatever
// stands under that name now is written only when it is still a regular file reached without a
// link, and still empty.
void WriteNewBody(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw EFileError("");
  DWORD high = 0;
  DWORD written = 0;
  bool ok = GetFileSize(file, &high) == 0 && high == 0 &&
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok) throw EFileError("");
}

}  // namespace

void TCustomMailer::LoadFromQueue() {
  const std::string bodyPath = rtl::ChangeFileExt(QueueFile, ".tmp");
  if (!ReadBody(bodyPath, BodyLines)) throw EFileError("Unable to read message body" + bodyPath);

  std::lock_guard lock(settings::GlobalLock());
  const rtl::TIniFile ini(QueueFile);
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
}

bool TCustomMailer::SaveToQueue(const std::string& queueDir) {
  try {
    const std::string bodyPath = NewBaseName(queueDir);
    try {
      maillib::TmsMessage scratch;
      BuildBody(scratch);
      WriteNewBody(bodyPath, scratch.Body.Text());
    } catch (const std::exception&) {
      throw EFileError("Unable to save message body" + bodyPath);
    }

    const std::string iniPath = rtl::ChangeFileExt(bodyPath, ".ini");
    // The keys go into a name no queue scan matches; the finished file then takes its .ini name,
    // so a half-written .ini is never seen in the queue directory.
    const std::string partPath = iniPath + ".part";
    {
      std::lock_guard lock(settings::GlobalLock());
      const IniWriter ini(partPath, iniPath);
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
          ini.Put("SAL", kMessage, std::string("N") + keys.stem + index, list.Items(i).Name,
                  keys.stem);
          ini.Put("SAL", kMessage, std::string("A") + keys.stem + index, list.Items(i).Address,
                  keys.stem);
        }
      }
      for (const auto& keys : kStringLists) {
        const auto& list = this->*keys.list;
        for (int i = 0; i < list.Count(); ++i) {
          ini.Put("STS", kMessage, keys.stem + std::to_string(i + 1), list[i], keys.stem);
        }
      }
      for (const auto& key : kBools) ini.Boolean(key.name, this->*key.field);
      if (!MoveFileA(partPath.c_str(), iniPath.c_str())) {
        throw EFileError("Failure writing message to queue " + iniPath);
      }
    }
    QueueFile = iniPath;
    return true;
  } catch (const std::exception& e) {
    LastResp = e.what();
    return false;
  }
}

}  // namespace mailer
