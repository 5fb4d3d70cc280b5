#include "testing/profile_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <regex>

namespace zentrik {
namespace testing {

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return names;
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> tree;
  for (const std::string& name : ListDirectory(dir)) {
    const std::string path = dir + "/" + name;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      const ssize_t size = readlink(path.c_str(), target, sizeof(target));
      tree.push_back(name + " -> " + std::string(target, size < 0 ? 0 : size));
    } else if (S_ISDIR(info.st_mode)) {
      tree.push_back(name + "/");
      for (const std::string& below : ListTree(path)) tree.push_back(name + "/" + below);
    } else {
      tree.push_back(name);
    }
  }
  return tree;
}

bool WriteTestFile(const std::string& path, const std::string& contents) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return fclose(file) == 0 && written;
}

bool ReplaceWithAnotherUsersDirectory(const std::string& path, const std::string& moved_to) {
  return rename(path.c_str(), moved_to.c_str()) == 0 && mkdir(path.c_str(), 0777) == 0 &&
         chmod(path.c_str(), 0777) == 0 && (geteuid() != 0 || chown(path.c_str(), 4321, 4321) == 0);
}

bool IsRunName(const std::string& name) {
  static const std::regex kRunName(R"(\d{4}(_\d{2}){5}\.-?\d{1,6}(_\d+)?)");
  return std::regex_match(name, kRunName);
}

bool Gunzip(const std::string& compressed, std::string* text) {
  text->clear();
  z_stream stream{};
  if (inflateInit2(&stream, MAX_WBITS + 16) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  char buffer[1 << 16];
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    code = inflate(&stream, Z_NO_FLUSH);
    text->append(buffer, sizeof(buffer) - stream.avail_out);
  }
  inflateEnd(&stream);
  return code == Z_STREAM_END && stream.avail_in == 0;
}

std::string GzipInOneCall(const std::string& text, const DeflateSettings& settings) {
  z_stream stream{};
  if (deflateInit2(&stream, settings.level, Z_DEFLATED, settings.window_bits, settings.mem_level,
                   settings.strategy) != Z_OK) {
    return std::string();
  }
  // Room for the flush markers besides the bound.
  std::string compressed(deflateBound(&stream, text.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(&compressed[0]);
  stream.avail_out = static_cast<uInt>(compressed.size());
  bool ended = settings.flush == Z_NO_FLUSH || deflate(&stream, settings.flush) == Z_OK;
  ended = ended && deflate(&stream, Z_FINISH) == Z_STREAM_END;
  compressed.resize(ended ? stream.total_out : 0);
  deflateEnd(&stream);
  return compressed;
}

}  // namespace testing
}  // namespace zentrik
