#ifndef ZENTRIK_GRAPH_UTILS_RECORD_FILE_WRITER_H_
#define ZENTRIK_GRAPH_UTILS_RECORD_FILE_WRITER_H_

#include <cstdio>
#include <memory>
#include <string>

#include "common/platform/status.h"

namespace zentrik {
namespace graph {

// One open event file, written record by record. Each record is the data's
// length (8 bytes, little-endian), the masked CRC-32C of those 8 bytes, the
// data, and the masked CRC-32C of the data (4 bytes each, little-endian): the
// framing TensorBoard's event-file reader expects. Not thread-safe.
class RecordFileWriter {
 public:
  // Creates `path` as a new file, never opening one that exists, and sets
  // `*writer` to write it. ALREADY_EXISTS when the name is taken (by any kind
  // of entry); UNKNOWN "failed to open log_file<path>: <reason>" otherwise.
  static trace::Status Create(const std::string& path, std::unique_ptr<RecordFileWriter>* writer);
  // Closes the file.
  ~RecordFileWriter();
  RecordFileWriter(const RecordFileWriter&) = delete;
  RecordFileWriter& operator=(const RecordFileWriter&) = delete;

  // Appends one record and flushes it to the file. UNKNOWN
  // "failed to write log_file<path>" when the stream reports an error.
  trace::Status WriteRecord(const std::string& data);

  const std::string& filename() const { return filename_; }

 private:
  RecordFileWriter(std::FILE* file, std::string path);

  std::FILE* file_;
  std::string filename_;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_UTILS_RECORD_FILE_WRITER_H_
