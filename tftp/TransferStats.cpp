#include "tftp/TransferStats.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace tftp {

void to_json(nlohmann::json& j, const TransferStats& s)
{
    j = {{"bytes", s.acknowledgedBytes},
         {"windowsize", s.windowSize},
         {"retransmissions", s.retransmissions},
         {"blksize", s.blockSize},
         {"timeouts", s.timeouts},
         {"round_trip_ms", static_cast<double>(s.smoothedRoundTripUs) / 1000.0},
         {"final_window", s.finalWindow},
         {"acknowledged", s.acknowledged},
         {"last_block_sent", s.lastBlockSent}};
}

void from_json(const nlohmann::json& j, TransferStats& s)
{
    j.at("bytes").get_to(s.acknowledgedBytes);
    j.at("windowsize").get_to(s.windowSize);
    j.at("retransmissions").get_to(s.retransmissions);
    j.at("blksize").get_to(s.blockSize);
    j.at("timeouts").get_to(s.timeouts);
    s.smoothedRoundTripUs = std::llround(j.at("round_trip_ms").get<double>() * 1000.0);
    j.at("final_window").get_to(s.finalWindow);
    j.at("acknowledged").get_to(s.acknowledged);
    j.at("last_block_sent").get_to(s.lastBlockSent);
}

} // namespace tftp
