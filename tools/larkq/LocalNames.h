// What a local name means to sendmail here. Cron, mdadm and logwatch write to and from bare
// names ("root"); a relay takes only whole addresses, so a bare name is qualified with the
// default domain, and when an admin address is set, every recipient that is a bare name or at one
// of the host's own names goes to it, so such mail reaches a person.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larkq {

class TLocalNames {
 public:
  TLocalNames(std::string domain, std::string adminAddress, std::vector<std::string> hostNames);
  // From the DefaultDomain and AdminAddress settings (loaded already) and the host's names: its
  // fully qualified name (also the domain when DefaultDomain is empty), its short name and
  // localhost.
  static TLocalNames FromSettings();

  const std::string& Domain() const { return domain_; }
  const std::string& AdminAddress() const { return admin_; }
  // A bare name with "@" and the domain; any other address as it is.
  std::string Qualified(std::string_view address) const;
  // Where mail for the address goes: the admin address for a bare name or a host's own name
  // when one is set, else the qualified address.
  std::string Recipient(std::string_view address) const;
  // The raw value of an address field (From, To...) with every bare name in it qualified and
  // nothing else changed: "root (Cron Daemon)" or "mdadm <root>" gain "@" and the domain, which
  // readers and relays need to see an address at all.
  std::string QualifiedField(std::string_view value) const;

 private:
  std::string domain_;
  std::string admin_;
  std::vector<std::string> hostNames_;  // upper-cased
};

}  // namespace larkq
