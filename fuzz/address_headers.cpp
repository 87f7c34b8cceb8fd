// Address parsing and the header look-ups over any header text: a parse either fills both
// fields within their bounds or refuses a "<" without a later ">" and changes nothing, and the
// look-ups end with values in their bounds and lists with the fields they were told to drop gone.
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "maillib/Headers.h"
#include "maillib/MailAddress.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kBound = rtl::kShortStringLength;

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() &&
         rtl::UpperCase(line.substr(0, prefix.size())) == rtl::UpperCase(prefix);
}

bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

void CheckAddress(std::string_view text) {
  maillib::TmsMailAddress target;
  target.Name = "untouched name";
  target.Address = "untouched@example.org";
  size_t open = text.find('<'), close = text.find('>');
  bool unmatched =
      open != std::string_view::npos && (close == std::string_view::npos || close < open);
  try {
    maillib::ParseAddress(text, target);
  } catch (const rtl::Exception& e) {
    FUZZ_CHECK(e.Message() == "Unable to parse email address",
               "ParseAddress raised " + e.Message());
    FUZZ_CHECK(unmatched, "ParseAddress refused " + fuzz::Shown(text));
    FUZZ_CHECK(target.Name == "untouched name" && target.Address == "untouched@example.org",
               "a refused parse changed the target");
    return;
  }
  FUZZ_CHECK(!unmatched, "ParseAddress took a '<' without a later '>': " + fuzz::Shown(text));
  FUZZ_CHECK(target.Name.size() <= kBound && target.Address.size() <= kBound,
             "a parsed field is longer than 255 characters");
  if (open == std::string_view::npos && text.find('(') == std::string_view::npos) {
    FUZZ_CHECK(target.Address == rtl::BoundedString(text) && target.Name.empty(),
               "a bare address was not taken as it stands: " + fuzz::Shown(text));
  }
  // A name cut to 255 characters may end anywhere, a quote included.
  std::string unquoted = maillib::Unquote(text);
  for (const std::string& field :
       {target.Name.size() < kBound ? target.Name.str() : "", unquoted}) {
    FUZZ_CHECK(field.empty() || (field.front() != '"' && field.back() != '"'),
               "a quote was left around " + fuzz::Shown(field));
  }
}

void CheckHeaders(const std::string& text, const std::string& name) {
  maillib::TmsHeaders headers;
  headers.SetText(text);
  for (std::string_view field : {std::string_view("From"), std::string_view("Subject"),
                                 std::string_view("Date"), std::string_view(name)}) {
    std::string value = headers.GetFieldValue(field);
    std::string upper = rtl::UpperCase(field);
    bool unbounded = upper == "CONTENT-TYPE" || upper == "X-UIDL" || upper == "REFERENCES" ||
                     upper == "CONTENT-TYPE:" || upper == "X-UIDL:" || upper == "REFERENCES:";
    FUZZ_CHECK(unbounded || value.size() <= kBound,
               "GetFieldValue(" + fuzz::Shown(field) + ") is longer than 255 characters");
    rtl::TStringList items;
    headers.GetFieldValues(field, items);
  }
  std::string type = headers.GetFieldValue("Content-Type");
  for (std::string_view param :
       {std::string_view("boundary"), std::string_view("charset"), std::string_view(name)}) {
    std::string value = maillib::GetHeaderParam(param, type);
    FUZZ_CHECK(value.empty() || (!Blank(value.front()) && !Blank(value.back())),
               "GetHeaderParam left blanks around " + fuzz::Shown(value));
  }
  std::string token = maillib::FirstToken(type);
  FUZZ_CHECK(token.find_first_of(" ;") == std::string::npos,
             "FirstToken kept a separator: " + fuzz::Shown(token));

  int before = headers.Count();
  headers.RemoveField(name);
  FUZZ_CHECK(headers.Count() <= before, "RemoveField added lines");
  headers.RemoveXFields();
  for (const std::string& line : headers) {
    FUZZ_CHECK(!StartsWithNoCase(line, "X-"), "RemoveXFields left " + fuzz::Shown(line));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::SplitInput(data, size, 3);
  CheckAddress(parts[0]);
  CheckHeaders(parts[1], parts[2]);
  return 0;
}
