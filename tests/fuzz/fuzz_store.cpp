// Fuzzes the Linux settings store's reader: the input is the whole store file. Reading the
// setting the way both programs do must give an error code or the values the file holds,
// never crash, and never write: the file and its folder stay exactly as they were. A
// store that reads also writes back (elsewhere) as the same keys and values.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "common/settings.h"
#include "model.h"
#include "settings/regstore.h"

namespace {

// The fuzzer's folders are named after its process: those of processes that are gone
// (libFuzzer may end without running destructors) are cleared away at the start.
void ClearFoldersOfEndedRuns(const char* base) {
  DIR* dir = opendir(base);
  while (dirent* entry = dir ? readdir(dir) : nullptr) {
    int pid = 0;
    if (sscanf(entry->d_name, "quillet-fuzz-store.%d.", &pid) != 1 || pid <= 0) continue;
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::string command = std::string("rm -rf '") + base + "/" + entry->d_name + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", entry->d_name);
  }
  if (dir) closedir(dir);
}

std::string MakeFolder(const char* base, const char* role) {
  std::string folder =
      std::string(base) + "/quillet-fuzz-store." + std::to_string(getpid()) + "." + role;
  std::string command = "rm -rf '" + folder + "'";
  EXPECT_THAT(system(command.c_str()) == 0, "cannot clear a folder of this run");
  EXPECT_THAT(mkdir(folder.c_str(), 0700) == 0, "cannot make a temporary folder");
  EXPECT_THAT(mkdir((folder + "/quillet").c_str(), 0700) == 0, "cannot make the store folder");
  return folder;
}

struct Folders {
  std::string read, write;
  Folders() {
    struct stat info;
    const char* base = stat("/dev/shm", &info) == 0 ? "/dev/shm" : "/tmp";
    ClearFoldersOfEndedRuns(base);
    read = MakeFolder(base, "read");
    write = MakeFolder(base, "write");
  }
  ~Folders() {
    for (const std::string& folder : {read, write}) {
      std::string command = "rm -rf '" + folder + "'";
      if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", folder.c_str());
    }
  }
};

// The folder's entries with their sizes and modification times.
std::string FolderState(const std::string& folder) {
  std::set<std::string> entries;
  DIR* dir = opendir(folder.c_str());
  while (dirent* entry = dir ? readdir(dir) : nullptr) {
    struct stat info {};
    std::string path = folder + "/" + entry->d_name;
    lstat(path.c_str(), &info);
    entries.insert(std::string(entry->d_name) + " " + std::to_string(info.st_size) + " " +
                   std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec));
  }
  if (dir) closedir(dir);
  std::string state;
  for (const std::string& entry : entries) state += entry + "\n";
  return state;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_THAT(fd >= 0 && write(fd, data, size) == (ssize_t)size, "cannot write the store file");
  close(fd);
}

// The key whose path is path, compared as the registry compares names.
const RegKeyEntry* Key(const RegStore& store, const char* path) {
  for (int k = 0; k < store.keyCount; ++k) {
    if (strcasecmp(store.keys[k].path, path) == 0) return &store.keys[k];
  }
  return nullptr;
}

// A key exists when it has a section of its own or lies above one that has.
bool Exists(const RegStore& store, const std::string& path) {
  for (int k = 0; k < store.keyCount; ++k) {
    std::string other = store.keys[k].path;
    if (other.size() >= path.size() && strncasecmp(other.c_str(), path.c_str(), path.size()) == 0 &&
        (other.size() == path.size() || other[path.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

std::string Describe(const RegStore& store) {
  std::string text;
  for (int k = 0; k < store.keyCount; ++k) {
    const RegKeyEntry& key = store.keys[k];
    text += "[" + std::string(key.path) + "]\n";
    for (int v = 0; v < key.valueCount; ++v) {
      const RegValue& value = key.values[v];
      text += std::string(value.name) + " " + std::to_string(value.type) + " " +
              std::string((const char*)value.data, value.size) + "\n";
    }
  }
  return text;
}

int closeFailures = 0;
void CountCloseFailure(DWORD) { ++closeFailures; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folders folders;
  const std::string file = folders.read + "/quillet/" REG_STORE_FILE;
  WriteFile(file, data, size);
  const std::string before = FolderState(folders.read + "/quillet");
  setenv("XDG_CONFIG_HOME", folders.read.c_str(), 1);

  RegStore parsed;
  DWORD parseStatus = ParseStore((const char*)data, size, &parsed);
  EXPECT_THAT(parseStatus == 0 || parseStatus == ERROR_BADDB, "parse gave an unknown code");

  // The setting, read as the programs read it.
  SettingsKeys keys;
  LONG openStatus = OpenSettingsKeys(&keys, false);
  DWORD values[2] = {0, 0};
  LONG queryStatus[2] = {-1, -1};
  if (openStatus == ERROR_SUCCESS) {
    HKEY key = keys.keys[SETTINGS_KEY_DEPTH];
    queryStatus[0] = QuerySettingsValue(key, PORT_VALUE_NAME, &values[0]);
    queryStatus[1] = QuerySettingsValue(key, BAUDRATE_VALUE_NAME, &values[1]);
  }
  int opened = keys.opened;
  closeFailures = 0;
  CloseSettingsKeys(&keys, CountCloseFailure);
  EXPECT_THAT(closeFailures == 0, "a key failed to close");

  if (parseStatus != 0) {
    EXPECT_THAT(openStatus == ERROR_BADDB && opened == 1,
                "a damaged store was not reported as damaged");
  } else {
    // Each level opens exactly when the file has it.
    std::string path;
    bool allThere = true;
    for (int level = 0; level < SETTINGS_KEY_DEPTH; ++level) {
      path += (level ? "\\" : "") + std::string(SETTINGS_KEY_PATH[level]);
      allThere = allThere && Exists(parsed, path);
    }
    EXPECT_THAT((openStatus == ERROR_SUCCESS) == allThere, "a key opened that is not there, or not one that is");
    EXPECT_THAT(openStatus == ERROR_SUCCESS || openStatus == ERROR_FILE_NOT_FOUND, "open gave an unknown code");
    const RegKeyEntry* entry = allThere ? Key(parsed, path.c_str()) : nullptr;
    const char* names[2] = {PORT_VALUE_NAME, BAUDRATE_VALUE_NAME};
    for (int i = 0; allThere && i < 2; ++i) {
      const RegValue* value = nullptr;
      for (int v = 0; entry && v < entry->valueCount; ++v) {
        if (strcasecmp(entry->values[v].name, names[i]) == 0) value = &entry->values[v];
      }
      if (value == nullptr) {
        EXPECT_THAT(queryStatus[i] == ERROR_FILE_NOT_FOUND, "a missing value was not reported missing");
      } else if (value->size > 4) {
        EXPECT_THAT(queryStatus[i] == ERROR_MORE_DATA, "a long value was not reported as such");
      } else {
        DWORD expected = 0;
        memcpy(&expected, value->data, value->size);
        EXPECT_THAT(queryStatus[i] == ERROR_SUCCESS && values[i] == expected, "a value read wrong");
      }
    }

    // The indexes find what a search of the whole store finds: each key's own entry, each
    // value, and every level above a key, in any case.
    for (int k = 0; k < parsed.keyCount; ++k) {
      RegKeyEntry* key = &parsed.keys[k];
      std::string upper = key->path;
      for (char& c : upper) c = (char)toupper((unsigned char)c);
      EXPECT_THAT(KeyEntry(&parsed, upper.c_str(), false) == key, "a key's index misses it");
      for (size_t i = 0; i <= upper.size(); ++i) {
        if (i < upper.size() && upper[i] != '\\') continue;
        std::string level = upper.substr(0, i);
        EXPECT_THAT(KeyExists(&parsed, level.c_str()), "a level above a key is not found");
        EXPECT_THAT(KeyExists(&parsed, (level + "x").c_str()) == Exists(parsed, level + "x"),
                    "the level index and a search disagree");
      }
      for (int v = 0; v < key->valueCount; ++v) {
        EXPECT_THAT(FindValue(key, key->values[v].name) == &key->values[v], "a value's index misses it");
      }
    }

    // What reads also writes back as itself.
    setenv("XDG_CONFIG_HOME", folders.write.c_str(), 1);
    EXPECT_THAT(SaveStore(&parsed) == 0, "a store that reads could not be written");
    RegStore again;
    EXPECT_THAT(LoadStore(&again) == 0, "a written store does not read back");
    EXPECT_THAT(Describe(again) == Describe(parsed), "a store read back other than written");
    FreeStore(&again);
  }
  FreeStore(&parsed);

  EXPECT_THAT(FileBytes(file) == std::string((const char*)data, size), "reading changed the store");
  EXPECT_THAT(FolderState(folders.read + "/quillet") == before, "reading wrote to the store's folder");
  return 0;
}
