#include "common/platform/status.h"

#include <cstdio>

namespace zentrik {
namespace trace {

Status::Status(error::Code code, const std::string& msg)
    : state_(new State{code, msg}) {}

Status::Status(const Status& other)
    : state_(other.state_ ? new State(*other.state_) : nullptr) {}

Status& Status::operator=(const Status& other) {
  if (state_ != other.state_) SlowCopyFrom(other.state_.get());
  return *this;
}

void Status::SlowCopyFrom(const State* src) {
  state_.reset(src == nullptr ? nullptr : new State(*src));
}

const std::string& Status::error_message() const {
  static const std::string* const kEmpty = new std::string;
  return ok() ? *kEmpty : state_->msg;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return StatusCodeToString(state_->code) + ": " + state_->msg;
}

bool Status::operator==(const Status& other) const {
  return state_ == other.state_ || ToString() == other.ToString();
}

std::string StatusCodeToString(error::Code code) {
  switch (code) {
    case error::OK:
      return "OK";
    case error::CANCELLED:
      return "Cancelled";
    case error::UNKNOWN:
      return "Unknown";
    case error::INVALID_ARGUMENT:
      return "Invalid argument";
    case error::DEADLINE_EXCEEDED:
      return "Deadline exceeded";
    case error::NOT_FOUND:
      return "Not found";
    case error::ALREADY_EXISTS:
      return "Already exists";
    case error::PERMISSION_DENIED:
      return "Permission denied";
    case error::RESOURCE_EXHAUSTED:
      return "Resource exhausted";
    case error::FAILED_PRECONDITION:
      return "Failed precondition";
    case error::ABORTED:
      return "Aborted";
    case error::OUT_OF_RANGE:
      return "Out of range";
    case error::UNIMPLEMENTED:
      return "Unimplemented";
    case error::INTERNAL:
      return "Internal";
    case error::UNAVAILABLE:
      return "Unavailable";
    case error::DATA_LOSS:
      return "Data loss";
    case error::UNAUTHENTICATED:
      return "Unauthenticated";
    default: {
      char text[30];
      snprintf(text, sizeof(text), "Unknown code(%d)", static_cast<int>(code));
      return text;
    }
  }
}

namespace errors {
Status Unknown(const std::string& msg) { return Status(error::UNKNOWN, msg); }
Status InvalidArgument(const std::string& msg) { return Status(error::INVALID_ARGUMENT, msg); }
Status NotFound(const std::string& msg) { return Status(error::NOT_FOUND, msg); }
Status AlreadyExists(const std::string& msg) { return Status(error::ALREADY_EXISTS, msg); }
Status FailedPrecondition(const std::string& msg) {
  return Status(error::FAILED_PRECONDITION, msg);
}
Status Aborted(const std::string& msg) { return Status(error::ABORTED, msg); }
Status Internal(const std::string& msg) { return Status(error::INTERNAL, msg); }
Status Unavailable(const std::string& msg) { return Status(error::UNAVAILABLE, msg); }
Status DataLoss(const std::string& msg) { return Status(error::DATA_LOSS, msg); }
}  // namespace errors

}  // namespace trace
}  // namespace zentrik
