#include "graph/utils/summary_file_writer.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/platform/env.h"
#include "common/platform/logging.h"

namespace zentrik {
namespace graph {
namespace {

constexpr char kEventFilePrefix[] = "events.out.tfevents.";

// Names that a dump may move on to when an earlier dump of the same second
// holds the clock's name, so that it does not replace that file.
constexpr uint64_t kEventFileNameTries = 10;

std::string EventFilePath(const std::string& logdir) {
  const uint64_t seconds = trace::EnvTime::NowSeconds();
  const std::string host = trace::Env::Default()->GetHostName();
  const auto path_at = [&](uint64_t at) {
    std::ostringstream path;
    path << logdir << "/" << kEventFilePrefix << at << "." << host;
    return path.str();
  };
  for (uint64_t i = 0; i < kEventFileNameTries; ++i) {
    std::string path = path_at(seconds + i);
    if (!trace::Env::Default()->FileExists(path).ok()) return path;
  }
  return path_at(seconds);
}

}  // namespace

SummaryFileWriter::SummaryFileWriter(int max_queue, int flush_millis)
    : max_queue_(max_queue), flush_millis_(flush_millis) {}

SummaryFileWriter::~SummaryFileWriter() {
  // Nobody else can hold the writer any more; its status has no reader.
  if (is_initialized_) Flush().ok();
}

trace::Status SummaryFileWriter::Init(const std::string& logdir) {
  if (logdir.empty()) {
    constexpr char kMessage[] = "the logdir of output events is empty.";
    LOG(ERROR) << kMessage;
    return trace::errors::InvalidArgument(kMessage);
  }
  const std::string path = EventFilePath(logdir);
  std::lock_guard<std::mutex> lock(mutex_);
  trace::Status status = trace::Env::Default()->RecursivelyCreateDir(logdir);
  if (!status.ok()) return status;
  try {
    record_writer_ = std::make_unique<RecordFileWriter>(path);
  } catch (const std::runtime_error& error) {
    // An exception must not reach the library's callers; a status carries it.
    LOG(ERROR) << error.what();
    return trace::errors::Unknown(error.what());
  }
  last_flush_micros_ = trace::EnvTime::NowMicros();
  is_initialized_ = true;
  return trace::Status();
}

trace::Status SummaryFileWriter::WriteEvent(std::unique_ptr<Event> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(event));
  if (queue_.size() > static_cast<size_t>(max_queue_ < 0 ? 0 : max_queue_)) {
    return InternalFlush();
  }
  const uint64_t elapsed_micros = trace::EnvTime::NowMicros() - last_flush_micros_;
  if (elapsed_micros > static_cast<uint64_t>(flush_millis_ < 0 ? 0 : flush_millis_) * 1000u) {
    return InternalFlush();
  }
  return trace::Status();
}

trace::Status SummaryFileWriter::WriteGraph(int64_t step, std::shared_ptr<GraphDef> graph) {
  auto event = std::make_unique<Event>();
  event->set_wall_time(static_cast<double>(trace::EnvTime::NowMicros()) / 1e6);
  event->set_step(step);
  // A graph beyond the wire format's 2 GiB cannot be written; an event with an
  // empty graph would report success for nothing.
  if (graph != nullptr && !graph->SerializeToString(event->mutable_graph_def())) {
    return trace::errors::Internal("the graph is too large to serialize.");
  }
  return WriteEvent(std::move(event));
}

trace::Status SummaryFileWriter::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!is_initialized_) std::cout << "Class was not properly initialized." << std::endl;
  return InternalFlush();
}

std::string SummaryFileWriter::filename() {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_writer_ == nullptr ? std::string() : record_writer_->filename();
}

trace::Status SummaryFileWriter::InternalFlush() {
  if (record_writer_ == nullptr) {
    // Without a file the events are kept for the first successful Init.
    if (queue_.empty()) return trace::Status();
    return trace::errors::FailedPrecondition("Class was not properly initialized.");
  }
  trace::Status status;
  std::string bytes;
  for (const std::unique_ptr<Event>& event : queue_) {
    bytes.clear();
    event->SerializeToString(&bytes);
    trace::Status written = record_writer_->WriteRecord(bytes);
    if (status.ok() && !written.ok()) status = written;
  }
  queue_.clear();
  last_flush_micros_ = trace::EnvTime::NowMicros();
  return status;
}

}  // namespace graph
}  // namespace zentrik
