// The registry: one current user's tree of keys holding typed values, with the codes and
// sizes of the contract cases (tests/contract); the calls leave the last error alone.
#include "internal.h"

namespace fake {

namespace {
std::map<std::string, std::map<std::string, Value>> tree;  // key path -> values
struct KeyHandle {
  std::string path;
  bool open;
};
std::vector<KeyHandle> handles;

HKEY NewKey(const std::string& path) {
  handles.push_back({path, true});
  Opened("key " + (path.empty() ? "HKCU" : "HKCU\\" + path));
  return (HKEY)(uintptr_t)(0x10000 + handles.size() - 1);
}

KeyHandle* Find(HKEY key) {
  size_t index = (uintptr_t)key - 0x10000;
  if (index < handles.size() && handles[index].open) return &handles[index];
  Violation(Format("registry: key handle %p not open", (void*)key));
  return nullptr;
}

std::string Name(HKEY key) {
  size_t index = (uintptr_t)key - 0x10000;
  if (index >= handles.size()) return "?";
  return handles[index].path.empty() ? "HKCU" : "HKCU\\" + handles[index].path;
}

std::string Child(KeyHandle* parent, const char* subKey) {
  return parent->path.empty() ? subKey : parent->path + "\\" + subKey;
}
}  // namespace

void ResetRegistry() {
  tree.clear();
  tree[""];
  handles.clear();
}

void SetValue(const std::string& key, const std::string& name, DWORD type,
              const std::string& data) {
  for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1)) {
    tree[key.substr(0, at)];
  }
  tree[key][name] = {type, data};
}

void SetDword(const std::string& key, const std::string& name, DWORD value) {
  SetValue(key, name, REG_DWORD, std::string((const char*)&value, sizeof value));
}

const Value* GetValue(const std::string& key, const std::string& name) {
  auto found = tree.find(key);
  if (found == tree.end() || !found->second.count(name)) return nullptr;
  return &found->second[name];
}

bool KeyExists(const std::string& key) { return tree.count(key) != 0; }

}  // namespace fake

using namespace fake;

extern "C" {

LONG WINAPI RegOpenCurrentUser(REGSAM samDesired, PHKEY phkResult) {
  if (DWORD code = Enter("RegOpenCurrentUser", "0x%X", samDesired)) return (LONG)code;
  *phkResult = NewKey("");
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  if (DWORD code = Enter("RegOpenKeyExA", "%s, %s, %u, 0x%X", Name(hKey).c_str(),
                         Quote(lpSubKey).c_str(), ulOptions, samDesired))
    return (LONG)code;
  KeyHandle* parent = Find(hKey);
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  std::string path = Child(parent, lpSubKey);
  if (!tree.count(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewKey(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  if (DWORD code = Enter("RegCreateKeyExA", "%s, %s, %u, %s, %u, 0x%X, %s, %s",
                         Name(hKey).c_str(), Quote(lpSubKey).c_str(), Reserved,
                         Quote(lpClass).c_str(), dwOptions, samDesired,
                         lpSecurityAttributes ? "sa" : "null", lpdwDisposition ? "&d" : "null"))
    return (LONG)code;
  KeyHandle* parent = Find(hKey);
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  std::string path = Child(parent, lpSubKey);
  tree[path];
  *phkResult = NewKey(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  if (DWORD code = Enter("RegQueryValueExA", "%s, %s, %u", Name(hKey).c_str(),
                         Quote(lpValueName).c_str(), lpcbData ? *lpcbData : 0))
    return (LONG)code;
  KeyHandle* key = Find(hKey);
  if (key == nullptr || lpReserved != nullptr) return ERROR_INVALID_HANDLE;
  const Value* value = GetValue(key->path, lpValueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = value->type;
  DWORD size = (DWORD)value->data.size();
  DWORD room = lpcbData ? *lpcbData : 0;
  if (lpcbData) *lpcbData = size;
  if (lpData == nullptr) return ERROR_SUCCESS;
  memcpy(lpData, value->data.data(), std::min(size, room));
  return room >= size ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  if (DWORD code = Enter("RegSetValueExA", "%s, %s, %u, %u, %s, %u", Name(hKey).c_str(),
                         Quote(lpValueName).c_str(), Reserved, dwType,
                         Quote((const char*)lpData, cbData).c_str(), cbData))
    return (LONG)code;
  KeyHandle* key = Find(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  tree[key->path][lpValueName] = {dwType, std::string((const char*)lpData, cbData)};
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  DWORD fail = Enter("RegCloseKey", "%s", Name(hKey).c_str());
  KeyHandle* key = Find(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  key->open = false;
  Closed("key " + Name(hKey));
  return (LONG)fail;
}

}  // extern "C"
