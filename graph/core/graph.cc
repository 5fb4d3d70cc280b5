#include "graph/core/graph.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "graph/core/no_throw.h"
#include "graph/utils/summary_file_writer.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace graph {
namespace {

// A graph dump writes its one event at once and closes the file.
constexpr int kDumpMaxQueue = 1;
constexpr int kDumpFlushMillis = 1;
constexpr int64_t kDumpStep = 1;

// Says which directory and why a dump failed; `err_number` is errno read as
// the failed step returned. Returns false for the caller.
bool LogDumpFailure(const std::string& logdir, const trace::Status& status, int err_number) {
  LOG(WARNING) << "Could not write the graph into " << logdir << ": "
               << trace::FailureReason(status, err_number);
  return false;
}

}  // namespace

Graph::~Graph() {
  for (Node* node : nodes_) delete node;
}

bool Graph::CheckNewNodeName(const char* name) const {
  if (name == nullptr || name[0] == '\0') {
    LOG(ERROR) << "node name is empty!";
    return false;
  }
  // Names are protobuf strings: ill-formed UTF-8 would make TensorBoard
  // reject the whole graph.
  if (name[0] == '/' || std::strstr(name, "//") != nullptr || !trace::IsValidUtf8(name)) {
    LOG(ERROR) << "node name: " << name << " is illegal.";
    return false;
  }
  if (names_.count(name) != 0) {
    LOG(WARNING) << "node: " << name << " is already defined!";
    return false;
  }
  return true;
}

NodeInterface* Graph::AddNode(const char* name) {
  return ReturnOnException<NodeInterface*>("AddNode", nullptr, [&]() -> NodeInterface* {
    if (!CheckNewNodeName(name)) return nullptr;
    auto node = std::make_unique<Node>(name);
    // Room first, so that recording the node cannot fail half way.
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(2 * nodes_.size() + 16);
    names_.insert(node->name());
    nodes_.push_back(node.get());  // Cannot throw: the room is reserved.
    return node.release();
  });
}

bool Graph::DumpGraph(const char* logdir) {
  return ReturnOnException("DumpGraph", false, [&] {
    if (nodes_.empty()) {
      LOG(ERROR) << "cannot dump graph because it is not containing node.";
      return false;
    }
    if (logdir == nullptr || logdir[0] == '\0') {
      LOG(ERROR) << "cannot dump graph because logdir is empty.";
      return false;
    }
    return WriteGraphDef(logdir);
  });
}

bool Graph::WriteGraphDef(const std::string& logdir) {
  // Released on return: its destructor flushes and closes the file.
  auto writer = std::make_shared<SummaryFileWriter>(kDumpMaxQueue, kDumpFlushMillis);
  trace::Status status = writer->Init(logdir);
  if (!status.ok()) return LogDumpFailure(logdir, status, errno);

  graph_def_ = std::make_shared<GraphDef>();
  LOG(INFO) << "Create GraphDef(addr:" << graph_def_.get() << ") success.";
  for (const Node* node : nodes_) graph_def_->add_node_def()->CopyFrom(node->node_def());
  for (const NodeDef& node_def : graph_def_->node_def()) {
    if (node_def.op().empty()) {
      LOG(WARNING) << "the operation name of node " << node_def.name() << " is undefined.";
    }
  }
  LOG(INFO) << "Get GraphDef(addr:" << graph_def_.get();

  status = writer->WriteGraph(kDumpStep, graph_def_);
  if (status.ok()) status = writer->Flush();
  if (status.ok()) return true;
  // A record cut short (a full disk) would make the file unreadable: the dump
  // leaves no file rather than a broken one.
  const std::string path = writer->filename();
  writer.reset();
  std::remove(path.c_str());
  return LogDumpFailure(logdir, status, 0);
}

GraphInterface* CreateGraph() {
  return ReturnOnException<GraphInterface*>("CreateGraph", nullptr, [] { return new Graph(); });
}

}  // namespace graph
}  // namespace zentrik
