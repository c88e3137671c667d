// Short scenarios whose serial line is recorded as a trace: each drives one of
// the agent's procedures against the emulated board at a fixed seed, so two
// runs put the same bytes on the wire (see WireOnly).
#pragma once

#include <string>
#include <vector>

namespace sim {

// bv (one BV port), ep-banks (one EP port, three banks), master (handshake and
// push), valens (a YMODEM run).
const std::vector<std::string>& TraceScenarioNames();

// Runs a scenario in this process with the agent's objects and writes its
// trace to path; false with *err when the scenario is unknown, the run did not
// complete or the trace cannot be written.
bool RecordTraceScenario(const std::string& name, unsigned seed, const std::string& path, std::string* err);

}  // namespace sim
