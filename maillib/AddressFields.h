// The addresses of received header fields, read from the raw text: lists split outside quoted
// strings, comments and angle brackets, and only display names decoded, so that an encoded
// word can never become an address.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "maillib/Headers.h"
#include "maillib/MailAddress.h"

namespace maillib {

// The items of an address list; empty items and group labels ("team:" and the closing ";") are
// skipped, the members of a group kept.
std::vector<std::string> SplitAddressList(std::string_view text);
// Fills target from one raw item, as ParseAddress does, with the display name unquoted and
// decoded. Raises "Unable to parse email address" for a "<" without a later ">", leaving target
// unchanged.
void ParseRawAddress(std::string_view text, TmsMailAddress& target);
// Every address of every field of exactly that name, appended to list.
void AddFieldAddresses(const TmsHeaders& headers, std::string_view name, TmsAddressList& list);

}  // namespace maillib
