// Building a graph of 1,000,000 inputs: AddNode for every source and
// AddInput of each into one sink, against the floor of inserting the same
// names into a std::unordered_map. The ratio of the two times is what the
// graph adds per node and per input (checks, protobuf strings, the indexes).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/core/graph.h"

namespace zentrik {
namespace graph {
namespace {

constexpr int kInputs = 1000000;

const std::vector<std::string>& Names() {
  static const std::vector<std::string>* const names = [] {
    auto* names = new std::vector<std::string>();
    for (int i = 0; i < kInputs; ++i)
      names->push_back("layer" + std::to_string(i % 97) + "/node" + std::to_string(i));
    return names;
  }();
  return *names;
}

void BM_GraphAddNodesAndInputs(benchmark::State& state) {
  for (auto _ : state) {
    Graph graph;
    NodeInterface* sink = graph.AddNode("sink");
    for (const std::string& name : Names()) sink->AddInput(graph.AddNode(name.c_str()), 0);
    benchmark::DoNotOptimize(sink);
  }
  state.SetItemsProcessed(state.iterations() * kInputs);
}
BENCHMARK(BM_GraphAddNodesAndInputs)->Unit(benchmark::kMillisecond)->Iterations(3);

// The floor: one hash insert per name, as for the node names, and one per
// input entry "<name>:0".
void BM_UnorderedMapInsertSameNames(benchmark::State& state) {
  for (auto _ : state) {
    std::unordered_map<std::string, int> nodes;
    std::unordered_map<std::string, int> inputs;
    for (const std::string& name : Names()) {
      nodes.emplace(name, 0);
      inputs.emplace(name + ":0", 0);
    }
    benchmark::DoNotOptimize(inputs);
  }
  state.SetItemsProcessed(state.iterations() * kInputs);
}
BENCHMARK(BM_UnorderedMapInsertSameNames)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace graph
}  // namespace zentrik

BENCHMARK_MAIN();
