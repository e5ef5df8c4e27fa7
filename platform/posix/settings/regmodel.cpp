// The settings store in memory: keys with typed values, each found through a hash index
// so that reading a store with tens of thousands of keys or values stays linear.
//
// Contract: names compare as the registry compares them, without regard to ASCII case.
// The store's keyIndex finds a key's own section; its levelIndex holds every level of
// every section above its own (a prefix of the section's path), so that a key above a
// section exists.
#include <cstdlib>
#include <cstring>

#include "settings/regstore.h"

// ---- The index ------------------------------------------------------------------------

typedef const char* (*NameAt)(const void* owner, int position);

static unsigned char Fold(char c) {
  return (unsigned char)(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

static unsigned HashName(const char* name, size_t length) {
  unsigned hash = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < length; ++i) hash = (hash ^ Fold(name[i])) * 16777619u;
  // FNV's low bits, which pick the slot, hardly depend on the high bits of the bytes
  // ("k1", "k2", ... cluster): mix the high bits down (MurmurHash3's finaliser).
  hash ^= hash >> 16;
  hash *= 0x85ebca6bu;
  hash ^= hash >> 13;
  hash *= 0xc2b2ae35u;
  return hash ^ (hash >> 16);
}

static bool SameName(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The position of the name's first length characters, or -1.
static int FindName(const NameIndex* index, const char* name, size_t length, const void* owner,
                    NameAt nameAt) {
  if (index->capacity == 0) return -1;
  unsigned hash = HashName(name, length);
  for (unsigned i = hash & (index->capacity - 1);; i = (i + 1) & (index->capacity - 1)) {
    const NameSlot* slot = &index->slots[i];
    if (slot->position == 0) return -1;
    if (slot->hash == hash && slot->length == length &&
        SameName(nameAt(owner, slot->position - 1), name, length)) {
      return slot->position - 1;
    }
  }
}

static void PlaceSlot(NameIndex* index, NameSlot slot) {
  unsigned i = slot.hash & (index->capacity - 1);
  while (index->slots[i].position != 0) i = (i + 1) & (index->capacity - 1);
  index->slots[i] = slot;
  ++index->used;
}

// Adds the first length characters of name, found at position. False when memory runs out.
static bool AddName(NameIndex* index, int position, const char* name, size_t length) {
  if ((index->used + 1) * 4 > index->capacity * 3) {  // at most three quarters full
    NameIndex grown = {};
    grown.capacity = index->capacity ? index->capacity * 2 : 16;
    grown.slots = (NameSlot*)calloc(grown.capacity, sizeof *grown.slots);
    if (grown.slots == nullptr) return false;
    for (unsigned i = 0; i < index->capacity; ++i) {
      if (index->slots[i].position != 0) PlaceSlot(&grown, index->slots[i]);
    }
    free(index->slots);
    *index = grown;
  }
  PlaceSlot(index, NameSlot{HashName(name, length), position + 1, (unsigned)length});
  return true;
}

// An empty index with room for count names without growing. False when memory runs out.
static bool ReserveIndex(NameIndex* index, unsigned count) {
  unsigned capacity = 16;
  while (capacity * 3 < count * 4 + 4) capacity *= 2;
  index->slots = (NameSlot*)calloc(capacity, sizeof *index->slots);
  index->capacity = index->slots != nullptr ? capacity : 0;
  return index->slots != nullptr;
}

static void FreeIndex(NameIndex* index) {
  free(index->slots);
  *index = NameIndex{};
}

static const char* KeyPathAt(const void* owner, int position) {
  return ((const RegStore*)owner)->keys[position].path;
}

static const char* ValueNameAt(const void* owner, int position) {
  return ((const RegKeyEntry*)owner)->values[position].name;
}

// Room for one more element in an array that doubles as it grows.
static bool MakeRoom(void** array, int count, int* capacity, size_t size) {
  if (count < *capacity) return true;
  int grown = *capacity ? *capacity * 2 : 4;
  void* larger = realloc(*array, (size_t)grown * size);
  if (larger == nullptr) return false;
  *array = larger;
  *capacity = grown;
  return true;
}

// ---- The model ------------------------------------------------------------------------

void FreeKeyEntry(RegKeyEntry* key) {
  for (int v = 0; v < key->valueCount; ++v) {
    free(key->values[v].name);
    free(key->values[v].data);
  }
  free(key->values);
  free(key->path);
  FreeIndex(&key->valueIndex);
  *key = RegKeyEntry{};
}

void FreeStore(RegStore* store) {
  for (int k = 0; k < store->keyCount; ++k) FreeKeyEntry(&store->keys[k]);
  free(store->keys);
  FreeIndex(&store->keyIndex);
  FreeIndex(&store->levelIndex);
  *store = RegStore{};
}

bool ReserveKeys(RegStore* store, int count) {
  if (store->keyCount > 0 || count <= 0) return true;
  store->keys = (RegKeyEntry*)malloc((size_t)count * sizeof *store->keys);
  store->keyCapacity = store->keys != nullptr ? count : 0;
  return store->keys != nullptr && ReserveIndex(&store->keyIndex, (unsigned)count);
}

bool IsValidKeyPath(const char* path) {
  size_t level = 0;
  for (const char* c = path;; ++c) {
    if (*c == '\\' || *c == '\0') {
      if (level == 0 || level > REG_NAME_MAX) return false;
      if (*c == '\0') return true;
      level = 0;
    } else if ((unsigned char)*c < 0x20) {
      return false;
    } else {
      ++level;
    }
  }
}

bool KeyExists(const RegStore* store, const char* path) {
  size_t length = strlen(path);
  return length == 0 || FindName(&store->keyIndex, path, length, store, KeyPathAt) >= 0 ||
         FindName(&store->levelIndex, path, length, store, KeyPathAt) >= 0;
}

RegKeyEntry* KeyEntry(RegStore* store, const char* path, bool add) {
  size_t length = strlen(path);
  int found = FindName(&store->keyIndex, path, length, store, KeyPathAt);
  if (found >= 0) return &store->keys[found];
  if (!add || !MakeRoom((void**)&store->keys, store->keyCount, &store->keyCapacity,
                        sizeof *store->keys)) {
    return nullptr;
  }
  int position = store->keyCount;
  RegKeyEntry* key = &store->keys[position];
  *key = RegKeyEntry{};
  key->path = strdup(path);
  if (key->path == nullptr || !AddName(&store->keyIndex, position, path, length)) {
    free(key->path);
    return nullptr;
  }
  ++store->keyCount;
  // Each level above the key now exists. A failure here leaves the store fit only for
  // FreeStore, as every caller treats it.
  for (size_t i = 1; i < length; ++i) {
    if (path[i] == '\\' &&
        FindName(&store->levelIndex, path, i, store, KeyPathAt) < 0 &&
        !AddName(&store->levelIndex, position, path, i)) {
      return nullptr;
    }
  }
  return key;
}

RegValue* FindValue(RegKeyEntry* key, const char* name) {
  int found = FindName(&key->valueIndex, name, strlen(name), key, ValueNameAt);
  return found >= 0 ? &key->values[found] : nullptr;
}

DWORD SetValue(RegKeyEntry* key, const char* name, DWORD type, const BYTE* data, DWORD size) {
  BYTE* copy = (BYTE*)malloc(size > 0 ? size : 1);
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (size > 0) memcpy(copy, data, size);
  RegValue* value = FindValue(key, name);
  if (value == nullptr) {
    char* nameCopy = strdup(name);
    if (nameCopy == nullptr ||
        !MakeRoom((void**)&key->values, key->valueCount, &key->valueCapacity,
                  sizeof *key->values) ||
        !AddName(&key->valueIndex, key->valueCount, name, strlen(name))) {
      free(nameCopy);
      free(copy);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    value = &key->values[key->valueCount++];
    value->name = nameCopy;
    value->data = nullptr;
  }
  free(value->data);
  value->type = type;
  value->data = copy;
  value->size = size;
  return 0;
}
