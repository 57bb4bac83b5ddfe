#include <windows.h>

#include "platform/MemoryHandle.h"

namespace dralmin {

// Global memory, as image sources and their manager hand it over on this system.

MemoryHandle AllocateMemory(std::size_t size) {
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
}

void FreeMemory(MemoryHandle handle) {
  if (handle != nullptr) GlobalFree(handle);
}

void* LockMemory(MemoryHandle handle) {
  return handle == nullptr ? nullptr : GlobalLock(handle);
}

void UnlockMemory(MemoryHandle handle) {
  if (handle != nullptr) GlobalUnlock(handle);
}

std::size_t MemorySize(MemoryHandle handle) {
  return handle == nullptr ? 0 : GlobalSize(handle);
}

}  // namespace dralmin
