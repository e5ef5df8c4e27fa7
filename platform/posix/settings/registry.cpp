// The registry functions on Linux, over the per-user settings store (regstore.cpp).
//
// Contract kept from Windows:
// - RegOpenCurrentUser opens the user's root; it fails with ERROR_PATH_NOT_FOUND or
//   ERROR_ACCESS_DENIED when the folder of the store cannot be reached (it need not
//   exist yet: the first write creates it).
// - RegOpenKeyExA: a missing key is ERROR_FILE_NOT_FOUND. RegCreateKeyExA creates every
//   missing level and reports REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
// - RegQueryValueExA: a missing value is ERROR_FILE_NOT_FOUND; a value larger than the
//   caller's buffer is ERROR_MORE_DATA with the size needed in *lpcbData (and nothing
//   promised about the buffer); without a buffer it reports type and size only.
// - RegSetValueExA stores the bytes and type as given. One difference, so that a setting
//   of several values is never half-written: the values set through a handle reach the
//   store together when RegCloseKey closes it, in one atomic replace under the writers'
//   lock (a failure then is RegCloseKey's result). Until then they are read back through
//   that handle only; a process killed before the close leaves the store as it was.
// - A key that was removed from the store meanwhile answers ERROR_KEY_DELETED; a
//   damaged store answers ERROR_BADDB and is left as it is.
// - Paths may name several levels at once ("a\b"); names are at most 255 characters
//   and compare without regard to case. Handles are closed with RegCloseKey; an unknown
//   one is ERROR_INVALID_HANDLE. Access rights are not examined: the store is the user's.
// Every call sees the store as it is now, so a change another process has committed is
// seen; the file itself is read once while it stays unchanged (regcache.cpp), and that
// copy is dropped when the process holds no key open any more.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/regstore.h"

#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

struct KeyRecord {
  char path[REG_PATH_MAX];
  RegKeyEntry staged;  // values set through this handle, not yet in the store
};

static int openKeys;

static KeyRecord* KeyFromHandle(HKEY key) {
  return (KeyRecord*)HandleObject(HANDLE_KIND_KEY, key);
}

static LONG NewKeyHandle(const char* path, PHKEY result) {
  KeyRecord* record = (KeyRecord*)calloc(1, sizeof *record);
  HKEY handle = nullptr;
  if (record != nullptr) {
    snprintf(record->path, sizeof record->path, "%s", path);
    handle = (HKEY)NewHandle(HANDLE_KIND_KEY, record);
  }
  if (handle == nullptr) {
    free(record);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *result = handle;
  ++openKeys;
  return ERROR_SUCCESS;
}

// parent + "\" + subKey, each level checked. A null or empty subKey names parent itself.
static LONG JoinPath(const char* parent, const char* subKey, char* path) {
  if (subKey == nullptr || subKey[0] == '\0') {
    snprintf(path, REG_PATH_MAX, "%s", parent);
    return ERROR_SUCCESS;
  }
  if (!IsValidKeyPath(subKey)) return ERROR_INVALID_PARAMETER;
  int written = snprintf(path, REG_PATH_MAX, "%s%s%s", parent, parent[0] ? "\\" : "", subKey);
  return (written < 0 || written >= REG_PATH_MAX) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

LONG WINAPI RegOpenCurrentUser(REGSAM, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD status = CheckQuilletFolder();
  if (status != 0) return (LONG)status;
  return NewKeyHandle("", phkResult);
}

// What both opening calls check first: the result pointer, the parent handle, and the
// path of the key asked for (in path; the parent's in parentPath).
static LONG SubKeyPath(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, char* parentPath,
                       char* path) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRecord* parent = KeyFromHandle(hKey);
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  snprintf(parentPath, REG_PATH_MAX, "%s", parent->path);
  return JoinPath(parent->path, lpSubKey, path);
}

// 0 when path is in the store, ERROR_FILE_NOT_FOUND when not, ERROR_KEY_DELETED when its
// parent went too.
static LONG FindKey(const RegStore* store, const char* parentPath, const char* path) {
  if (!KeyExists(store, parentPath)) return ERROR_KEY_DELETED;
  return KeyExists(store, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  char parentPath[REG_PATH_MAX], path[REG_PATH_MAX];
  LONG status = SubKeyPath(hKey, lpSubKey, phkResult, parentPath, path);
  if (status != ERROR_SUCCESS) return status;
  RegStore* store;
  status = (LONG)CurrentStore(&store);
  if (status != ERROR_SUCCESS) return status;
  status = FindKey(store, parentPath, path);
  return status == ERROR_SUCCESS ? NewKeyHandle(path, phkResult) : status;
}

// Adds a section for every level of path that has none.
static bool AddKeyLevels(RegStore* store, const char* path) {
  char prefix[REG_PATH_MAX];
  for (size_t i = 0;; ++i) {
    if (path[i] == '\\' || path[i] == '\0') {
      memcpy(prefix, path, i);
      prefix[i] = '\0';
      if (KeyEntry(store, prefix, true) == nullptr) return false;
      if (path[i] == '\0') return true;
    }
  }
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  char parentPath[REG_PATH_MAX], path[REG_PATH_MAX];
  LONG status = SubKeyPath(hKey, lpSubKey, phkResult, parentPath, path);
  if (status != ERROR_SUCCESS) return status;
  RegStore* store;
  status = (LONG)CurrentStore(&store);
  if (status == ERROR_SUCCESS) status = FindKey(store, parentPath, path);
  bool created = false;
  if (status == ERROR_FILE_NOT_FOUND) {
    // Only a key to create needs the writers' lock, and the store as it is under it.
    int lock;
    status = (LONG)LockStore(&lock);
    if (status != ERROR_SUCCESS) return status;
    status = (LONG)CurrentStore(&store);
    if (status == ERROR_SUCCESS) status = FindKey(store, parentPath, path);
    if (status == ERROR_FILE_NOT_FOUND) {
      created = true;
      status = AddKeyLevels(store, path) ? (LONG)SaveStore(store) : ERROR_NOT_ENOUGH_MEMORY;
      ForgetStore();
    }
    UnlockStore(lock);
  }
  if (status != ERROR_SUCCESS) return status;
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return NewKeyHandle(path, phkResult);
}

static const char* ValueName(LPCSTR name) { return name != nullptr ? name : ""; }

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  KeyRecord* key = KeyFromHandle(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegStore* store;
  LONG status = (LONG)CurrentStore(&store);
  if (status != ERROR_SUCCESS) return status;
  RegKeyEntry* entry = KeyEntry(store, key->path, false);
  RegValue* value = FindValue(&key->staged, ValueName(lpValueName));
  if (value == nullptr && entry != nullptr) value = FindValue(entry, ValueName(lpValueName));
  if (!KeyExists(store, key->path)) {
    status = ERROR_KEY_DELETED;
  } else if (value == nullptr) {
    status = ERROR_FILE_NOT_FOUND;
  } else {
    if (lpType != nullptr) *lpType = value->type;
    if (lpData != nullptr && *lpcbData < value->size) {
      status = ERROR_MORE_DATA;
    } else if (lpData != nullptr) {
      memcpy(lpData, value->data, value->size);
    }
    if (lpcbData != nullptr) *lpcbData = value->size;
  }
  return status;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  KeyRecord* key = KeyFromHandle(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  const char* name = ValueName(lpValueName);
  if (strlen(name) > REG_NAME_MAX || cbData > REG_DATA_MAX ||
      (lpData == nullptr && cbData > 0)) {
    return ERROR_INVALID_PARAMETER;
  }
  for (const char* c = name; *c; ++c) {
    if ((unsigned char)*c < 0x20) return ERROR_INVALID_PARAMETER;
  }
  // A store that is damaged, or lost the key, is reported now, not only at the close.
  RegStore* store;
  LONG status = (LONG)CurrentStore(&store);
  if (status == ERROR_SUCCESS && !KeyExists(store, key->path)) status = ERROR_KEY_DELETED;
  if (status != ERROR_SUCCESS) return status;
  return (LONG)SetValue(&key->staged, name, dwType, lpData, cbData);
}

// Writes the values staged in key to the store, all in one replace.
static LONG CommitValues(KeyRecord* key) {
  int lock;
  LONG status = (LONG)LockStore(&lock);
  if (status != ERROR_SUCCESS) return status;
  RegStore* store;
  status = (LONG)CurrentStore(&store);
  if (status == ERROR_SUCCESS) {
    RegKeyEntry* entry = nullptr;
    if (!KeyExists(store, key->path)) {
      status = ERROR_KEY_DELETED;
    } else if ((entry = KeyEntry(store, key->path, true)) == nullptr) {
      status = ERROR_NOT_ENOUGH_MEMORY;
    }
    for (int v = 0; status == ERROR_SUCCESS && v < key->staged.valueCount; ++v) {
      const RegValue* value = &key->staged.values[v];
      status = (LONG)SetValue(entry, value->name, value->type, value->data, value->size);
    }
    if (status == ERROR_SUCCESS) status = (LONG)SaveStore(store);
    ForgetStore();
  }
  UnlockStore(lock);
  return status;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  KeyRecord* key = (KeyRecord*)ReleaseHandle(HANDLE_KIND_KEY, hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  LONG status = key->staged.valueCount > 0 ? CommitValues(key) : ERROR_SUCCESS;
  FreeKeyEntry(&key->staged);
  free(key);
  if (--openKeys == 0) ForgetStore();
  return status;
}
