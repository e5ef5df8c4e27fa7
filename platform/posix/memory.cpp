// Movable global memory on Linux: the blocks in which text travels between the programs
// and the clipboard.
//
// Contract kept from Windows (GMEM_MOVEABLE blocks, the one kind the programs use):
// - GlobalAlloc returns a handle, not an address; the block's lock count starts at 0.
//   A block of 0 bytes is allocated as discarded: GlobalLock gives null for it. Flags
//   other than GMEM_MOVEABLE: null, ERROR_INVALID_PARAMETER.
// - GlobalLock raises the lock count and returns the block's address, the same address
//   for as long as the block lives.
// - GlobalUnlock lowers it: non-zero while the block stays locked; 0 with last error
//   NO_ERROR when the count reaches 0; 0 with ERROR_NOT_LOCKED when it was not locked.
// - GlobalFree frees the block even when locked and returns null; an unknown handle is
//   returned unchanged with ERROR_INVALID_HANDLE. GlobalFree(null) returns null.
// - A handle that was freed is never followed: every call refuses it with
//   ERROR_INVALID_HANDLE.
#include <cstdlib>

#include "posix.h"

struct MemoryBlock {
  void* data;  // null for a discarded (0-byte) block
  SIZE_T size;
  unsigned lockCount;
};

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (uFlags != GMEM_MOVEABLE) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  MemoryBlock* block = (MemoryBlock*)malloc(sizeof *block);
  void* data = dwBytes > 0 ? malloc(dwBytes) : nullptr;
  HGLOBAL handle = nullptr;
  if (block != nullptr && (data != nullptr || dwBytes == 0)) {
    block->data = data;
    block->size = dwBytes;
    block->lockCount = 0;
    handle = NewHandle(HANDLE_KIND_MEMORY, block);
  }
  if (handle == nullptr) {
    free(data);
    free(block);
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  MemoryBlock* block = (MemoryBlock*)HandleObject(HANDLE_KIND_MEMORY, hMem);
  if (block == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (block->data == nullptr) {
    SetLastErrorCode(ERROR_DISCARDED);
    return nullptr;
  }
  ++block->lockCount;
  return block->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  MemoryBlock* block = (MemoryBlock*)HandleObject(HANDLE_KIND_MEMORY, hMem);
  if (block == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (block->lockCount == 0) {
    SetLastErrorCode(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--block->lockCount > 0) return TRUE;
  SetLastErrorCode(ERROR_SUCCESS);
  return FALSE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  MemoryBlock* block = (MemoryBlock*)ReleaseHandle(HANDLE_KIND_MEMORY, hMem);
  if (block == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return hMem;
  }
  free(block->data);
  free(block);
  return nullptr;
}
