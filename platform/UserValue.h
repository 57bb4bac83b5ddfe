#pragma once

#include <cstddef>
#include <string>

namespace dralmin {

// A short text kept for this user under a maker's key, such as ("Veltrana", "CertVersion"): on
// Windows the REG_SZ value `name` of the key HKEY_CURRENT_USER\SOFTWARE\<key>, elsewhere the file
// <ConfigHome>/<key>/<name>.

// The stored text up to its first NUL; empty when there is none, or when it does not fit in a
// buffer of `limit` bytes (the terminating NUL included).
std::string ReadUserValue(const std::string& key, const std::string& name, std::size_t limit);

// Stores the text; false when it could not be stored.
bool WriteUserValue(const std::string& key, const std::string& name, const std::string& value);

// Removes the value; a missing one is no error.
void RemoveUserValue(const std::string& key, const std::string& name);

// Where the value is kept, for messages.
std::string UserValueLocation(const std::string& key, const std::string& name);

}  // namespace dralmin
