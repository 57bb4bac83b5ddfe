#include <optional>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UserValue.h"

namespace dralmin {

std::string UserValueLocation(const std::string& key, const std::string& name) {
  return ConfigHome() + "/" + key + "/" + name;
}

std::string ReadUserValue(const std::string& key, const std::string& name, std::size_t limit) {
  const std::optional<std::string> content = ReadFileWhole(UserValueLocation(key, name));
  if (!content) return {};
  std::string text = content->substr(0, content->find('\0'));
  if (text.size() + 1 > limit) return {};
  return text;
}

bool WriteUserValue(const std::string& key, const std::string& name, const std::string& value) {
  const std::string path = UserValueLocation(key, name);
  if (!MakeFolders(FolderOf(path))) return false;
  return WriteFileWhole(path, value) == WriteFailure::kNone;
}

void RemoveUserValue(const std::string& key, const std::string& name) {
  RemoveFile(UserValueLocation(key, name));
}

}  // namespace dralmin
