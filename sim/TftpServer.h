// TFTP write server of the simulated device (RFC 1350, 2347, 2348, 7440), with fault injection
// for tests. Plain C++/POSIX; embed it by constructing a SimTftpServer and calling Start().
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <netinet/in.h>

#include "posix/Fd.h"
#include "posix/Udp.h"

namespace sim {

// A datagram as built or received.
using Packet = std::vector<std::uint8_t>;

enum Opcode : std::uint16_t { OpRrq = 1, OpWrq = 2, OpData = 3, OpAck = 4, OpError = 5, OpOack = 6 };

// RFC 1350 error codes the server sends.
enum ErrorCode : std::uint16_t {
    ErrUndefined = 0,
    ErrNotFound = 1,
    ErrAccess = 2,
    ErrDiskFull = 3,
    ErrIllegal = 4,
    ErrUnknownTid = 5,
    ErrExists = 6,
    ErrNoUser = 7,
    ErrOptions = 8,
};

constexpr std::uint32_t MinBlksize = 8; // RFC 2348 range
constexpr std::uint32_t MaxBlksize = 65464;
constexpr std::uint16_t DefaultWindowLimit = 64; // largest window granted unless told otherwise

// ---- Packets: pure build/parse functions ----------------------------------------------

using Option = std::pair<std::string, std::string>;

struct Request {
    std::uint16_t opcode = 0; // OpRrq or OpWrq
    std::string filename;
    std::string mode;
    std::vector<Option> options; // in received order; names as sent
};

// Parses a read or write request. Name and mode must be zero-terminated; a trailing option
// without its terminator (or without a value) is dropped, as other servers do.
std::optional<Request> ParseRequest(std::span<const std::uint8_t> pkt);

Packet BuildAck(std::uint16_t block);
Packet BuildError(std::uint16_t code, std::string_view text);
Packet BuildOack(const std::vector<Option>& options);
// Also used by tests to play a client.
Packet BuildWrq(std::string_view filename, std::string_view mode, const std::vector<Option>& options);
Packet BuildData(std::uint16_t block, std::span<const std::uint8_t> payload);

// How the server answers the "blksize" option.
enum class BlksizeMode {
    Accept, // echo the asked value (clamped to the RFC 2348 range)
    Ignore, // plain ACK 0, 512-byte blocks
    Answer, // answer a fixed value, whatever was asked (may exceed the request: for tests)
};

struct Negotiation {
    std::uint32_t blksize = 512;
    std::uint16_t windowsize = 1;
    std::vector<Option> oack; // empty: answer with ACK 0
};

// Decides the answer to a write request's options. "blksize" is answered by `mode`;
// "windowsize" is granted up to windowLimit (0: left unanswered, so the client stays in
// lock-step). Other options (tsize, timeout, ...) are left out, which RFC 2347 allows.
Negotiation Negotiate(const Request& req, BlksizeMode mode, std::uint32_t answerBlksize,
                      std::uint16_t windowLimit = 0);

// ---- Receiving side of one write transfer: pure state machine ----------------------------

// The receiver keeps no block that is not the next in order (go-back-N): the client sends
// again from the block after the last one acknowledged.
struct WriteState {
    std::uint32_t blksize = 512;
    std::uint16_t windowsize = 1; // blocks the client sends before it waits for an ACK
    std::uint16_t expected = 1;   // block number of the next new DATA
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    bool complete = false;     // the short block arrived
    std::uint16_t unacked = 0; // blocks taken since the last ACK went out
    std::uint16_t gapNear = 0; // 0: no gap told since the last block in order; else the
                               // nearest distance ahead of `expected` seen since then
    std::uint16_t gapLast = 0; // the block ahead seen last, while gapNear is set
};

enum class Verdict {
    Next,       // the expected block: store payload, acknowledge
    Duplicate,  // the block just taken, again
    Gap,        // a later block of the window: the expected one went missing
    Stray,      // DATA with some other number
    Oversize,   // DATA longer than the negotiated block size
    PeerError,  // the client sent ERROR
    Malformed,  // shorter than a header
    Unexpected, // any other opcode
};

struct Incoming {
    Verdict verdict = Verdict::Malformed;
    std::uint16_t block = 0;               // DATA block number, or ERROR code
    std::span<const std::uint8_t> payload; // DATA payload (points into the packet)
    std::string errorText;                 // ERROR message
};

Incoming Classify(const WriteState& st, std::span<const std::uint8_t> pkt);
// Records an accepted Next block; returns the ACK to send now: at the end of a window and
// on the last block, none in between.
std::optional<std::uint16_t> Accept(WriteState& st, std::size_t payloadLen);
// For a Gap block: the ACK of the last block in order, once per pass of the client over
// the window (a block no further ahead than one already seen starts a new pass), and again
// for the block ahead seen last coming twice: the client probes, it is no window's tail.
std::optional<std::uint16_t> TellGap(WriteState& st, std::uint16_t block);
// The ACK that goes out after a time-out names the last block in order: a new window
// starts after it.
void Resynchronised(WriteState& st);

// ---- Which writes are taken, and where they are stored: pure ------------------------------

struct Admission {
    std::string path; // where the image goes; empty when the request is refused
    std::uint16_t errorCode = ErrUndefined;
    std::string errorText;
};

// Reads and modes other than octet/netascii are refused. "/" is the firmware slot (refused
// without one); any other name must be one plain name inside the directory (leading
// slashes dropped), and is refused without a directory.
Admission AdmitWrite(const Request& req, const std::string& slotFile, const std::string& directory);

// ---- The server -------------------------------------------------------------------------

struct SimTftpOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 69; // 0: ephemeral, see Port()
    std::string slotFile;    // where a write to "/" (the firmware slot) is stored
    std::string directory;   // other names are stored here; empty: such writes are refused
    BlksizeMode blksizeMode = BlksizeMode::Accept;
    std::uint32_t answerBlksize = 512;
    std::uint16_t windowLimit = DefaultWindowLimit; // 0: windowsize left unanswered
    int timeoutMs = 1000;                           // wait before retransmitting the last ACK/OACK
    int retries = 5;                                // retransmissions before giving up
    // After the last ACK, how long a repeated last block is still answered: a client that
    // waits for that ACK sends the block again only after its own time-out.
    int dallyMs = 10000;

    // Faults for tests.
    bool silent = false;       // never answer
    int errorAfterBlocks = -1; // >= 0: send ERROR instead of the ACK after this many blocks
    std::uint16_t errorCode = ErrUndefined;
    std::string errorText = "Simulated failure";
    // Not empty: an image whose first bytes are these is refused (ERROR instead of the first ACK).
    std::string refuseImagePrefix;
    bool noFinalAck = false;    // store the image but do not acknowledge the last block
    int duplicateAcks = 0;      // extra copies of every ACK/OACK sent
    int firstAck = -1;          // >= 0: answer the request with this ACK (no OACK)
    bool loseFinalData = false; // act as if the first copy of the last DATA was lost
    int ignoreRequests = 0;     // leave the first N requests unanswered
    // The device's service time: it works this long before every ACK of data it sends (it
    // writes the window to flash first), reading nothing meanwhile, so what arrives waits in
    // its receive buffer. Each wait is drawn anew from ackDelayMs to ackDelayMaxMs
    // (uniform, seeded by `seed`); a maximum at or below the minimum: always ackDelayMs.
    int ackDelayMs = 0;
    int ackDelayMaxMs = 0;
    double dropShare = 0.0; // share of packets dropped, each way
    double dupShare = 0.0;  // share of sent packets sent twice
    // A lossy link or a busy device, seeded and logged: shares of the transfer's datagrams
    // lost on arrival, and of the ACKs it sends lost on their way (on top of dropShare).
    double loseReceived = 0.0;
    double loseAcks = 0.0;
    // A device that stops reading to erase flash: pauseMs after every pauseEvery blocks taken.
    int pauseMs = 0;
    int pauseEvery = 0;
    // The transfer socket's receive buffer in bytes (0: room for two windows); a small one
    // drops what a window brings faster than the device reads.
    int receiveBuffer = 0;
    // Answer a repeat of the block last acknowledged with its ACK again; off, only the
    // time-out above recovers a lost ACK.
    bool answerRepeats = true;
    std::uint32_t seed = 1;

    std::function<void(const std::string&)> log; // default: one line to stderr
    // Called on the transfer's thread once an image is stored, before its last ACK goes out.
    std::function<void(const std::string& path)> onStored;
};

// The fault switches of the options as one transfer's receive loop asks them.
class TransferFaults {
public:
    explicit TransferFaults(const SimTftpOptions& opts) : opts_(opts), serviceTimes_(opts.seed) {}
    // The answer to the request, and the state it leaves: ACK firstAck when that fault is
    // set, else the negotiated OACK or ACK 0.
    Packet Opening(const Request& req, WriteState& st) const;
    // ERROR instead of the answer to the request.
    bool RefuseAtOnce() const { return opts_.errorAfterBlocks == 0; }
    // ERROR instead of the ACK once this many blocks were taken.
    bool RefuseAfter(std::uint64_t blocks) const
    {
        return opts_.errorAfterBlocks > 0 && blocks == static_cast<std::uint64_t>(opts_.errorAfterBlocks);
    }
    // ERROR instead of the ACK of the first block: the device does not take this image.
    bool RefuseImage(std::uint64_t blocks, std::span<const std::uint8_t> payload) const
    {
        const auto& prefix = opts_.refuseImagePrefix;
        return blocks == 1 && !prefix.empty() && payload.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), payload.begin());
    }
    // True once: for the first copy of the last block, which is then treated as lost.
    bool LoseLastBlock(bool last);
    bool WithholdFinalAck() const { return opts_.noFinalAck; }
    int ExtraAckCopies() const { return opts_.duplicateAcks; }
    // The device's work before the next ACK of data. Every transfer draws the same sequence
    // from the seed, so that runs of a benchmark meet the same device.
    std::chrono::microseconds ServiceTime();

private:
    const SimTftpOptions& opts_;
    bool lostLast_ = false;
    std::mt19937 serviceTimes_;
};

struct ReceivedImage {
    std::string remoteName;
    std::string path; // where it was stored
    std::uint64_t bytes = 0;
    std::uint32_t blksize = 0;
};

class SimTftpServer {
public:
    explicit SimTftpServer(SimTftpOptions opts);
    ~SimTftpServer(); // stops
    SimTftpServer(const SimTftpServer&) = delete;
    SimTftpServer& operator=(const SimTftpServer&) = delete;

    // Binds and starts serving on a thread of its own. Throws std::runtime_error if the
    // port cannot be bound.
    void Start();
    // Ends the listener and every transfer, and joins their threads. Idempotent.
    void Stop();
    std::uint16_t Port() const { return port_; }

    std::vector<ReceivedImage> Images() const; // completed writes, oldest first
    std::uint64_t RequestsSeen() const { return requests_.load(); }
    std::uint64_t RepeatsSeen() const { return repeats_.load(); } // requests taken as repeats

private:
    // What the listener knows of a transfer, to tell a repeated request from a new one
    // (members after `peer` under mu_).
    struct Session {
        sockaddr_in peer{};
        Packet request;                  // as received: a repeat is the same datagram
        std::shared_ptr<posix::Fd> sock; // the transfer's socket, once bound
        Packet opening;                  // its answer to the request, until data arrives
    };
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        std::shared_ptr<Session> session;
    };
    void Listen();
    bool AnswerRepeat(const sockaddr_in& peer, std::span<const std::uint8_t> request);
    void Reap(bool all);
    struct Transfer;
    enum class Step { Wait, Go, Dally, End }; // what the receive loop does next
    void RunTransfer(Request req, std::shared_ptr<Session> session);
    void ReceiveLoop(Transfer& t);
    // One datagram of the transfer's socket; false when the transfer has ended.
    bool TakeDatagram(Transfer& t, std::span<const std::uint8_t> pkt, const sockaddr_in& from);
    Step TakeBlock(Transfer& t, const Incoming& in);
    // Writes the blocks taken so far; false (after refusing the transfer) when it cannot.
    bool Flush(Transfer& t);
    // After the blocks taken are in the file: false when they could not be written.
    bool SendDataAck(Transfer& t, std::uint16_t block);
    void Refuse(Transfer& t, std::uint16_t code, const std::string& text);
    void Send(int fd, const Packet& pkt, const sockaddr_in& to, int extraCopies = 0);
    void Log(const std::string& line) const;
    bool Chance(double share);
    // The device's flash erase: no reading for pauseMs, unless stopped.
    void Pause(Transfer& t);
    // The transfer's thread works (reads nothing) for this long, unless stopped.
    void Busy(std::chrono::microseconds time) const;

    SimTftpOptions opts_;
    posix::Fd sock_;
    posix::Fd stopRead_, stopWrite_; // a pipe: readable once Stop() was called
    std::uint16_t port_ = 0;
    std::thread listener_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> repeats_{0};

    mutable std::mutex mu_; // guards the members below
    std::list<Worker> transfers_;
    std::vector<ReceivedImage> images_;
    std::mt19937 rng_;
};

} // namespace sim
