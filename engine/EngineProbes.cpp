#include "engine/EngineProbes.h"

#include <atomic>

namespace velmor {

namespace {
std::atomic<const EngineProbes*> gProbes{nullptr};
}

void SetEngineProbes(const EngineProbes* probes) { gProbes.store(probes, std::memory_order_release); }

const EngineProbes* GetEngineProbes() { return gProbes.load(std::memory_order_acquire); }

}  // namespace velmor
