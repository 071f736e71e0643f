// Batches of a generalized model's trials on the process-wide worker pool.
// Trial i reads only stream i of the seed (the streams of simulate_ddm), draws
// its drift offset, start and non-decision time from the model's ranges, then
// steps through the tables: its outcome depends on nothing but the tables, the
// ranges, the seed and i, whatever the number of threads.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "model/parameters.hpp"
#include "model/step_tables.hpp"
#include "parallel/interruption.hpp"
#include "simulation/trial_storage.hpp"

namespace ventrola {

// `ranges` gives the drift (whose value is the tables' drift, used to centre
// the drawn offset), the starting point and its range, the non-decision time
// and its range, the drift's deviation and the boundary separation. The n
// trials' choices and response times, those still undecided at the tables'
// end left out. Validates nothing. MemoryError when the columns cannot be
// reserved; Interrupted when the interruption stops the batch.
Result<SimulatedData> simulate_tabulated_trials(const FullModelParams& ranges, const StepTables& tables,
                                                std::uint64_t n, std::uint64_t seed, Interruption& interruption);

}  // namespace ventrola
