#ifndef ZENTRIK_TESTING_STDERR_CAPTURE_H_
#define ZENTRIK_TESTING_STDERR_CAPTURE_H_

#include <string>

namespace zentrik {
namespace testing {

// Redirects the process's standard error into a temporary file from
// construction until Stop(); log lines written meanwhile can be read back.
// Not for concurrent use with another capture.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores standard error and returns what was written to it.
  std::string Stop();

 private:
  int saved_fd_ = -1;
  int capture_fd_ = -1;
};

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_STDERR_CAPTURE_H_
