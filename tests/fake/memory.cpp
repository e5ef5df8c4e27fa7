// Movable global memory: handles that are not pointers, lock counts, a live count, by the
// rules of the contract cases (tests/contract). Stricter than Windows: a block freed while
// locked, unlocked when not locked, written past its end, or owned by the clipboard when
// the program frees it is a violation.
#include "internal.h"

namespace fake {

namespace {
const size_t GUARD = 8;
struct Block {
  std::vector<char> bytes;  // size bytes, then GUARD guard bytes
  size_t size;
  int locks;
  bool freed;
  bool clipboards;
};
std::vector<Block> blocks;

Block* Find(HGLOBAL handle, const char* who) {
  size_t index = (uintptr_t)handle - 0x30000;
  if (index < blocks.size() && !blocks[index].freed) return &blocks[index];
  Violation(Format("%s: block %p not allocated", who, handle));
  return nullptr;
}

bool GuardIntact(const Block& block) {
  for (size_t i = 0; i < GUARD; ++i) {
    if ((unsigned char)block.bytes[block.size + i] != 0xFD) return false;
  }
  return true;
}
}  // namespace

void ResetMemory() { blocks.clear(); }

HGLOBAL NewBlock(const std::string& bytes, bool clipboards) {
  Block block{std::vector<char>(bytes.size() + GUARD, (char)0xFD), bytes.size(), 0, false,
              clipboards};
  std::copy(bytes.begin(), bytes.end(), block.bytes.begin());
  blocks.push_back(block);
  return (HGLOBAL)(uintptr_t)(0x30000 + blocks.size() - 1);
}

bool IsBlock(HGLOBAL handle) {
  size_t index = (uintptr_t)handle - 0x30000;
  return index < blocks.size() && !blocks[index].freed;
}

void GiveToClipboard(HGLOBAL handle, bool clipboards) {
  if (Block* block = Find(handle, "clipboard")) block->clipboards = clipboards;
}

void FreeBlock(HGLOBAL handle, const char* who) {
  Block* block = Find(handle, who);
  if (block == nullptr) return;
  if (block->locks > 0) Violation(Format("%s: block %s freed while locked", who, BlockName(handle).c_str()));
  if (!GuardIntact(*block)) Violation(Format("%s: block %s overrun", who, BlockName(handle).c_str()));
  std::fill(block->bytes.begin(), block->bytes.begin() + block->size, (char)0xDD);
  block->freed = true;
}

std::string BlockBytes(HGLOBAL handle) {
  size_t index = (uintptr_t)handle - 0x30000;
  if (index >= blocks.size()) return "";
  return std::string(blocks[index].bytes.data(), blocks[index].size);
}

int BlockLocks(HGLOBAL handle) { return IsBlock(handle) ? blocks[(uintptr_t)handle - 0x30000].locks : 0; }

std::string BlockName(HGLOBAL handle) {
  return Format("#%lu", (unsigned long)((uintptr_t)handle - 0x30000));
}

int LiveBlocks() {
  int live = 0;
  for (const Block& block : blocks) live += !block.freed && !block.clipboards;
  return live;
}

int LockedBlocks() {
  int locked = 0;
  for (const Block& block : blocks) locked += !block.freed && block.locks > 0;
  return locked;
}

}  // namespace fake

using namespace fake;

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (DWORD code = Enter("GlobalAlloc", "0x%X, %zu", uFlags, dwBytes))
    return SetError(code), nullptr;
  if (uFlags != GMEM_MOVEABLE) Violation(Format("GlobalAlloc: flags 0x%X", uFlags));
  return NewBlock(std::string(dwBytes, (char)0xCD), false);
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  if (DWORD code = Enter("GlobalLock", "%s", BlockName(hMem).c_str()))
    return SetError(code), nullptr;
  Block* block = Find(hMem, "GlobalLock");
  if (block == nullptr) return SetError(ERROR_INVALID_HANDLE), nullptr;
  if (block->size == 0) return SetError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
  ++block->locks;
  return block->bytes.data();
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  DWORD fail = Enter("GlobalUnlock", "%s", BlockName(hMem).c_str());
  Block* block = Find(hMem, "GlobalUnlock");
  if (block == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  if (block->locks == 0) {
    Violation("GlobalUnlock: block " + BlockName(hMem) + " not locked");
    return SetError(ERROR_NOT_LOCKED), FALSE;
  }
  --block->locks;
  if (fail) return SetError(fail), FALSE;
  if (block->locks == 0) SetError(0);
  return block->locks > 0;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  DWORD fail = Enter("GlobalFree", "%s", BlockName(hMem).c_str());
  Block* block = Find(hMem, "GlobalFree");
  if (block == nullptr) return SetError(ERROR_INVALID_HANDLE), hMem;
  if (block->clipboards) Violation("GlobalFree: block " + BlockName(hMem) + " is the clipboard's");
  FreeBlock(hMem, "GlobalFree");
  return fail ? (SetError(fail), hMem) : nullptr;
}

}  // extern "C"
