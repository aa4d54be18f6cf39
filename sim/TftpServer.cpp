#include "TftpServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace simtftp {

namespace {

void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v & 0xff));
}

std::uint16_t Get16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]);
}

void PutText(Bytes& b, std::string_view s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

// Reads a zero-terminated text at `at`; nullopt if the terminator is missing.
std::optional<std::string> TakeText(std::span<const std::uint8_t> p, std::size_t& at) {
  auto it = std::find(p.begin() + static_cast<std::ptrdiff_t>(at), p.end(), std::uint8_t{0});
  if (it == p.end()) return std::nullopt;
  std::string s(p.begin() + static_cast<std::ptrdiff_t>(at), it);
  at = static_cast<std::size_t>(it - p.begin()) + 1;
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool SamePeer(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

using Clock = std::chrono::steady_clock;

}  // namespace

// ---- Packets ------------------------------------------------------------------------------

std::optional<Request> ParseRequest(std::span<const std::uint8_t> pkt) {
  if (pkt.size() < 4) return std::nullopt;
  Request r;
  r.opcode = Get16(pkt, 0);
  if (r.opcode != kRrq && r.opcode != kWrq) return std::nullopt;
  std::size_t at = 2;
  auto name = TakeText(pkt, at);
  if (!name) return std::nullopt;
  auto mode = TakeText(pkt, at);
  if (!mode) return std::nullopt;
  r.filename = std::move(*name);
  r.mode = std::move(*mode);
  while (at < pkt.size()) {
    auto key = TakeText(pkt, at);
    if (!key) break;
    auto value = at < pkt.size() ? TakeText(pkt, at) : std::nullopt;
    if (!value) break;
    r.options.emplace_back(std::move(*key), std::move(*value));
  }
  return r;
}

Bytes BuildAck(std::uint16_t block) {
  Bytes b;
  Put16(b, kAck);
  Put16(b, block);
  return b;
}

Bytes BuildError(std::uint16_t code, std::string_view text) {
  Bytes b;
  Put16(b, kError);
  Put16(b, code);
  PutText(b, text);
  return b;
}

Bytes BuildOack(const std::vector<Option>& options) {
  Bytes b;
  Put16(b, kOack);
  for (const auto& [k, v] : options) {
    PutText(b, k);
    PutText(b, v);
  }
  return b;
}

Bytes BuildWrq(std::string_view filename, std::string_view mode, const std::vector<Option>& options) {
  Bytes b;
  Put16(b, kWrq);
  PutText(b, filename);
  PutText(b, mode);
  for (const auto& [k, v] : options) {
    PutText(b, k);
    PutText(b, v);
  }
  return b;
}

Bytes BuildData(std::uint16_t block, std::span<const std::uint8_t> payload) {
  Bytes b;
  b.reserve(4 + payload.size());
  Put16(b, kData);
  Put16(b, block);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Negotiation Negotiate(const Request& req, BlksizeMode mode, std::uint32_t answerBlksize) {
  Negotiation n;
  for (const auto& [key, value] : req.options) {
    if (!EqualNoCase(key, "blksize")) continue;
    if (mode == BlksizeMode::kIgnore) break;
    if (mode == BlksizeMode::kAnswer) {
      n.blksize = answerBlksize;
    } else {
      // Digits only: a value we cannot read is left unanswered, so 512-byte blocks apply.
      if (value.empty() || value.size() > 9 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        break;
      unsigned long asked = std::stoul(value);
      if (asked < kMinBlksize) break;
      n.blksize = static_cast<std::uint32_t>(std::min<unsigned long>(asked, kMaxBlksize));
    }
    n.oack.emplace_back(key, std::to_string(n.blksize));
    break;
  }
  return n;
}

// ---- Write state machine -----------------------------------------------------------------

Incoming Classify(const WriteState& st, std::span<const std::uint8_t> pkt) {
  Incoming in;
  if (pkt.size() < 4) return in;  // kMalformed
  const std::uint16_t op = Get16(pkt, 0);
  in.block = Get16(pkt, 2);
  if (op == kError) {
    in.verdict = Verdict::kPeerError;
    auto body = pkt.subspan(4);
    auto end = std::find(body.begin(), body.end(), std::uint8_t{0});
    in.errorText.assign(body.begin(), end);
    return in;
  }
  if (op != kData) {
    in.verdict = Verdict::kUnexpected;
    return in;
  }
  in.payload = pkt.subspan(4);
  if (in.block == st.expected && !st.complete) {
    in.verdict = in.payload.size() > st.blksize ? Verdict::kOversize : Verdict::kNext;
  } else if (in.block == static_cast<std::uint16_t>(st.expected - 1)) {
    in.verdict = Verdict::kDuplicate;
  } else {
    in.verdict = Verdict::kStray;
  }
  return in;
}

std::uint16_t Accept(WriteState& st, std::size_t payloadLen) {
  const std::uint16_t acked = st.expected;
  st.bytes += payloadLen;
  st.blocks += 1;
  st.expected = static_cast<std::uint16_t>(st.expected + 1);
  st.complete = payloadLen < st.blksize;
  return acked;
}

// ---- POSIX helpers -----------------------------------------------------------------------

void Fd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

sockaddr_in MakeAddr(const std::string& addr, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + addr);
  return a;
}

std::string AddrText(const sockaddr_in& a) {
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
  return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

Fd BindUdp(const std::string& addr, std::uint16_t port) {
  sockaddr_in a = MakeAddr(addr, port);
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) throw std::runtime_error(Errno("socket"));
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error(Errno(("bind " + AddrText(a)).c_str()));
  return fd;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

// ---- Server ------------------------------------------------------------------------------

SimTftpServer::SimTftpServer(SimTftpOptions opts) : opts_(std::move(opts)), rng_(opts_.seed) {}

SimTftpServer::~SimTftpServer() { Stop(); }

void SimTftpServer::Log(const std::string& line) const {
  if (opts_.log) {
    opts_.log(line);
  } else {
    std::fprintf(stderr, "[simtftpd] %s\n", line.c_str());
  }
}

bool SimTftpServer::Chance(double share) {
  if (share <= 0.0) return false;
  std::lock_guard lock(mu_);
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < share;
}

void SimTftpServer::Start() {
  if (listener_.joinable()) return;
  sock_ = BindUdp(opts_.address, opts_.port);
  port_ = LocalPort(sock_.Get());
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe"));
  stopRead_ = Fd(p[0]);
  stopWrite_ = Fd(p[1]);
  stopping_ = false;
  Log("listening on " + opts_.address + ":" + std::to_string(port_));
  listener_ = std::thread([this] { Listen(); });
}

void SimTftpServer::Stop() {
  if (!listener_.joinable()) return;
  stopping_ = true;
  const char c = 'x';
  (void)!::write(stopWrite_.Get(), &c, 1);
  listener_.join();
  Reap(true);
  sock_.Reset();
  stopRead_.Reset();
  stopWrite_.Reset();
}

void SimTftpServer::Reap(bool all) {
  std::list<Worker> finished;
  {
    std::lock_guard lock(mu_);
    for (auto it = transfers_.begin(); it != transfers_.end();) {
      auto next = std::next(it);
      if (all || it->done->load()) finished.splice(finished.end(), transfers_, it);
      it = next;
    }
  }
  for (auto& w : finished) w.thread.join();
}

std::vector<ReceivedImage> SimTftpServer::Images() const {
  std::lock_guard lock(mu_);
  return images_;
}

void SimTftpServer::Send(int fd, const Bytes& pkt, const sockaddr_in& to, int extraCopies) {
  if (Chance(opts_.dropShare)) return;
  int copies = 1 + extraCopies + (Chance(opts_.dupShare) ? 1 : 0);
  for (int i = 0; i < copies; ++i)
    ::sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SimTftpServer::Listen() {
  std::vector<std::uint8_t> buf(65536);
  for (;;) {
    pollfd fds[2] = {{sock_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log(Errno("poll"));
      return;
    }
    if (fds[1].revents) return;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ssize_t n = ::recvfrom(sock_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
    if (n < 0) continue;
    auto req = ParseRequest(std::span(buf.data(), static_cast<std::size_t>(n)));
    if (!req) {
      Log("ignored a " + std::to_string(n) + "-byte datagram from " + AddrText(peer) + " (no request)");
      continue;
    }
    ++requests_;
    std::string opts;
    for (const auto& [k, v] : req->options) opts += " " + k + "=" + v;
    Log(std::string(req->opcode == kWrq ? "WRQ" : "RRQ") + " \"" + req->filename + "\" " + req->mode +
        opts + " from " + AddrText(peer));
    if (opts_.silent) {
      Log("not answering (silent)");
      continue;
    }
    if (Chance(opts_.dropShare)) {
      Log("request dropped");
      continue;
    }
    Reap(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mu_);
    transfers_.push_back(Worker{std::thread([this, r = std::move(*req), peer, done]() mutable {
                                  try {
                                    RunTransfer(std::move(r), peer);
                                  } catch (const std::exception& e) {
                                    Log(std::string("transfer failed: ") + e.what());
                                  }
                                  done->store(true);
                                }),
                                done});
  }
}

void SimTftpServer::RunTransfer(Request req, sockaddr_in peer) {
  Fd sock = BindUdp(opts_.address, 0);  // the transfer's own TID
  const int fd = sock.Get();
  auto refuse = [&](std::uint16_t code, const std::string& text) {
    Log("ERROR " + std::to_string(code) + " \"" + text + "\" to " + AddrText(peer));
    Send(fd, BuildError(code, text), peer);
  };

  if (req.opcode == kRrq) return refuse(kErrAccess, "Only writes are accepted");
  if (!EqualNoCase(req.mode, "octet") && !EqualNoCase(req.mode, "netascii"))
    return refuse(kErrIllegal, "Unknown transfer mode");

  // "/" is the firmware slot; anything else is a plain name inside the directory.
  std::string path;
  if (req.filename == "/") {
    if (opts_.slotFile.empty()) return refuse(kErrAccess, "No firmware slot");
    path = opts_.slotFile;
  } else {
    std::string name = req.filename;
    name.erase(0, name.find_first_not_of('/'));
    if (opts_.directory.empty() || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos)
      return refuse(kErrAccess, "Access violation");
    path = opts_.directory + "/" + name;
  }
  const std::string part = path + ".part";
  Fd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out) return refuse(kErrAccess, Errno("open"));
  struct PartGuard {  // an unfinished image never stays behind
    const std::string& p;
    bool keep = false;
    ~PartGuard() { if (!keep) ::unlink(p.c_str()); }
  } guard{part};

  WriteState st;
  Bytes reply;
  if (opts_.firstAck >= 0) {
    st.expected = static_cast<std::uint16_t>(opts_.firstAck + 1);
    reply = BuildAck(static_cast<std::uint16_t>(opts_.firstAck));
  } else {
    Negotiation n = Negotiate(req, opts_.blksizeMode, opts_.answerBlksize);
    st.blksize = n.blksize;
    reply = n.oack.empty() ? BuildAck(0) : BuildOack(n.oack);
  }
  Log("transfer port " + std::to_string(LocalPort(fd)) + ", blksize " + std::to_string(st.blksize));
  if (opts_.errorAfterBlocks == 0) return refuse(opts_.errorCode, opts_.errorText);
  Send(fd, reply, peer, opts_.duplicateAcks);

  std::vector<std::uint8_t> buf(65536);
  auto deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
  int tries = 0;
  bool lostFinal = false;
  std::uint64_t ignored = 0;
  // While dallying after the last ACK, only a repeated last block is answered.
  bool dallying = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
    int pr = ::poll(fds, 2, static_cast<int>(std::max<long long>(left, 0)));
    if (pr < 0 && errno == EINTR) continue;
    if (fds[1].revents) return;
    if (pr == 0) {
      if (dallying) return;
      if (tries >= opts_.retries) {
        Log("gave up after " + std::to_string(tries) + " retransmissions, " + std::to_string(st.bytes) +
            " bytes received");
        return;
      }
      ++tries;
      Send(fd, reply, peer, opts_.duplicateAcks);
      deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
      continue;
    }
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    if (!SamePeer(from, peer)) {
      Send(fd, BuildError(kErrUnknownTid, "Unknown transfer ID"), from);
      continue;
    }
    if (Chance(opts_.dropShare)) continue;
    Incoming in = Classify(st, std::span(buf.data(), static_cast<std::size_t>(n)));
    if (dallying) {
      if (in.verdict == Verdict::kDuplicate && !opts_.noFinalAck) Send(fd, reply, peer);
      continue;
    }
    switch (in.verdict) {
      case Verdict::kNext: {
        const bool last = in.payload.size() < st.blksize;
        if (last && opts_.loseFinalData && !lostFinal) {
          lostFinal = true;
          Log("last block " + std::to_string(in.block) + " dropped on purpose");
          continue;
        }
        if (!in.payload.empty() &&
            ::write(out.Get(), in.payload.data(), in.payload.size()) != static_cast<ssize_t>(in.payload.size()))
          return refuse(kErrDiskFull, Errno("write"));
        reply = BuildAck(Accept(st, in.payload.size()));
        tries = 0;
        deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
        if (opts_.errorAfterBlocks > 0 && st.blocks == static_cast<std::uint64_t>(opts_.errorAfterBlocks))
          return refuse(opts_.errorCode, opts_.errorText);
        if (st.complete) {
          out.Reset();
          if (::rename(part.c_str(), path.c_str()) != 0) return refuse(kErrAccess, Errno("rename"));
          guard.keep = true;
          {
            std::lock_guard lock(mu_);
            images_.push_back({req.filename, path, st.bytes, st.blksize});
          }
          Log("received \"" + req.filename + "\": " + std::to_string(st.bytes) + " bytes in " +
              std::to_string(st.blocks) + " blocks -> " + path +
              (ignored ? ", " + std::to_string(ignored) + " repeated/stray packets ignored" : ""));
          if (opts_.noFinalAck) {
            Log("last ACK withheld");
          } else {
            Send(fd, reply, peer, opts_.duplicateAcks);
          }
          dallying = true;
          continue;
        }
        Send(fd, reply, peer, opts_.duplicateAcks);
        break;
      }
      case Verdict::kDuplicate:
      case Verdict::kStray:
        // Answering repeats would double every later packet (sorcerer's apprentice) with a
        // client that resends on duplicate ACKs; the time-out above recovers lost ACKs.
        ++ignored;
        break;
      case Verdict::kOversize:
        return refuse(kErrIllegal, "Block larger than negotiated");
      case Verdict::kPeerError:
        Log("client sent ERROR " + std::to_string(in.block) + " \"" + in.errorText + "\"");
        return;
      case Verdict::kUnexpected:
        return refuse(kErrIllegal, "Illegal TFTP operation");
      case Verdict::kMalformed:
        ++ignored;
        break;
    }
  }
}

}  // namespace simtftp
