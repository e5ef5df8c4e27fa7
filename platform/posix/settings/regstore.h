// The settings store behind the registry functions: one human-readable file per user,
// kept in memory as keys with typed values.
#ifndef QUILLET_PLATFORM_POSIX_REGSTORE_H
#define QUILLET_PLATFORM_POSIX_REGSTORE_H

#include <sys/stat.h>

#include <cstddef>

#include "posix.h"

#define REG_STORE_FILE "user.reg"
#define REG_NAME_MAX 255     // a key name (one level) or a value name
#define REG_PATH_MAX 1024    // a key's whole path below the root
#define REG_DATA_MAX 65536   // one value's data
#define REG_FILE_MAX (1 << 20)
#define REG_SZ 1
#define REG_BINARY 3
#define STORE_HEADER "REGEDIT4"
#define ROOT_NAME "HKEY_CURRENT_USER"

struct RegValue {
  char* name;  // "" for the key's default value
  DWORD type;
  BYTE* data;
  DWORD size;
};

// A hash index over names held elsewhere (regmodel.cpp): a slot holds the position of a
// name in its owner's array plus one (0: a free slot) and how much of that name counts.
struct NameSlot {
  unsigned hash;
  int position;
  unsigned length;
};

struct NameIndex {
  NameSlot* slots;
  unsigned capacity;  // 0 or a power of two
  unsigned used;
};

// All-zero is an empty entry or store.
struct RegKeyEntry {
  char* path;  // below the root, levels joined by '\'; "" is the root
  RegValue* values;
  int valueCount;
  int valueCapacity;
  NameIndex valueIndex;
};

struct RegStore {
  RegKeyEntry* keys;
  int keyCount;
  int keyCapacity;
  NameIndex keyIndex;    // each key's own section
  NameIndex levelIndex;  // every level above each section
};

// Reads the store (regparse.cpp); a missing file is an empty store. ERROR_BADDB when the file is
// damaged or is no regular file (a FIFO, a device: never opened, never waited on);
// ERROR_ACCESS_DENIED when it is not the user's own (StoreTarget); other failures as
// their own codes. On failure the store is empty. seen, when given, receives
// the file's status (st_ino 0 when there is no file).
DWORD LoadStore(RegStore* store, struct stat* seen = nullptr);
// Parses text (length bytes) into store. 0 or ERROR_BADDB.
DWORD ParseStore(const char* text, size_t length, RegStore* store);
void FreeStore(RegStore* store);
// Frees what key holds (not key itself) and leaves it empty.
void FreeKeyEntry(RegKeyEntry* key);

// Serialises writers: creates the folder and takes the store's lock, a regular file of
// the user's own (never followed if a link). Returns 0 and the lock in *lock, or an error
// code.
DWORD LockStore(int* lock);
void UnlockStore(int lock);
// The file that holds the store's text, as folder and name (each QUILLET_PATH_SIZE
// bytes): user.reg itself, or for a symbolic link the file at the end of its chain (a
// dotfile manager's link into its repository). The link and the folder it leads to must
// pass the own-files rule (ERROR_ACCESS_DENIED); a link that leads nowhere is
// ERROR_FILE_NOT_FOUND. The file itself is checked where it is opened.
DWORD StoreTarget(char* folder, char* name);
// Replaces the file with store: temporary file, fsync, rename, fsync of the folder. When
// the store is a symbolic link, the file at the end of its chain is replaced in its own
// folder and the link stays; a link that leads nowhere is an error and nothing is written.
DWORD SaveStore(const RegStore* store);

// The store as it is now (regcache.cpp): the one this process read before while the file
// is unchanged, else read afresh. The caller may change it only to save it at once, and
// calls ForgetStore after any change, saved or not.
DWORD CurrentStore(RegStore** store);
void ForgetStore(void);

// Room for count keys in an empty store, so that adding them never grows it (regmodel.cpp).
// False when memory runs out.
bool ReserveKeys(RegStore* store, int count);
// Levels joined by '\', each of 1 to REG_NAME_MAX characters without control characters.
bool IsValidKeyPath(const char* path);
// True for the root, a key with a section of its own, or any key above one.
bool KeyExists(const RegStore* store, const char* path);
// The key's own entry, added (empty) when missing; null when memory runs out.
RegKeyEntry* KeyEntry(RegStore* store, const char* path, bool add);
RegValue* FindValue(RegKeyEntry* key, const char* name);
// Stores a copy of data as the value name. 0 or ERROR_NOT_ENOUGH_MEMORY.
DWORD SetValue(RegKeyEntry* key, const char* name, DWORD type, const BYTE* data, DWORD size);

#endif  // QUILLET_PLATFORM_POSIX_REGSTORE_H
