#include "tools/larkctl/RegCommand.h"

#include <charconv>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "rtl/Registry.h"
#include "rtl/SysUtils.h"
#include "tools/larkctl/HelpOption.h"
#include "winapi/RegFile.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct UsageError {
  std::string message;
};

struct HelpWanted {};

struct KeyName {
  HKEY root;
  std::string rootName;  // the full root name, as exports write it
  std::string subKey;
  std::string Full() const { return subKey.empty() ? rootName : rootName + "\\" + subKey; }
};

KeyName ParseKeyName(const std::string& text) {
  auto slash = text.find('\\');
  std::string root = rtl::UpperCase(text.substr(0, slash));
  std::string subKey = slash == std::string::npos ? "" : text.substr(slash + 1);
  while (!subKey.empty() && subKey.back() == '\\') subKey.pop_back();
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
    return {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", subKey};
  }
  if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") {
    return {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", subKey};
  }
  throw UsageError{"Invalid key name '" + text + "': it must start with HKLM or HKCR."};
}

struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> valueName;  // /v NAME, or "" for /ve
  std::optional<std::string> type;
  std::optional<std::string> data;
  bool force = false;
  bool recursive = false;
  bool allValues = false;
};

Options ParseOptions(const std::vector<std::string>& args, size_t first) {
  Options options;
  auto need = [&](size_t& i, const std::string& flag) {
    if (++i >= args.size()) throw UsageError{flag + " needs an argument."};
    return args[i];
  };
  for (size_t i = first; i < args.size(); ++i) {
    if (IsHelpOption(args[i])) throw HelpWanted{};
    std::string flag = rtl::LowerCase(args[i]);
    if (flag.size() > 1 && (flag[0] == '/' || flag[0] == '-')) flag[0] = '/';
    if (flag == "/v") {
      options.valueName = need(i, args[i]);
    } else if (flag == "/ve") {
      options.valueName = "";
    } else if (flag == "/t") {
      options.type = rtl::UpperCase(need(i, args[i]));
    } else if (flag == "/d") {
      options.data = need(i, args[i]);
    } else if (flag == "/f") {
      options.force = true;
    } else if (flag == "/s") {
      options.recursive = true;
    } else if (flag == "/va") {
      options.allValues = true;
    } else if (flag[0] == '/' && flag.size() > 1 && flag.size() <= 3) {
      throw UsageError{"Unknown option " + args[i] + "."};
    } else {
      options.positional.push_back(args[i]);
    }
  }
  return options;
}

std::string ErrorText(LSTATUS status) {
  if (status == ERROR_FILE_NOT_FOUND) {
    return "The system was unable to find the specified registry key or value.";
  }
  std::string message = rtl::SysErrorMessage(static_cast<DWORD>(status));
  if (status == ERROR_BADDB) {
    char problem[1024];
    if (LarkRegGetProblemA(problem, sizeof problem) > 0) message += "\n" + std::string(problem);
  }
  return message;
}

class Failed {
 public:
  explicit Failed(LSTATUS status) : status(status) {}
  LSTATUS status;
};

void Check(LSTATUS status) {
  if (status != ERROR_SUCCESS) throw Failed(status);
}

// An open key that is closed when it goes out of scope.
class Key {
 public:
  Key(const KeyName& name, REGSAM access, bool create) {
    if (name.subKey.empty()) {
      key_ = name.root;
      return;
    }
    Check(create ? RegCreateKeyExA(name.root, name.subKey.c_str(), 0, nullptr, 0, access, nullptr,
                                   &key_, nullptr)
                 : RegOpenKeyExA(name.root, name.subKey.c_str(), 0, access, &key_));
    owned_ = true;
  }
  ~Key() {
    if (owned_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  bool owned_ = false;
};

std::vector<regfile::Value> ValuesOf(HKEY key) {
  std::vector<regfile::Value> values;
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD nameSize = sizeof name, type = 0, dataSize = 0;
    LSTATUS status = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, nullptr, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) return values;
    Check(status);
    regfile::Value value{std::string(name, nameSize), type, std::string(dataSize, '\0')};
    nameSize = sizeof name;
    Check(RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                        reinterpret_cast<BYTE*>(value.data.data()), &dataSize));
    value.data.resize(dataSize);
    values.push_back(std::move(value));
  }
}

std::vector<std::string> SubKeysOf(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD size = sizeof name;
    LSTATUS status = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    Check(status);
    names.emplace_back(name, size);
  }
}

std::string DisplayData(const regfile::Value& value) {
  const std::string& d = value.data;
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) return d.substr(0, d.find('\0'));
  if (value.type == REG_DWORD && d.size() == 4) {
    DWORD number;
    d.copy(reinterpret_cast<char*>(&number), 4);
    return rtl::Format("0x%x", number);
  }
  if (value.type == REG_MULTI_SZ) {
    std::string text = d;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    std::string out;
    for (char c : text) out += c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
  }
  std::string hex;
  for (unsigned char c : d) hex += rtl::Format("%02X", c);
  return hex;
}

void PrintValue(std::ostream& out, const regfile::Value& value) {
  out << "    " << (value.name.empty() ? "(Default)" : value.name) << "    "
      << rtl::RegTypeName(value.type) << "    " << DisplayData(value) << "\n";
}

void QueryKey(std::ostream& out, HKEY key, const std::string& fullName, const Options& options) {
  out << "\n" << fullName << "\n";
  for (const auto& value : ValuesOf(key)) PrintValue(out, value);
  auto subKeys = SubKeysOf(key);
  if (!options.recursive) {
    if (!subKeys.empty()) out << "\n";
    for (const auto& name : subKeys) out << fullName << "\\" << name << "\n";
    return;
  }
  for (const auto& name : subKeys) {
    HKEY child;
    Check(RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child));
    QueryKey(out, child, fullName + "\\" + name, options);
    RegCloseKey(child);
  }
}

int Query(const Options& options, std::ostream& out) {
  if (options.positional.size() != 1) throw UsageError{"query takes one key name."};
  KeyName name = ParseKeyName(options.positional[0]);
  Key key(name, KEY_READ, false);
  if (!options.valueName) {
    QueryKey(out, key.get(), name.Full(), options);
    out << "\n";
    return kDone;
  }
  for (const auto& value : ValuesOf(key.get())) {
    if (rtl::UpperCase(value.name) != rtl::UpperCase(*options.valueName)) continue;
    out << "\n" << name.Full() << "\n";
    PrintValue(out, value);
    out << "\n";
    return kDone;
  }
  throw Failed(ERROR_FILE_NOT_FOUND);
}

bool Confirm(std::istream& in, std::ostream& out, const std::string& question) {
  out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(in, answer)) return false;
  answer = rtl::LowerCase(rtl::Trim(answer));
  return answer == "y" || answer == "yes";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string EncodeData(const std::string& type, const std::string& data) {
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") return data + '\0';
  if (type == "REG_DWORD") {
    // Any 32-bit pattern: 0 to 4294967295, a negative number, or 0x hex.
    DWORD value = 0;
    auto [end, error] = std::from_chars(data.data(), data.data() + data.size(), value);
    if (error != std::errc() || end != data.data() + data.size()) {
      try {
        value = static_cast<DWORD>(rtl::StrToInt(data));
      } catch (const std::exception&) {
        throw UsageError{"'" + data + "' is not a valid REG_DWORD number (decimal or 0x hex)."};
      }
    }
    return std::string(reinterpret_cast<const char*>(&value), 4);
  }
  if (type == "REG_MULTI_SZ") {
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
      if (data.compare(i, 2, "\\0") == 0) {
        out += '\0';
        ++i;
      } else {
        out += data[i];
      }
    }
    return out + std::string("\0\0", out.empty() ? 1 : 2);
  }
  if (type == "REG_BINARY") {
    if (data.size() % 2 != 0) throw UsageError{"REG_BINARY data needs pairs of hex digits."};
    std::string out;
    for (size_t i = 0; i < data.size(); i += 2) {
      int high = HexValue(data[i]), low = HexValue(data[i + 1]);
      if (high < 0 || low < 0) throw UsageError{"REG_BINARY data needs pairs of hex digits."};
      out += static_cast<char>(high * 16 + low);
    }
    return out;
  }
  throw UsageError{"Unknown type " + type +
                   "; use REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ."};
}

DWORD TypeCode(const std::string& type) {
  if (type == "REG_SZ") return REG_SZ;
  if (type == "REG_EXPAND_SZ") return REG_EXPAND_SZ;
  if (type == "REG_DWORD") return REG_DWORD;
  if (type == "REG_MULTI_SZ") return REG_MULTI_SZ;
  return REG_BINARY;
}

int Add(const Options& options, std::istream& in, std::ostream& out) {
  if (options.positional.size() != 1) throw UsageError{"add takes one key name."};
  KeyName name = ParseKeyName(options.positional[0]);
  if (!options.valueName) {
    if (options.type || options.data) throw UsageError{"/t and /d need /v or /ve."};
    Key key(name, KEY_ALL_ACCESS, true);
    out << "The operation completed successfully.\n";
    return kDone;
  }
  std::string type = options.type.value_or("REG_SZ");
  std::string data = EncodeData(type, options.data.value_or(""));
  Key key(name, KEY_ALL_ACCESS, true);
  const std::string& valueName = *options.valueName;
  bool exists = RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr,
                                 nullptr) == ERROR_SUCCESS;
  if (exists && !options.force &&
      !Confirm(in, out,
               "Value " + (valueName.empty() ? "(Default)" : valueName) + " exists, overwrite")) {
    out << "The operation was cancelled.\n";
    return kFailed;
  }
  Check(RegSetValueExA(key.get(), valueName.c_str(), 0, TypeCode(type),
                       reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size())));
  out << "The operation completed successfully.\n";
  return kDone;
}

int Delete(const Options& options, std::istream& in, std::ostream& out) {
  if (options.positional.size() != 1) throw UsageError{"delete takes one key name."};
  KeyName name = ParseKeyName(options.positional[0]);
  if (name.subKey.empty()) throw UsageError{"A root key cannot be deleted."};
  std::string question =
      options.valueName ? "Delete the registry value " +
                              (options.valueName->empty() ? "(Default)" : *options.valueName)
      : options.allValues ? "Delete all values under the registry key " + name.Full()
                          : "Permanently delete the registry key " + name.Full();
  // Look the target up first, so a missing key or value is reported before any question.
  Key key(name, KEY_ALL_ACCESS, false);
  if (options.valueName) {
    Check(RegQueryValueExA(key.get(), options.valueName->c_str(), nullptr, nullptr, nullptr,
                           nullptr));
  }
  if (!options.force && !Confirm(in, out, question)) {
    out << "The operation was cancelled.\n";
    return kFailed;
  }
  if (options.valueName) {
    Check(RegDeleteValueA(key.get(), options.valueName->c_str()));
  } else if (options.allValues) {
    for (const auto& value : ValuesOf(key.get())) {
      Check(RegDeleteValueA(key.get(), value.name.c_str()));
    }
  } else {
    Check(RegDeleteTreeA(name.root, name.subKey.c_str()));
  }
  out << "The operation completed successfully.\n";
  return kDone;
}

void ExportKey(std::ostream& out, HKEY key, const std::string& fullName) {
  out << regfile::FormatKey(fullName, ValuesOf(key));
  for (const auto& name : SubKeysOf(key)) {
    HKEY child;
    Check(RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child));
    ExportKey(out, child, fullName + "\\" + name);
    RegCloseKey(child);
  }
}

int Export(const Options& options, std::ostream& out) {
  if (options.positional.size() > 1) throw UsageError{"export takes at most one key name."};
  KeyName name = ParseKeyName(options.positional.empty() ? "HKLM" : options.positional[0]);
  Key key(name, KEY_READ, false);
  std::ostringstream text;
  ExportKey(text, key.get(), name.Full());
  out << regfile::Header() << text.str();
  return kDone;
}

int Import(const Options& options, std::ostream& out, std::ostream& err) {
  if (options.positional.size() != 1) throw UsageError{"import takes one file name."};
  const std::string& file = options.positional[0];
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    err << "ERROR: Cannot open " << file << ".\n";
    return kFailed;
  }
  std::ostringstream text;
  text << stream.rdbuf();
  // The whole file is checked before anything changes (its roots, names and data included), so
  // a bad line leaves the registry as it was.
  auto parsed = regfile::Parse(text.str());
  if (parsed.errorLine != 0) {
    err << "ERROR: " << file << ":" << parsed.errorLine << ": " << parsed.error << "\n";
    return kFailed;
  }
  for (const auto& op : parsed.operations) {
    KeyName name = ParseKeyName(op.key);
    if (op.kind == regfile::Operation::kDeleteKey) {
      LSTATUS status = RegDeleteTreeA(name.root, name.subKey.c_str());
      if (status != ERROR_FILE_NOT_FOUND) Check(status);
      continue;
    }
    Key key(name, KEY_ALL_ACCESS, true);
    if (op.kind == regfile::Operation::kSetValue) {
      Check(RegSetValueExA(key.get(), op.value.name.c_str(), 0, op.value.type,
                           reinterpret_cast<const BYTE*>(op.value.data.data()),
                           static_cast<DWORD>(op.value.data.size())));
    } else if (op.kind == regfile::Operation::kDeleteValue) {
      LSTATUS status = RegDeleteValueA(key.get(), op.value.name.c_str());
      if (status != ERROR_FILE_NOT_FOUND) Check(status);
    }
  }
  out << "The operation completed successfully.\n";
  return kDone;
}

}  // namespace

void PrintRegUsage(std::ostream& out) {
  out << "Usage:\n"
         "  larkctl reg query KEY [/v NAME | /ve] [/s]\n"
         "  larkctl reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
         "  larkctl reg delete KEY [/v NAME | /ve | /va] [/f]\n"
         "  larkctl reg export [KEY]\n"
         "  larkctl reg import FILE\n"
         "KEY is HKLM\\... or HKCR\\... (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT);\n"
         "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ.\n"
         "REG_DWORD data is decimal or 0x hex; REG_BINARY data is hex digits; REG_MULTI_SZ\n"
         "entries are separated by \\0. Without /f, overwriting or deleting asks first.\n";
}

int RunRegCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  try {
    if (args.empty()) throw UsageError{"Name a reg operation."};
    if (IsHelpOption(args[0])) throw HelpWanted{};
    std::string operation = rtl::LowerCase(args[0]);
    Options options = ParseOptions(args, 1);
    if (operation == "query") return Query(options, out);
    if (operation == "add") return Add(options, in, out);
    if (operation == "delete") return Delete(options, in, out);
    if (operation == "export") return Export(options, out);
    if (operation == "import") return Import(options, out, err);
    throw UsageError{"Unknown reg operation '" + args[0] + "'."};
  } catch (const HelpWanted&) {
    PrintRegUsage(out);
    return kDone;
  } catch (const UsageError& e) {
    err << "ERROR: " << e.message << "\n";
    PrintRegUsage(err);
    return kUsage;
  } catch (const Failed& e) {
    err << "ERROR: " << ErrorText(e.status) << "\n";
    return kFailed;
  }
}

}  // namespace larkctl
