// Test helper: creates a volatile key below HKEY_CURRENT_USER (it lasts until the registry
// server stops). Below such a key no lasting key can be made, which gives the tests a
// registry write that fails for real.
//   volatilekey PATH
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HKEY key;
  LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, argv[1], 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return 1;
  RegCloseKey(key);
  return 0;
}
