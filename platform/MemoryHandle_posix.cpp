#include "platform/MemoryHandle.h"

#include <malloc.h>

#include <cstdlib>

namespace dralmin {

MemoryHandle AllocateMemory(std::size_t size) {
  // calloc(0) may answer null, which would read as "out of memory".
  return std::calloc(size == 0 ? 1 : size, 1);
}

void FreeMemory(MemoryHandle handle) {
  std::free(handle);
}

void* LockMemory(MemoryHandle handle) {
  return handle;
}

void UnlockMemory(MemoryHandle) {}

std::size_t MemorySize(MemoryHandle handle) {
  return handle == nullptr ? 0 : malloc_usable_size(handle);
}

}  // namespace dralmin
