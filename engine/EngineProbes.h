// Observation points for the project's own tests and benchmarks: the requests the engine receives
// and the timing of every picture at the render step. Nothing is observed unless a program that
// links the engine's objects registers probes explicitly with SetEngineProbes; the shared library
// a host loads exports no way to reach them, and looks up nothing by name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

struct EngineProbes {
    // Every invoke request as it arrives, before it is decoded (host's thread).
    void (*onInvoke)(const uint8_t* data, size_t size) = nullptr;
    // Every picture that reaches the render step: its media time, the clock it was timed
    // against and its lateness (engine's playback queue thread).
    void (*onRender)(int64_t mediaTimeUs, int64_t clockUs, int64_t latenessUs) = nullptr;
};

// Installs probes for every player of the process (null removes them). The pointed-to record
// must outlive its registration.
void SetEngineProbes(const EngineProbes* probes);
const EngineProbes* GetEngineProbes();

}  // namespace velmor
