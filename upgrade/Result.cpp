#include "upgrade/Result.h"

#include <array>
#include <cstddef>

namespace upgrade {

namespace {

struct ResultRow {
    Result result;
    std::string_view name;
};

constexpr std::array<ResultRow, static_cast<size_t>(LastResult) + 1> Rows = {{
    {Result::Done, "done"},
    {Result::AlreadyDone, "already-done"},
    {Result::WouldUpgrade, "would-upgrade"},
    {Result::NoDevice, "no-device"},
    {Result::AddressConflict, "address-conflict"},
    {Result::PasswordRefused, "password-refused"},
    {Result::PasswordTimeout, "password-timeout"},
    {Result::TftpError, "tftp-error"},
    {Result::Timeout, "timeout"},
    {Result::LocalError, "local-error"},
    {Result::Interrupted, "interrupted"},
    {Result::Skipped, "skipped"},
    {Result::NotRestarted, "not-restarted"},
    {Result::AddressChanged, "address-changed"},
    {Result::Unconfirmed, "unconfirmed"},
    {Result::BackUnconfirmed, "back-unconfirmed"},
    {Result::PartialWrite, "partial-write"},
    {Result::DuplicateMac, "duplicate-mac"},
    {Result::WrongModel, "wrong-model"},
}};

// A row out of its place would name another result.
constexpr bool InEnumOrder()
{
    for (size_t i = 0; i < Rows.size(); ++i)
        if (static_cast<size_t>(Rows[i].result) != i || Rows[i].name.empty()) return false;
    return true;
}
static_assert(InEnumOrder(), "one row per Result, in the order of the enum");

} // namespace

std::string_view ResultName(Result result)
{
    return Rows[static_cast<size_t>(result)].name;
}

std::optional<Result> ResultFromName(std::string_view name)
{
    for (const ResultRow& row : Rows)
        if (row.name == name) return row.result;
    return std::nullopt;
}

} // namespace upgrade
