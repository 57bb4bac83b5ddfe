#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// The value of parameter `name` (case-insensitive) of a header value such as
// `multipart/form-data; boundary="x y"`, unquoted; nullopt when absent or malformed.
std::optional<std::string> HeaderParameter(std::string_view headerValue, std::string_view name);

// The boundary of a multipart Content-Type; nullopt when it has none or it is empty.
std::optional<std::string> BoundaryOf(std::string_view contentType);

// The content of the first part of a multipart/form-data body whose Content-Disposition names
// the field print_xml: exactly the bytes between the blank line after the part's headers and the
// next delimiter, or the end of the body when no delimiter follows. Nullopt when there is no such
// part or the body ends within its headers.
std::optional<std::string_view> ExtractPrintXml(std::string_view body, std::string_view boundary);

}  // namespace dralmin
