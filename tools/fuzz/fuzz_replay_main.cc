// The main of a fuzz target built without libFuzzer: runs the target once on
// every file named, or in a folder named, on the command line (options that
// begin with "-" are libFuzzer's and ignored). Exits 0 when all ran.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return 0;  // A folder entry that is no file.
  std::ostringstream bytes;
  bytes << file.rdbuf();
  const std::string input = bytes.str();
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty() || arg[0] == '-') continue;
    DIR* dir = opendir(arg.c_str());
    if (dir == nullptr) {
      inputs += RunFile(arg);
      continue;
    }
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') inputs += RunFile(arg + "/" + entry->d_name);
    }
    closedir(dir);
  }
  std::printf("%d inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
