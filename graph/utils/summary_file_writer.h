#ifndef ZENTRIK_GRAPH_UTILS_SUMMARY_FILE_WRITER_H_
#define ZENTRIK_GRAPH_UTILS_SUMMARY_FILE_WRITER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "graph/protobuf/event.pb.h"
#include "graph/protobuf/graph.pb.h"
#include "graph/utils/record_file_writer.h"

namespace zentrik {
namespace graph {

// Writes events into one TensorBoard event file, queueing them until a flush.
// Every operation is thread-safe.
class SummaryFileWriter {
 public:
  // Events are written once more than `max_queue` wait, or when one arrives
  // more than `flush_millis` after the last flush; otherwise by Flush.
  SummaryFileWriter(int max_queue, int flush_millis);
  // Flushes (when initialised) and closes the file.
  ~SummaryFileWriter();
  SummaryFileWriter(const SummaryFileWriter&) = delete;
  SummaryFileWriter& operator=(const SummaryFileWriter&) = delete;

  // Creates `logdir` when needed and a new event file in it,
  // <logdir>/events.out.tfevents.<seconds>.<host name>: the seconds of the
  // monotonic clock, or the next number free when that name is taken (an
  // existing file is never opened). The host name has "/" and NUL replaced.
  // A later Init switches to a new file. INVALID_ARGUMENT for an empty
  // `logdir`, the directory's creation status, or UNKNOWN
  // "failed to open log_file<path>: <reason>"; the writer is then unchanged.
  trace::Status Init(const std::string& logdir);

  // Queues `event` (taken over), flushing when a limit is passed. The result
  // is that of the flush, OK when none was due.
  trace::Status WriteEvent(std::unique_ptr<Event> event);

  // Queues a graph event: `graph` serialized, with `step` and the monotonic
  // clock's seconds as its wall time.
  trace::Status WriteGraph(int64_t step, std::shared_ptr<GraphDef> graph);

  // Writes every queued event. Before Init it prints "Class was not properly
  // initialized." on standard output; queued events then stay queued and the
  // result is FAILED_PRECONDITION, an empty queue gives OK. UNKNOWN when the
  // file could not be written.
  trace::Status Flush();

  // Path of the open event file; empty before Init.
  std::string filename();

 private:
  trace::Status InternalFlush();  // Requires mutex_.

  bool is_initialized_ = false;
  int max_queue_;
  int flush_millis_;
  uint64_t last_flush_micros_ = 0;
  std::mutex mutex_;  // Guards every member below and the file.
  std::vector<std::unique_ptr<Event>> queue_;
  std::unique_ptr<RecordFileWriter> record_writer_;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_UTILS_SUMMARY_FILE_WRITER_H_
