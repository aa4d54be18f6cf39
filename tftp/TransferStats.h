// What one upload achieved, filled in by the sender as it goes (also when it fails) and
// carried whole into every report; its JSON form (TransferStats.cpp) is the one every JSON
// document of the tools writes, so a new figure is a member here and a line there. All zero:
// no transfer began.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>

namespace tftp {

struct TransferStats {
    int64_t acknowledgedBytes = 0;
    int32_t windowSize = 0;          // granted
    int64_t retransmissions = 0;     // blocks and requests sent more than once
    int32_t blockSize = 0;           // granted: what the blocks carried
    int64_t timeouts = 0;            // waits that ran out, short and whole
    int64_t smoothedRoundTripUs = 0; // the retransmission timer's (0: none measured)
    int32_t finalWindow = 0;         // blocks sent back to back at the end: below the granted
                                     // window when a short queue on the path overflowed
    bool acknowledged = false;       // the last block's ACK came
    bool lastBlockSent = false;      // the last block went out at least once
};

// Flat members of the document they go into: "bytes", "blksize", "windowsize", ...
void to_json(nlohmann::json& j, const TransferStats& stats);
void from_json(const nlohmann::json& j, TransferStats& stats);

} // namespace tftp
