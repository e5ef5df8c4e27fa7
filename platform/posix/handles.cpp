// Handle values for the objects this layer hands out: ports, registry keys and movable
// memory blocks.
//
// Contract kept from Windows: a handle is an opaque value that is never null and never
// INVALID_HANDLE_VALUE; a handle that was closed or freed, or that belongs to another
// kind of object, is refused (the callers answer ERROR_INVALID_HANDLE) rather than
// followed. Values are (slot + 1) * 16 + kind * 4, so they are small, positive and
// aligned like Windows' own.
// A signal handler may look through the table (VisitHandles): it changes only with the
// ending signals held.
#include <cstdint>
#include <cstdlib>
#include <pthread.h>

#include "posix.h"

struct HandleSlot {
  HandleKind kind;  // 0 when free
  void* object;
};

static pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
static HandleSlot* slots = nullptr;
static size_t slotCount = 0;

#define MAX_HANDLE_SLOTS (1u << 20)

static void* HandleValue(size_t slot, HandleKind kind) {
  return (void*)(uintptr_t)((slot + 1) * 16 + (uintptr_t)kind * 4);
}

// The slot a value names, or slotCount when it names none of that kind.
static size_t SlotOf(HandleKind kind, const void* handle) {
  uintptr_t value = (uintptr_t)handle;
  if (value < 16 || value % 16 != (uintptr_t)kind * 4) return slotCount;
  size_t slot = value / 16 - 1;
  if (slot >= slotCount || slots[slot].kind != kind) return slotCount;
  return slot;
}

void* NewHandle(HandleKind kind, void* object) {
  sigset_t saved;
  HoldSignals(&saved);
  pthread_mutex_lock(&tableLock);
  size_t slot = 0;
  while (slot < slotCount && slots[slot].kind != 0) ++slot;
  if (slot == slotCount) {
    size_t grown = slotCount == 0 ? 16 : slotCount * 2;
    HandleSlot* larger =
        grown <= MAX_HANDLE_SLOTS ? (HandleSlot*)realloc(slots, grown * sizeof *slots) : nullptr;
    if (larger == nullptr) {
      pthread_mutex_unlock(&tableLock);
      ReleaseSignals(&saved);
      return nullptr;
    }
    for (size_t i = slotCount; i < grown; ++i) larger[i].kind = (HandleKind)0;
    slots = larger;
    slotCount = grown;
  }
  slots[slot].kind = kind;
  slots[slot].object = object;
  pthread_mutex_unlock(&tableLock);
  ReleaseSignals(&saved);
  return HandleValue(slot, kind);
}

void* HandleObject(HandleKind kind, const void* handle) {
  pthread_mutex_lock(&tableLock);
  size_t slot = SlotOf(kind, handle);
  void* object = slot < slotCount ? slots[slot].object : nullptr;
  pthread_mutex_unlock(&tableLock);
  return object;
}

void* ReleaseHandle(HandleKind kind, const void* handle) {
  sigset_t saved;
  HoldSignals(&saved);
  pthread_mutex_lock(&tableLock);
  size_t slot = SlotOf(kind, handle);
  void* object = nullptr;
  if (slot < slotCount) {
    object = slots[slot].object;
    slots[slot].kind = (HandleKind)0;
    slots[slot].object = nullptr;
  }
  pthread_mutex_unlock(&tableLock);
  ReleaseSignals(&saved);
  return object;
}

void VisitHandles(HandleKind kind, void (*visit)(void* object)) {
  for (size_t slot = 0; slot < slotCount; ++slot) {
    if (slots[slot].kind == kind) visit(slots[slot].object);
  }
}
