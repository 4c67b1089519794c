// Feeds arbitrary bytes to the readers of the player agent's answers: the open answer and the
// media-information answer, as the agent client receives them. The first byte picks which reader
// sees the rest first (both always run). The readers must not throw, crash or leak on any text:
// broken JSON, keys of the wrong type, huge arrays, deep nesting.
//
//   QV_FUZZ_BUILD=build/h-fuzz bash fuzz/run.sh 300 agent_json
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/PlayerAgent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool infoFirst = (data[0] & 1) != 0;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<velmor::AgentItem> items;
    std::string kind;
    velmor::AgentItem item;
    if (infoFirst) velmor::ParseAgentMediaInfoAnswer(body, &item);
    velmor::ParseAgentOpenAnswer(body, &items, &kind);
    if (!infoFirst) velmor::ParseAgentMediaInfoAnswer(body, &item);
    return 0;
}
