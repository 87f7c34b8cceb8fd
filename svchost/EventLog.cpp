// TEventLog: entries of the service's event source, and the source's entry in the registry that
// tells an event viewer which program holds the texts.
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "svchost/NTObj.h"

namespace svchost {
namespace {

struct KindEntry {
  DWORD id;
  WORD type;
};

// The program's message table holds "%1\r\n" under each of these identifiers.
constexpr KindEntry kKinds[] = {
    {0x00000104, EVENTLOG_SUCCESS},      {0x40000101, EVENTLOG_INFORMATION_TYPE},
    {0x80000102, EVENTLOG_WARNING_TYPE}, {0xC0000103, EVENTLOG_ERROR_TYPE},
    {0xC0000100, EVENTLOG_ERROR_TYPE},
};

}  // namespace

DWORD TEventLog::EventId(EventKind kind) { return kKinds[kind].id; }
WORD TEventLog::EventType(EventKind kind) { return kKinds[kind].type; }

void TEventLog::Write(EventKind kind, const std::string& text) const {
  HANDLE source = RegisterEventSourceA(nullptr, sourceName_.c_str());
  if (source == nullptr) return;
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EventType(kind), 0, EventId(kind), nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool TEventLog::RegisterSource(const std::string& messageFile) const {
  TExpandRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  registry.OpenKey(std::string(kSourcesKey) + sourceName_, true);
  registry.WriteExpandString("EventMessageFile", messageFile);
  registry.WriteInteger("TypesSupported", 7);
  return true;
}

bool TEventLog::UnregisterSource() const {
  TExpandRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  return registry.DeleteKey(std::string(kSourcesKey) + sourceName_);
}

}  // namespace svchost
