#ifndef ZENTRIK_COMMON_PLATFORM_STATUS_H_
#define ZENTRIK_COMMON_PLATFORM_STATUS_H_

#include <memory>
#include <string>

#include "common/protobuf/error_codes.pb.h"

namespace zentrik {
namespace trace {

// The result of a fallible operation: OK (no state, cheap to copy) or an error
// code with a message. A value type; one object is not shared between threads.
class Status {
 public:
  Status() = default;
  // Only for codes other than OK; the errors:: factories are the usual way.
  Status(error::Code code, const std::string& msg);
  Status(const Status& other);
  Status& operator=(const Status& other);
  ~Status() = default;

  bool ok() const { return state_ == nullptr; }
  error::Code code() const { return ok() ? error::OK : state_->code; }
  const std::string& error_message() const;

  // "OK", or the code's text, ": " and the message.
  std::string ToString() const;

  // Equal when both are OK, or when their ToString() texts are equal.
  bool operator==(const Status& other) const;
  bool operator!=(const Status& other) const { return !(*this == other); }

 private:
  struct State {
    error::Code code;
    std::string msg;
  };
  void SlowCopyFrom(const State* src);

  std::unique_ptr<State> state_;
};

// "OK", "Cancelled", ...; "Unknown code(N)" for a value outside 0..16.
std::string StatusCodeToString(error::Code code);

namespace errors {
Status Unknown(const std::string& msg);
Status InvalidArgument(const std::string& msg);
Status NotFound(const std::string& msg);
Status AlreadyExists(const std::string& msg);
Status FailedPrecondition(const std::string& msg);
Status Aborted(const std::string& msg);
Status Internal(const std::string& msg);
Status Unavailable(const std::string& msg);
Status DataLoss(const std::string& msg);
}  // namespace errors

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_STATUS_H_
