#include "cli/JobEvents.h"

#include <nlohmann/json.hpp>

namespace fleet {

namespace {

using nlohmann::json;

template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

json ToJson(const JobEvent& event)
{
    return std::visit(Overloaded{
                          [](const FoundEvent& e) -> json {
                              return {{"e", "found"},
                                      {"mac", e.device.mac},
                                      {"name", e.device.name},
                                      {"protocols", e.device.protocols}};
                          },
                          [](const AcceptedEvent&) -> json {
                              return {{"e", "accepted"}};
                          },
                          [](const ProgressEvent& e) -> json {
                              return {{"e", "progress"}, {"bytes", e.bytes}};
                          },
                          [](const WaitingBackEvent& e) -> json {
                              return {{"e", "waiting-back"}, {"seconds", e.seconds}};
                          },
                          [](const BackEvent& e) -> json {
                              return {{"e", "back"}, {"seconds", e.seconds}};
                          },
                          [](const NotBackEvent&) -> json {
                              return {{"e", "not-back"}};
                          },
                          [](const SilentEvent& e) -> json {
                              return {{"e", "silent"}, {"seconds", e.seconds}};
                          },
                          [](const PinnedEvent& e) -> json {
                              return {{"e", "pinned"}, {"dev", e.dev}, {"mac", e.mac}};
                          },
                          [](const UnpinnedEvent&) -> json {
                              return {{"e", "unpinned"}};
                          },
                          [](const DroppedEvent& e) -> json {
                              return {{"e", "dropped"}, {"answers", e.answers}};
                          },
                          [](const ResultEvent& e) -> json {
                              json j = e.transfer;
                              j["e"] = "result";
                              j["result"] = ResultName(e.result);
                              j["message"] = e.message;
                              return j;
                          },
                      },
                      event);
}

JobEvent FromJson(const json& j)
{
    const std::string kind = j.at("e").get<std::string>();
    if (kind == "found")
        return FoundEvent{{{},
                           j.at("mac").get<std::string>(),
                           j.at("name").get<std::string>(),
                           j.at("protocols").get<std::vector<uint8_t>>()}};
    if (kind == "accepted") return AcceptedEvent{};
    if (kind == "progress") return ProgressEvent{j.at("bytes").get<uint64_t>()};
    if (kind == "waiting-back") return WaitingBackEvent{j.at("seconds").get<int32_t>()};
    if (kind == "back") return BackEvent{j.at("seconds").get<double>()};
    if (kind == "not-back") return NotBackEvent{};
    if (kind == "silent") return SilentEvent{j.at("seconds").get<double>()};
    if (kind == "pinned") return PinnedEvent{j.at("dev").get<std::string>(), j.at("mac").get<std::string>()};
    if (kind == "unpinned") return UnpinnedEvent{};
    if (kind == "dropped") return DroppedEvent{j.at("answers").get<uint64_t>()};
    if (kind == "result") {
        const auto result = ResultFromName(j.at("result").get<std::string>());
        if (!result) throw std::invalid_argument("unknown result");
        return ResultEvent{*result, j.at("message").get<std::string>(), j.get<tftp::TransferStats>()};
    }
    throw std::invalid_argument("unknown event");
}

} // namespace

std::string EncodeEvent(const JobEvent& event)
{
    // Texts are UTF-8 already; the replacement only guards against a device's stray bytes.
    return ToJson(event).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<JobEvent> DecodeEvent(std::string_view line)
{
    if (line.empty() || line.front() != '{') return std::nullopt;
    const json j = json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("e")) return std::nullopt;
    try {
        return FromJson(j);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> LineReader::Next()
{
    const size_t end = pending_.find('\n', scanned_);
    if (end == std::string::npos) {
        if (pending_.size() < MaxLine) {
            scanned_ = pending_.size();
            return std::nullopt;
        }
        std::string piece = pending_.substr(0, MaxLine);
        pending_.erase(0, MaxLine);
        scanned_ = 0;
        return piece;
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    scanned_ = 0;
    return line;
}

} // namespace fleet
