// How one device's upgrade ended, and the one name each result goes by in every report,
// log and JSON document of our tools.
#pragma once

#include <optional>
#include <string_view>

namespace upgrade {

enum class Result {
    Done,
    AlreadyDone,  // done in an earlier run with the same image (--skip-done); not started
    WouldUpgrade, // dry run: found and took the password; nothing was written
    NoDevice,
    AddressConflict, // several devices answer for the address: none is written
    PasswordRefused,
    PasswordTimeout,
    TftpError, // the device's ERROR packet, or an answer the client cannot work with
    Timeout,   // no answer within the tries, or no acknowledgement of the last block
    LocalError,
    Interrupted,
    Skipped,        // never started: the canary failed or too many devices failed
    NotRestarted,   // written, but it kept answering through the whole --wait-back
    AddressChanged, // came back from another hardware address than the one checked
    // The whole image went out but its last block was never acknowledged (the device may
    // have restarted at once, or dropped it): never written again blindly.
    Unconfirmed,
    BackUnconfirmed, // such a device then fell silent and came back: likely taken, not confirmed
    PartialWrite,    // a second stop aborted the write: the device holds part of the image
    // Several addresses answer from one hardware address: a password request, which goes to
    // the hardware address, would reach them all. None is asked or written.
    DuplicateMac,
    WrongModel // the signed image names other models than the device's discovery name
};
constexpr Result LastResult = Result::WrongModel;

// "done", "tftp-error", ...: a new result is one more row in the table behind these.
std::string_view ResultName(Result result);
std::optional<Result> ResultFromName(std::string_view name);

} // namespace upgrade
