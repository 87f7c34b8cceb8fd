// The Linux machine layer's event log: one JSON record a line in the machine root.
#include <fstream>

#include "svchost/EventLogRecords_test.h"
#include "winapi/winapi.h"

namespace svchost_test {
namespace {

std::vector<nlohmann::json> AllRecords() {
  std::string root(LarkGetMachineRootA(0, nullptr), '\0');
  root.resize(LarkGetMachineRootA(static_cast<DWORD>(root.size()), root.data()));
  std::ifstream file(root + "/eventlog/Application.jsonl");
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(file, line);) records.push_back(nlohmann::json::parse(line));
  return records;
}

}  // namespace

EventLogRecords::EventLogRecords() : start_(AllRecords().size()) {}

std::vector<nlohmann::json> EventLogRecords::Added(const std::string& source) const {
  std::vector<nlohmann::json> added;
  auto records = AllRecords();
  for (size_t i = start_; i < records.size(); ++i) {
    if (records[i]["source"] == source) added.push_back(records[i]);
  }
  return added;
}

}  // namespace svchost_test
