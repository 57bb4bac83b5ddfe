#include <fstream>
#include <iterator>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UserValue.h"

namespace dralmin {

std::string UserValueLocation(const std::string& key, const std::string& name) {
  return ConfigHome() + "/" + key + "/" + name;
}

std::string ReadUserValue(const std::string& key, const std::string& name, std::size_t limit) {
  std::ifstream file(UserValueLocation(key, name), std::ios::binary);
  if (!file) return {};
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  text = text.substr(0, text.find('\0'));
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
