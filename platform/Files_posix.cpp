#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Files.h"

namespace dralmin {

int CreateFileBeside(const std::string& path, std::string& temporary) {
  temporary = path + ".XXXXXX";
  return mkostemp(temporary.data(), O_CLOEXEC);
}

bool SyncFile(int fd) {
  return fsync(fd) == 0;
}

bool PutInPlace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const std::string& path) {
  unlink(path.c_str());
}

}  // namespace dralmin
