// The parameters of received MIME header values (RFC 2045 syntax with RFC 2231 extended and
// continued values) and the file names parts carry, decoded and kept clear of the names the
// composer gives a meaning of its own.
#pragma once

#include <string>
#include <string_view>

namespace maillib {

// The value of a parameter of a Content-Type or Content-Disposition value, matched by its whole
// name (case ignored); quoted strings unquoted, extended and continued values joined and
// percent-decoded. Empty when there is none.
std::string ParameterValue(std::string_view headerValue, std::string_view name);
// The file name of a received part: the Content-Type "name", else the Content-Disposition
// "filename", with encoded words decoded and a special name renamed.
std::string PartFileName(std::string_view contentType, std::string_view disposition);
// A name the composer would read as an alternative or a message body ("_alt." and so on) loses
// its leading underscore, so a received attachment stays an attachment.
std::string IncomingName(std::string_view name);

}  // namespace maillib
