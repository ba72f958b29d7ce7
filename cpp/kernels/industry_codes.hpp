// Industry per (date, instrument) cell from classification records.
//
// A record says that from its start day on an instrument belongs to an
// industry, until the instrument's next record.  A versioned source
// restates its history in several versions; a record counts only when its
// version is the one in force on its start day.
#pragma once

#include <cstdint>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// The version of a versioned classification in force for a record starting
// at `start_ns` (nanoseconds since 1970-01-01): 1 up to and including
// 2014-01-01, 2 after that up to and including 2021-07-31, 3 after that.
std::int32_t classification_version_in_force(std::int64_t start_ns);

struct ClassificationRecords {
    const std::int64_t *instrument = nullptr;  // grid column; negative: not in the grid
    const std::int64_t *start = nullptr;       // nanoseconds since 1970-01-01
    const std::int32_t *code = nullptr;        // what the record's cells get
    const std::int32_t *version = nullptr;     // null for an unversioned source
    index_t count = 0;
};

// out[t * n_inst + j]: the code of instrument j's latest counted record
// starting on or before dates[t] (a record starting that day counts; among
// records of one instrument starting the same day the last one given wins),
// `unclassified` when it has none, `unlisted` where `listed` (same layout,
// may be null) is zero.  Dates need not be sorted.  Blocks of dates are
// shared out over up to `threads` threads.
void industry_codes(const ClassificationRecords &records, const std::int64_t *dates,
                    index_t n_dates, index_t n_inst, const std::uint8_t *listed,
                    std::int32_t unclassified, std::int32_t unlisted, std::int32_t *out,
                    int threads = 1);

}  // namespace tarnfold::kern
