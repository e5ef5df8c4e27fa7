// Runs a fuzzer's checks over saved inputs, for builds without libFuzzer: each argument is
// an input file or a folder of them.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string input(std::istreambuf_iterator<char>(in), {});
  LLVMFuzzerTestOneInput((const uint8_t*)input.data(), input.size());
  return 1;
}

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat info {};
    if (stat(argv[i], &info) != 0) {
      fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 2;
    }
    if (!S_ISDIR(info.st_mode)) {
      runs += RunFile(argv[i]);
      continue;
    }
    DIR* dir = opendir(argv[i]);
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) runs += RunFile(std::string(argv[i]) + "/" + name);
  }
  printf("replay: %d inputs passed\n", runs);
  return runs > 0 ? 0 : 2;
}
