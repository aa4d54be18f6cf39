// TFTP write server of the simulated device (RFC 1350, 2347, 2348), with fault injection
// for tests. Plain C++/POSIX; embed it by constructing a SimTftpServer and calling Start().
#pragma once

#include <atomic>
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

namespace simtftp {

using Bytes = std::vector<std::uint8_t>;

enum Opcode : std::uint16_t { kRrq = 1, kWrq = 2, kData = 3, kAck = 4, kError = 5, kOack = 6 };

// RFC 1350 error codes the server sends.
enum ErrorCode : std::uint16_t {
  kErrUndefined = 0,
  kErrNotFound = 1,
  kErrAccess = 2,
  kErrDiskFull = 3,
  kErrIllegal = 4,
  kErrUnknownTid = 5,
  kErrExists = 6,
  kErrNoUser = 7,
  kErrOptions = 8,
};

constexpr std::uint32_t kMinBlksize = 8;      // RFC 2348 range
constexpr std::uint32_t kMaxBlksize = 65464;

// ---- Packets: pure build/parse functions ----------------------------------------------

using Option = std::pair<std::string, std::string>;

struct Request {
  std::uint16_t opcode = 0;  // kRrq or kWrq
  std::string filename;
  std::string mode;
  std::vector<Option> options;  // in received order; names as sent
};

// Parses a read or write request. Name and mode must be zero-terminated; a trailing option
// without its terminator (or without a value) is dropped, as other servers do.
std::optional<Request> ParseRequest(std::span<const std::uint8_t> pkt);

Bytes BuildAck(std::uint16_t block);
Bytes BuildError(std::uint16_t code, std::string_view text);
Bytes BuildOack(const std::vector<Option>& options);
// Also used by tests to play a client.
Bytes BuildWrq(std::string_view filename, std::string_view mode, const std::vector<Option>& options);
Bytes BuildData(std::uint16_t block, std::span<const std::uint8_t> payload);

// How the server answers the "blksize" option.
enum class BlksizeMode {
  kAccept,  // echo the asked value (clamped to the RFC 2348 range)
  kIgnore,  // plain ACK 0, 512-byte blocks
  kAnswer,  // answer a fixed value, whatever was asked (may exceed the request: for tests)
};

struct Negotiation {
  std::uint32_t blksize = 512;
  std::vector<Option> oack;  // empty: answer with ACK 0
};

// Decides the answer to a write request's options. Only "blksize" is acknowledged; other
// options (tsize, timeout, ...) are left out of the answer, which RFC 2347 allows.
Negotiation Negotiate(const Request& req, BlksizeMode mode, std::uint32_t answerBlksize);

// ---- Receiving side of one write transfer: pure state machine ----------------------------

struct WriteState {
  std::uint32_t blksize = 512;
  std::uint16_t expected = 1;  // block number of the next new DATA
  std::uint64_t bytes = 0;
  std::uint64_t blocks = 0;
  bool complete = false;  // the short block arrived
};

enum class Verdict {
  kNext,       // the expected block: store payload, acknowledge
  kDuplicate,  // the block just acknowledged, again
  kStray,      // DATA with some other number
  kOversize,   // DATA longer than the negotiated block size
  kPeerError,  // the client sent ERROR
  kMalformed,  // shorter than a header
  kUnexpected, // any other opcode
};

struct Incoming {
  Verdict verdict = Verdict::kMalformed;
  std::uint16_t block = 0;                 // DATA block number, or ERROR code
  std::span<const std::uint8_t> payload;   // DATA payload (points into the packet)
  std::string errorText;                   // ERROR message
};

Incoming Classify(const WriteState& st, std::span<const std::uint8_t> pkt);
// Records an accepted kNext block; returns the ACK number to send.
std::uint16_t Accept(WriteState& st, std::size_t payloadLen);

// ---- Small POSIX helpers ------------------------------------------------------------------

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) { Reset(); fd_ = std::exchange(o.fd_, -1); }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_ = -1;
};

// IPv4 datagram socket bound to addr:port (port 0 = ephemeral). Throws std::runtime_error.
Fd BindUdp(const std::string& addr, std::uint16_t port);
std::uint16_t LocalPort(int fd);
sockaddr_in MakeAddr(const std::string& addr, std::uint16_t port);
std::string AddrText(const sockaddr_in& a);  // "a.b.c.d:port"

// ---- The server -------------------------------------------------------------------------

struct SimTftpOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 69;  // 0: ephemeral, see Port()
  std::string slotFile;     // where a write to "/" (the firmware slot) is stored
  std::string directory;    // other names are stored here; empty: such writes are refused
  BlksizeMode blksizeMode = BlksizeMode::kAccept;
  std::uint32_t answerBlksize = 512;
  int timeoutMs = 1000;  // wait before retransmitting the last ACK/OACK
  int retries = 5;       // retransmissions before giving up

  // Faults for tests.
  bool silent = false;           // never answer
  int errorAfterBlocks = -1;     // >= 0: send ERROR instead of the ACK after this many blocks
  std::uint16_t errorCode = kErrUndefined;
  std::string errorText = "Simulated failure";
  bool noFinalAck = false;       // store the image but do not acknowledge the last block
  int duplicateAcks = 0;         // extra copies of every ACK/OACK sent
  int firstAck = -1;             // >= 0: answer the request with this ACK (no OACK)
  bool loseFinalData = false;    // act as if the first copy of the last DATA was lost
  double dropShare = 0.0;        // share of packets dropped, each way
  double dupShare = 0.0;         // share of sent packets sent twice
  std::uint32_t seed = 1;

  std::function<void(const std::string&)> log;  // default: one line to stderr
};

struct ReceivedImage {
  std::string remoteName;
  std::string path;  // where it was stored
  std::uint64_t bytes = 0;
  std::uint32_t blksize = 0;
};

class SimTftpServer {
 public:
  explicit SimTftpServer(SimTftpOptions opts);
  ~SimTftpServer();  // stops
  SimTftpServer(const SimTftpServer&) = delete;
  SimTftpServer& operator=(const SimTftpServer&) = delete;

  // Binds and starts serving on a thread of its own. Throws std::runtime_error if the
  // port cannot be bound.
  void Start();
  // Ends the listener and every transfer, and joins their threads. Idempotent.
  void Stop();
  std::uint16_t Port() const { return port_; }

  std::vector<ReceivedImage> Images() const;  // completed writes, oldest first
  std::uint64_t RequestsSeen() const { return requests_.load(); }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void Listen();
  void Reap(bool all);
  void RunTransfer(Request req, sockaddr_in peer);
  void Send(int fd, const Bytes& pkt, const sockaddr_in& to, int extraCopies = 0);
  void Log(const std::string& line) const;
  bool Chance(double share);

  SimTftpOptions opts_;
  Fd sock_;
  Fd stopRead_, stopWrite_;  // a pipe: readable once Stop() was called
  std::uint16_t port_ = 0;
  std::thread listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> requests_{0};

  mutable std::mutex mu_;  // guards the members below
  std::list<Worker> transfers_;
  std::vector<ReceivedImage> images_;
  std::mt19937 rng_;
};

}  // namespace simtftp
