// The REGEDIT4 reader twice over: as the hive every program loads, and as a file that
// `larkctl reg import` applies. A hive that parses exports, and its export is read back to the
// same text; an import either changes nothing or leaves the registry exactly as applying its
// lines one by one would, and its export reads back to the same text too.
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/larkctl/RegCommand.h"
#include "winapi/RegFile.h"
#include "winapi/winapi.h"

namespace {

namespace fs = std::filesystem;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string HivePath() { return fuzz::UseFreshMachineRoot() + "/registry/HKEY_LOCAL_MACHINE.reg"; }

// A new file renamed over the hive: readers notice the change by the file's identity, which a
// rewrite in place within one clock tick might not alter.
void SetHive(const std::string& text) {
  fs::create_directories(fs::path(HivePath()).parent_path());
  std::string next = HivePath() + ".next";
  FUZZ_CHECK(fuzz::WriteBytes(next, text), "cannot write the hive");
  fs::rename(next, HivePath());
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Reg(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  int status = larkctl::RunRegCommand(args, in, out, err);
  return {status, out.str(), err.str()};
}

// The registry as applying lines one by one leaves it: the model the import is compared with.
struct Node {
  std::string name;
  std::map<std::string, std::unique_ptr<Node>> children;  // by upper-case name
  std::vector<regfile::Value> values;

  Node* Child(const std::string& part, bool create) {
    auto found = children.find(Upper(part));
    if (found != children.end()) return found->second.get();
    if (!create) return nullptr;
    auto& slot = children[Upper(part)];
    slot = std::make_unique<Node>();
    slot->name = part;
    return slot.get();
  }
};

struct Path {
  bool classes;  // under HKEY_CLASSES_ROOT, the view of SOFTWARE\Classes
  std::vector<std::string> parts;
};

Path Split(const std::string& key) {
  Path path{Upper(key.substr(0, key.find('\\'))) == "HKEY_CLASSES_ROOT", {}};
  if (path.classes) path.parts = {"SOFTWARE", "Classes"};
  for (size_t start = key.find('\\'); start != std::string::npos;) {
    size_t end = key.find('\\', start + 1);
    std::string part = key.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    if (!part.empty()) path.parts.push_back(part);
    start = end;
  }
  return path;
}

Node* Walk(Node& root, const std::vector<std::string>& parts, size_t count, bool create) {
  Node* node = &root;
  for (size_t i = 0; i < count && node != nullptr; ++i) node = node->Child(parts[i], create);
  return node;
}

// Applies one line as the import does; false where the registry refuses it.
bool Apply(Node& root, const regfile::Operation& op) {
  Path path = Split(op.key);
  const size_t own = path.parts.size();
  const size_t view = path.classes ? 2 : 0;  // the parts of the root the line names
  if (op.kind == regfile::Operation::kDeleteKey) {
    Node* parent = Walk(root, path.parts, own - 1, false);
    // A missing key is no failure, but HKEY_CLASSES_ROOT's own key must be there to look in.
    if (parent == nullptr) return !(path.classes && Walk(root, path.parts, view, false) == nullptr);
    parent->children.erase(Upper(path.parts.back()));
    return true;
  }
  // A line naming the root itself opens no key: HKEY_CLASSES_ROOT must then exist already.
  Node* key = own == view ? Walk(root, path.parts, own, false) : Walk(root, path.parts, own, true);
  if (key == nullptr) return op.kind == regfile::Operation::kCreateKey;
  if (op.kind == regfile::Operation::kSetValue) {
    for (auto& value : key->values) {
      if (Upper(value.name) == Upper(op.value.name)) {
        value.type = op.value.type;
        value.data = op.value.data;
        return true;
      }
    }
    key->values.push_back(op.value);
  } else if (op.kind == regfile::Operation::kDeleteValue) {
    std::erase_if(key->values,
                  [&](const regfile::Value& v) { return Upper(v.name) == Upper(op.value.name); });
  }
  return true;
}

std::string Describe(const Node& node, const std::string& path) {
  std::string text = regfile::FormatKey(path, node.values);
  for (const auto& [upper, child] : node.children) {
    text += Describe(*child, path + "\\" + child->name);
  }
  return text;
}

// The registry an export shows, as a tree.
std::string Exported(const std::string& exportText) {
  auto parsed = regfile::Parse(exportText);
  FUZZ_CHECK(parsed.errorLine == 0, "an export does not read back: line " +
                                        std::to_string(parsed.errorLine) + ": " + parsed.error +
                                        "\n" + exportText);
  Node root;
  for (const auto& op : parsed.operations) Apply(root, op);
  return Describe(root, "HKEY_LOCAL_MACHINE");
}

std::string ExportAll() {
  Outcome exported = Reg({"export"});
  FUZZ_CHECK(exported.status == 0, "export failed: " + exported.err);
  return exported.out;
}

// The hive's own export, written as the hive, exports the same text.
void CheckReadBack(const std::string& exportText) {
  SetHive(exportText);
  std::string again = ExportAll();
  FUZZ_CHECK(again == exportText,
             "an exported hive reads back otherwise:\n" + exportText + "\n----\n" + again);
}

void CheckHive(const std::string& text, const regfile::ParseResult& parsed) {
  SetHive(text);
  bool underMachine = true;
  for (const auto& op : parsed.operations) {
    underMachine =
        underMachine && Upper(op.key.substr(0, op.key.find('\\'))) == "HKEY_LOCAL_MACHINE";
  }
  Outcome exported = Reg({"export"});
  if (parsed.errorLine != 0 || !underMachine) {
    FUZZ_CHECK(exported.status == 1, "a damaged hive exported: " + fuzz::Shown(text));
    if (parsed.errorLine != 0) {
      std::string where = HivePath() + ":" + std::to_string(parsed.errorLine) + ": ";
      FUZZ_CHECK(exported.err.find(where) != std::string::npos,
                 "a damaged hive is not reported at its line: " + exported.err);
    }
    return;
  }
  FUZZ_CHECK(exported.status == 0,
             "a sound hive does not export: " + exported.err + " for " + fuzz::Shown(text));
  CheckReadBack(exported.out);
}

constexpr const char* kBase =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkpost]\r\n"
    "\"QuePath\"=\"/var/spool/larkpost\"\r\n"
    "\"Workers\"=dword:00000004\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Larkpost]\r\n"
    "\"Start\"=dword:00000002\r\n\r\n";
constexpr const char* kClasses =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt]\r\n@=\"txtfile\"\r\n";

void CheckImport(const std::string& text, const regfile::ParseResult& parsed) {
  // Half the inputs meet a registry without HKEY_CLASSES_ROOT's key, as on a fresh machine.
  std::string base = std::string(kBase) + (text.size() % 2 == 0 ? kClasses : "");
  SetHive(base);
  const std::string before = ExportAll();
  const std::string file = fuzz::UseFreshMachineRoot() + "/import.reg";
  FUZZ_CHECK(fuzz::WriteBytes(file, text), "cannot write the import file");
  Outcome imported = Reg({"import", file});
  const std::string after = ExportAll();
  if (imported.status != 0) {
    FUZZ_CHECK(imported.status == 1, "import gave exit " + std::to_string(imported.status));
    FUZZ_CHECK(after == before, "a failed import (" + imported.err + ") changed the registry:\n" +
                                    after + "\n---- import of\n" + fuzz::Shown(text));
  }
  if (parsed.errorLine != 0) {
    FUZZ_CHECK(imported.status == 1, "an import of a damaged file succeeded");
    return;
  }
  Node model;
  for (const auto& op : regfile::Parse(before).operations) Apply(model, op);
  bool applies = true;
  for (const auto& op : parsed.operations) {
    applies = applies && Apply(model, op);
  }
  FUZZ_CHECK(applies == (imported.status == 0),
             std::string("import ") + (imported.status == 0 ? "succeeded" : "failed: ") +
                 imported.err + " where applying its lines " + (applies ? "succeeds" : "fails") +
                 ": " + fuzz::Shown(text));
  if (!applies) return;
  std::string expected = Describe(model, "HKEY_LOCAL_MACHINE");
  std::string got = Exported(after);
  FUZZ_CHECK(got == expected, "import left\n" + got + "\n---- where its lines give\n" + expected +
                                  "\n---- for " + fuzz::Shown(text));
  CheckReadBack(after);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseFreshMachineRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const regfile::ParseResult parsed = regfile::Parse(text);
  if (parsed.errorLine != 0) {
    FUZZ_CHECK(parsed.operations.empty() && !parsed.error.empty(),
               "a failed parse kept operations or gave no reason");
  }
  CheckHive(text, parsed);
  CheckImport(text, parsed);
  return 0;
}
