#ifndef ZENTRIK_TESTING_TEMP_DIR_H_
#define ZENTRIK_TESTING_TEMP_DIR_H_

#include <string>

namespace zentrik {
namespace testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole contents of a file; empty when it cannot be read.
std::string ReadFileOrEmpty(const std::string& path);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_TEMP_DIR_H_
