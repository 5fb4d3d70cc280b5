#include "graph/utils/summary_file_writer.h"

#include <iostream>
#include <sstream>
#include <utility>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/utils/file_name.h"

namespace zentrik {
namespace graph {
namespace {

constexpr char kEventFilePrefix[] = "events.out.tfevents.";

// The event file for the clock reading `seconds`: the seconds of a later
// reading name the next file when an earlier dump holds this one.
std::string EventFilePath(const std::string& logdir, const std::string& host, uint64_t seconds) {
  std::ostringstream path;
  path << logdir << "/" << kEventFilePrefix << seconds << "." << host;
  return path.str();
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
  const uint64_t seconds = trace::EnvTime::NowSeconds();
  const std::string host = trace::SafeFileNamePart(trace::Env::Default()->GetHostName());
  std::lock_guard<std::mutex> lock(mutex_);
  trace::Status status = trace::Env::Default()->RecursivelyCreateDir(logdir);
  if (!status.ok()) return status;
  // The first free number from the clock's on: every name tried exists, so
  // the search ends, and no existing file is ever opened.
  std::unique_ptr<RecordFileWriter> writer;
  for (uint64_t next = seconds;; ++next) {
    status = RecordFileWriter::Create(EventFilePath(logdir, host, next), &writer);
    if (status.code() != error::ALREADY_EXISTS) break;
  }
  if (!status.ok()) {
    LOG(ERROR) << status.error_message();
    return status;
  }
  record_writer_ = std::move(writer);
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
