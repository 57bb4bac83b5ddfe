#pragma once

#include <cstddef>

namespace dralmin {

// A movable memory block of the kind image sources and their callers hand each other: it is
// locked to be read and freed by whichever party the protocol names. On this platform a handle
// is the block's own address, allocated and freed as the scanner manager's memory entry points
// do (calloc and free), so blocks from either side can be released by the other.
using MemoryHandle = void*;

// A zero-filled block of `size` bytes, or nullptr when memory is short.
MemoryHandle AllocateMemory(std::size_t size);

// Releases the block; a null handle is ignored.
void FreeMemory(MemoryHandle handle);

// The block's first byte, valid until UnlockMemory; nullptr for a null handle.
void* LockMemory(MemoryHandle handle);
void UnlockMemory(MemoryHandle handle);

// How many bytes of the block may be read (at least the size it was allocated with); 0 for a
// null handle.
std::size_t MemorySize(MemoryHandle handle);

}  // namespace dralmin
