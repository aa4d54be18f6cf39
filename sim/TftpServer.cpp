#include "sim/TftpServer.h"

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

namespace sim {

using posix::AddrText;
using posix::BindUdp;
using posix::Fd;
using posix::LocalPort;

namespace {

void Put16(Packet& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
}

std::uint16_t Get16(std::span<const std::uint8_t> p, std::size_t at)
{
    return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]);
}

void PutText(Packet& b, std::string_view s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

// Reads a zero-terminated text at `at`; nullopt if the terminator is missing.
std::optional<std::string> TakeText(std::span<const std::uint8_t> p, std::size_t& at)
{
    auto it = std::find(p.begin() + static_cast<std::ptrdiff_t>(at), p.end(), std::uint8_t{0});
    if (it == p.end()) return std::nullopt;
    std::string s(p.begin() + static_cast<std::ptrdiff_t>(at), it);
    at = static_cast<std::size_t>(it - p.begin()) + 1;
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool SamePeer(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

using Clock = std::chrono::steady_clock;

} // namespace

// ---- Packets ------------------------------------------------------------------------------

std::optional<Request> ParseRequest(std::span<const std::uint8_t> pkt)
{
    if (pkt.size() < 4) return std::nullopt;
    Request r;
    r.opcode = Get16(pkt, 0);
    if (r.opcode != OpRrq && r.opcode != OpWrq) return std::nullopt;
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

Packet BuildAck(std::uint16_t block)
{
    Packet b;
    Put16(b, OpAck);
    Put16(b, block);
    return b;
}

Packet BuildError(std::uint16_t code, std::string_view text)
{
    Packet b;
    Put16(b, OpError);
    Put16(b, code);
    PutText(b, text);
    return b;
}

Packet BuildOack(const std::vector<Option>& options)
{
    Packet b;
    Put16(b, OpOack);
    for (const auto& [k, v] : options) {
        PutText(b, k);
        PutText(b, v);
    }
    return b;
}

Packet BuildWrq(std::string_view filename, std::string_view mode, const std::vector<Option>& options)
{
    Packet b;
    Put16(b, OpWrq);
    PutText(b, filename);
    PutText(b, mode);
    for (const auto& [k, v] : options) {
        PutText(b, k);
        PutText(b, v);
    }
    return b;
}

Packet BuildData(std::uint16_t block, std::span<const std::uint8_t> payload)
{
    Packet b;
    b.reserve(4 + payload.size());
    Put16(b, OpData);
    Put16(b, block);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

namespace {

// A decimal option value of at most nine digits; nullopt for anything else.
std::optional<unsigned long> OptionNumber(const std::string& value)
{
    if (value.empty() || value.size() > 9 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoul(value);
}

} // namespace

Negotiation Negotiate(const Request& req, BlksizeMode mode, std::uint32_t answerBlksize, std::uint16_t windowLimit)
{
    Negotiation n;
    bool blksizeSeen = false, windowSeen = false;
    for (const auto& [key, value] : req.options) {
        if (EqualNoCase(key, "blksize") && !blksizeSeen) {
            blksizeSeen = true;
            if (mode == BlksizeMode::Ignore) continue;
            if (mode == BlksizeMode::Answer) {
                n.blksize = answerBlksize;
            } else {
                // A value we cannot read is left unanswered, so 512-byte blocks apply.
                auto asked = OptionNumber(value);
                if (!asked || *asked < MinBlksize) continue;
                n.blksize = static_cast<std::uint32_t>(std::min<unsigned long>(*asked, MaxBlksize));
            }
            n.oack.emplace_back(key, std::to_string(n.blksize));
        } else if (EqualNoCase(key, "windowsize") && !windowSeen) {
            windowSeen = true;
            auto asked = OptionNumber(value);
            if (windowLimit == 0 || !asked || *asked < 1 || *asked > 65535) continue;
            n.windowsize = static_cast<std::uint16_t>(std::min<unsigned long>(*asked, windowLimit));
            n.oack.emplace_back(key, std::to_string(n.windowsize));
        }
    }
    return n;
}

// ---- Write state machine -----------------------------------------------------------------

Incoming Classify(const WriteState& st, std::span<const std::uint8_t> pkt)
{
    Incoming in;
    if (pkt.size() < 4) return in; // Malformed
    const std::uint16_t op = Get16(pkt, 0);
    in.block = Get16(pkt, 2);
    if (op == OpError) {
        in.verdict = Verdict::PeerError;
        auto body = pkt.subspan(4);
        auto end = std::find(body.begin(), body.end(), std::uint8_t{0});
        in.errorText.assign(body.begin(), end);
        return in;
    }
    if (op != OpData) {
        in.verdict = Verdict::Unexpected;
        return in;
    }
    in.payload = pkt.subspan(4);
    const auto ahead = static_cast<std::uint16_t>(in.block - st.expected);
    if (in.block == st.expected && !st.complete) {
        in.verdict = in.payload.size() > st.blksize ? Verdict::Oversize : Verdict::Next;
    } else if (in.block == static_cast<std::uint16_t>(st.expected - 1)) {
        in.verdict = Verdict::Duplicate;
    } else if (!st.complete && ahead < st.windowsize) {
        in.verdict = Verdict::Gap;
    } else {
        in.verdict = Verdict::Stray;
    }
    return in;
}

std::optional<std::uint16_t> Accept(WriteState& st, std::size_t payloadLen)
{
    const std::uint16_t taken = st.expected;
    st.bytes += payloadLen;
    st.blocks += 1;
    st.expected = static_cast<std::uint16_t>(st.expected + 1);
    st.complete = payloadLen < st.blksize;
    st.gapNear = 0;
    if (!st.complete && ++st.unacked < st.windowsize) return std::nullopt;
    st.unacked = 0;
    return taken;
}

std::optional<std::uint16_t> TellGap(WriteState& st, std::uint16_t block)
{
    const auto ahead = static_cast<std::uint16_t>(block - st.expected);
    const bool newPass = st.gapNear == 0 || ahead < st.gapNear || block == st.gapLast;
    st.gapNear = ahead;
    st.gapLast = block;
    if (!newPass) return std::nullopt;
    st.unacked = 0;
    return static_cast<std::uint16_t>(st.expected - 1);
}

void Resynchronised(WriteState& st)
{
    st.unacked = 0;
}

// ---- Admission and faults -----------------------------------------------------------------

Admission AdmitWrite(const Request& req, const std::string& slotFile, const std::string& directory)
{
    Admission a;
    auto refuse = [&a](std::uint16_t code, std::string text) {
        a.errorCode = code;
        a.errorText = std::move(text);
        return a;
    };
    if (req.opcode != OpWrq) return refuse(ErrAccess, "Only writes are accepted");
    if (!EqualNoCase(req.mode, "octet") && !EqualNoCase(req.mode, "netascii"))
        return refuse(ErrIllegal, "Unknown transfer mode");
    if (req.filename == "/") {
        if (slotFile.empty()) return refuse(ErrAccess, "No firmware slot");
        a.path = slotFile;
        return a;
    }
    std::string name = req.filename;
    name.erase(0, name.find_first_not_of('/'));
    if (directory.empty() || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return refuse(ErrAccess, "Access violation");
    a.path = directory + "/" + name;
    return a;
}

Packet TransferFaults::Opening(const Request& req, WriteState& st) const
{
    if (opts_.firstAck >= 0) {
        st.expected = static_cast<std::uint16_t>(opts_.firstAck + 1);
        return BuildAck(static_cast<std::uint16_t>(opts_.firstAck));
    }
    Negotiation n = Negotiate(req, opts_.blksizeMode, opts_.answerBlksize, opts_.windowLimit);
    st.blksize = n.blksize;
    st.windowsize = n.windowsize;
    return n.oack.empty() ? BuildAck(0) : BuildOack(n.oack);
}

bool TransferFaults::LoseLastBlock(bool last)
{
    if (!last || !opts_.loseFinalData || lostLast_) return false;
    lostLast_ = true;
    return true;
}

std::chrono::microseconds TransferFaults::ServiceTime()
{
    const std::int64_t least = std::int64_t{std::max(opts_.ackDelayMs, 0)} * 1000;
    const std::int64_t most = std::int64_t{opts_.ackDelayMaxMs} * 1000;
    if (most <= least) return std::chrono::microseconds(least);
    return std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(least, most)(serviceTimes_));
}

// ---- Server ------------------------------------------------------------------------------

SimTftpServer::SimTftpServer(SimTftpOptions opts) : opts_(std::move(opts)), rng_(opts_.seed) {}

SimTftpServer::~SimTftpServer()
{
    Stop();
}

void SimTftpServer::Log(const std::string& line) const
{
    if (opts_.log) {
        opts_.log(line);
    } else {
        std::fprintf(stderr, "[simtftpd] %s\n", line.c_str());
    }
}

bool SimTftpServer::Chance(double share)
{
    if (share <= 0.0) return false;
    std::lock_guard lock(mu_);
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < share;
}

void SimTftpServer::Start()
{
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

void SimTftpServer::Stop()
{
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

void SimTftpServer::Reap(bool all)
{
    std::list<Worker> finished;
    {
        std::lock_guard lock(mu_);
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            auto next = std::next(it);
            if (all || it->done->load()) finished.splice(finished.end(), transfers_, it);
            it = next;
        }
    }
    for (auto& w : finished)
        w.thread.join();
}

std::vector<ReceivedImage> SimTftpServer::Images() const
{
    std::lock_guard lock(mu_);
    return images_;
}

void SimTftpServer::Send(int fd, const Packet& pkt, const sockaddr_in& to, int extraCopies)
{
    if (Chance(opts_.dropShare)) return;
    int copies = 1 + extraCopies + (Chance(opts_.dupShare) ? 1 : 0);
    for (int i = 0; i < copies; ++i)
        ::sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SimTftpServer::Listen()
{
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
        for (const auto& [k, v] : req->options)
            opts += " " + k + "=" + v;
        Log(std::string(req->opcode == OpWrq ? "WRQ" : "RRQ") + " \"" + req->filename + "\" " + req->mode + opts +
            " from " + AddrText(peer));
        if (opts_.silent || requests_ <= static_cast<std::uint64_t>(std::max(opts_.ignoreRequests, 0))) {
            Log("not answering (silent)");
            continue;
        }
        if (Chance(opts_.dropShare)) {
            Log("request dropped");
            continue;
        }
        Reap(false);
        const auto datagram = std::span(buf.data(), static_cast<std::size_t>(n));
        if (AnswerRepeat(peer, datagram)) continue;
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto session = std::make_shared<Session>();
        session->peer = peer;
        session->request.assign(datagram.begin(), datagram.end());
        std::lock_guard lock(mu_);
        transfers_.push_back(Worker{std::thread([this, r = std::move(*req), session, done]() mutable {
                                        try {
                                            RunTransfer(std::move(r), session);
                                        } catch (const std::exception& e) {
                                            Log(std::string("transfer failed: ") + e.what());
                                        }
                                        done->store(true);
                                    }),
                                    done, session});
    }
}

// A client that heard nothing sends its request again, and the network may deliver one
// twice: while the transfer a request started runs, the same request from the same address
// and port is that transfer's, answered again until its data flows. A second transfer
// would answer the client from a second port and race the first to the same file.
bool SimTftpServer::AnswerRepeat(const sockaddr_in& peer, std::span<const std::uint8_t> request)
{
    std::shared_ptr<posix::Fd> sock;
    Packet opening;
    {
        std::lock_guard lock(mu_);
        auto it = std::find_if(transfers_.begin(), transfers_.end(), [&peer, &request](const Worker& w) {
            return !w.done->load() && SamePeer(w.session->peer, peer) &&
                   std::equal(request.begin(), request.end(), w.session->request.begin(),
                              w.session->request.end());
        });
        if (it == transfers_.end()) return false;
        sock = it->session->sock;
        opening = it->session->opening;
    }
    ++repeats_;
    if (!sock || opening.empty()) {
        Log("repeated request from " + AddrText(peer) + ": its transfer is under way");
        return true;
    }
    Log("repeated request from " + AddrText(peer) + ": answered again");
    Send(sock->Get(), opening, peer, opts_.duplicateAcks);
    return true;
}

// One write in progress: its own socket (the transfer ID), the client, the partial file and
// the answer that goes out again after a time-out.
struct SimTftpServer::Transfer {
    Transfer(Request r, const sockaddr_in& p, Fd s, const SimTftpOptions& opts)
        : req(std::move(r)), peer(p), sock(std::make_shared<Fd>(std::move(s))), faults(opts)
    {}
    ~Transfer()
    {
        out.Reset();
        if (!part.empty() && !stored) ::unlink(part.c_str()); // an unfinished image never stays
    }

    Request req;
    sockaddr_in peer;
    std::shared_ptr<Fd> sock; // shared with the listener, which may answer a repeated request
    std::shared_ptr<Session> session;
    TransferFaults faults;
    std::string path;
    std::string part; // written here, renamed to path once complete
    Fd out;
    bool stored = false;
    WriteState st;
    Packet reply;
    Packet unwritten; // blocks taken but not yet in the file: written before any ACK goes out
    std::uint64_t ignored = 0;
    // The faults as they happened, for the log.
    std::uint64_t lostReceived = 0;
    std::uint64_t lostAcks = 0;
    std::uint64_t pauses = 0;
    // The receive loop's state.
    Clock::time_point deadline;
    int tries = 0;
    bool dallying = false; // after the last ACK, only a repeated last block is answered
};

void SimTftpServer::Refuse(Transfer& t, std::uint16_t code, const std::string& text)
{
    Log("ERROR " + std::to_string(code) + " \"" + text + "\" to " + AddrText(t.peer));
    Send(t.sock->Get(), BuildError(code, text), t.peer);
}

void SimTftpServer::RunTransfer(Request req, std::shared_ptr<Session> session)
{
    Transfer t(std::move(req), session->peer, BindUdp(opts_.address, 0), opts_);
    Admission admission = AdmitWrite(t.req, opts_.slotFile, opts_.directory);
    if (admission.path.empty()) return Refuse(t, admission.errorCode, admission.errorText);
    t.path = std::move(admission.path);
    const std::uint16_t tid = LocalPort(t.sock->Get());
    // A part file of its own: transfers of one name from two clients never share one.
    const std::string part = t.path + ".part" + std::to_string(tid);
    t.out = Fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!t.out) return Refuse(t, ErrAccess, Errno("open"));
    t.part = part;

    t.reply = t.faults.Opening(t.req, t.st);
    Log("transfer port " + std::to_string(tid) + ", blksize " + std::to_string(t.st.blksize) + ", window " +
        std::to_string(t.st.windowsize));
    if (t.faults.RefuseAtOnce()) return Refuse(t, opts_.errorCode, opts_.errorText);
    // A whole window may wait in the socket while this thread writes the file, unless a
    // small buffer is the fault asked for.
    const int want =
        opts_.receiveBuffer > 0
            ? opts_.receiveBuffer
            : static_cast<int>(std::min<std::uint64_t>(std::uint64_t{t.st.windowsize} * (t.st.blksize + 512) * 2,
                                                       std::uint64_t{16} << 20));
    int have = 0;
    socklen_t haveLen = sizeof have;
    if (opts_.receiveBuffer > 0 ||
        (::getsockopt(t.sock->Get(), SOL_SOCKET, SO_RCVBUF, &have, &haveLen) == 0 && have < want))
        ::setsockopt(t.sock->Get(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    {
        std::lock_guard lock(mu_);
        session->sock = t.sock;
        session->opening = t.reply;
    }
    Send(t.sock->Get(), t.reply, t.peer, t.faults.ExtraAckCopies());
    t.session = std::move(session);
    ReceiveLoop(t);
}

bool SimTftpServer::Flush(Transfer& t)
{
    if (t.unwritten.empty()) return true;
    const bool whole =
        ::write(t.out.Get(), t.unwritten.data(), t.unwritten.size()) == static_cast<ssize_t>(t.unwritten.size());
    t.unwritten.clear();
    if (!whole) Refuse(t, ErrDiskFull, Errno("write"));
    return whole;
}

bool SimTftpServer::SendDataAck(Transfer& t, std::uint16_t block)
{
    if (!Flush(t)) return false;
    Busy(t.faults.ServiceTime());
    if (Chance(opts_.loseAcks)) {
        ++t.lostAcks;
        return true;
    }
    Send(t.sock->Get(), BuildAck(block), t.peer, t.faults.ExtraAckCopies());
    return true;
}

void SimTftpServer::Pause(Transfer& t)
{
    ++t.pauses;
    Busy(std::chrono::milliseconds(opts_.pauseMs));
}

void SimTftpServer::Busy(std::chrono::microseconds time) const
{
    if (time <= std::chrono::microseconds::zero()) return;
    pollfd stop{stopRead_.Get(), POLLIN, 0};
    const auto until = Clock::now() + time;
    for (auto now = Clock::now(); now < until && !stop.revents; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
        const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        ::ppoll(&stop, 1, &wait, nullptr);
    }
}

void SimTftpServer::ReceiveLoop(Transfer& t)
{
    const int fd = t.sock->Get();
    // A window's datagrams are taken with one call: room for up to 64, each one byte longer
    // than a block so that an oversize one shows.
    const std::size_t slots = std::clamp<std::size_t>(t.st.windowsize, 1, 64);
    const std::size_t slotSize = std::max<std::size_t>(t.st.blksize + 5, 516);
    std::vector<std::uint8_t> buf(slots * slotSize);
    std::vector<iovec> iov(slots);
    std::vector<sockaddr_in> from(slots);
    std::vector<mmsghdr> msgs(slots);
    t.deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t.deadline - Clock::now()).count();
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        int pr = ::poll(fds, 2, static_cast<int>(std::max<long long>(left, 0)));
        if (pr < 0 && errno == EINTR) continue;
        if (fds[1].revents) return;
        if (pr == 0) {
            if (t.dallying) return;
            if (t.tries >= opts_.retries) {
                Log("gave up after " + std::to_string(t.tries) + " retransmissions, " +
                    std::to_string(t.st.bytes) + " bytes received");
                return;
            }
            ++t.tries;
            if (!Flush(t)) return;
            Resynchronised(t.st);
            Send(fd, t.reply, t.peer, t.faults.ExtraAckCopies());
            t.deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
            continue;
        }
        for (std::size_t i = 0; i < slots; ++i) {
            iov[i] = {buf.data() + i * slotSize, slotSize};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(fd, msgs.data(), static_cast<unsigned>(slots), MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
            const std::size_t len = msgs[i].msg_hdr.msg_flags & MSG_TRUNC ? slotSize : msgs[i].msg_len;
            if (!TakeDatagram(t, std::span(buf.data() + i * slotSize, len), from[i])) return;
        }
        if (!Flush(t)) return;
    }
}

bool SimTftpServer::TakeDatagram(Transfer& t, std::span<const std::uint8_t> pkt, const sockaddr_in& from)
{
    const int fd = t.sock->Get();
    if (!SamePeer(from, t.peer)) {
        Send(fd, BuildError(ErrUnknownTid, "Unknown transfer ID"), from);
        return true;
    }
    if (Chance(opts_.dropShare)) return true;
    if (Chance(opts_.loseReceived)) {
        ++t.lostReceived;
        return true;
    }
    Incoming in = Classify(t.st, pkt);
    if (t.dallying) {
        if (in.verdict == Verdict::Duplicate && !t.faults.WithholdFinalAck()) Send(fd, t.reply, t.peer);
        return true;
    }
    switch (in.verdict) {
    case Verdict::Next:
        if (t.st.blocks == 0) {
            std::lock_guard lock(mu_);
            t.session->opening.clear(); // the client has the answer: a repeated request is stale
        }
        switch (TakeBlock(t, in)) {
        case Step::Wait: break;
        case Step::Go:
            t.tries = 0;
            t.deadline = Clock::now() + std::chrono::milliseconds(opts_.timeoutMs);
            break;
        case Step::Dally:
            t.dallying = true;
            t.deadline = Clock::now() + std::chrono::milliseconds(opts_.dallyMs);
            break;
        case Step::End: return false;
        }
        return true;
    case Verdict::Gap:
        ++t.ignored;
        if (auto ack = TellGap(t.st, in.block)) return SendDataAck(t, *ack);
        return true;
    case Verdict::Duplicate:
        // The block whose ACK went out, again: that ACK was lost, or the client probes after
        // its time-out. Answered as RFC 1350 receivers do; a client that resent on repeated
        // ACKs would then double every later packet (sorcerer's apprentice), so a device may
        // leave it to its own time-out instead.
        ++t.ignored;
        if (opts_.answerRepeats && t.st.unacked == 0 && t.st.blocks > 0)
            return SendDataAck(t, static_cast<std::uint16_t>(t.st.expected - 1));
        return true;
    case Verdict::Stray: ++t.ignored; return true;
    case Verdict::Oversize: Refuse(t, ErrIllegal, "Block larger than negotiated"); return false;
    case Verdict::PeerError:
        Log("client sent ERROR " + std::to_string(in.block) + " \"" + in.errorText + "\"");
        return false;
    case Verdict::Unexpected: Refuse(t, ErrIllegal, "Illegal TFTP operation"); return false;
    case Verdict::Malformed: ++t.ignored; return true;
    }
    return true;
}

SimTftpServer::Step SimTftpServer::TakeBlock(Transfer& t, const Incoming& in)
{
    const bool last = in.payload.size() < t.st.blksize;
    if (t.faults.LoseLastBlock(last)) {
        Log("last block " + std::to_string(in.block) + " dropped on purpose");
        return Step::Wait;
    }
    t.unwritten.insert(t.unwritten.end(), in.payload.begin(), in.payload.end());
    const auto ack = Accept(t.st, in.payload.size());
    if (opts_.pauseEvery > 0 && opts_.pauseMs > 0 &&
        t.st.blocks % static_cast<std::uint64_t>(opts_.pauseEvery) == 0 && !t.st.complete) {
        if (!Flush(t)) return Step::End;
        Pause(t);
    }
    t.reply = BuildAck(static_cast<std::uint16_t>(t.st.expected - 1));
    if (t.faults.RefuseImage(t.st.blocks, in.payload)) {
        Refuse(t, ErrUndefined, "Image rejected");
        return Step::End;
    }
    if (t.faults.RefuseAfter(t.st.blocks)) {
        Refuse(t, opts_.errorCode, opts_.errorText);
        return Step::End;
    }
    if (!t.st.complete) {
        if (ack && !SendDataAck(t, *ack)) return Step::End;
        return Step::Go;
    }
    if (!Flush(t)) return Step::End;
    t.out.Reset();
    if (::rename(t.part.c_str(), t.path.c_str()) != 0) {
        Refuse(t, ErrAccess, Errno("rename"));
        return Step::End;
    }
    t.stored = true;
    {
        std::lock_guard lock(mu_);
        images_.push_back({t.req.filename, t.path, t.st.bytes, t.st.blksize});
    }
    Log("received \"" + t.req.filename + "\": " + std::to_string(t.st.bytes) + " bytes in " +
        std::to_string(t.st.blocks) + " blocks -> " + t.path +
        (t.ignored ? ", " + std::to_string(t.ignored) + " repeated/stray packets ignored" : "") +
        (t.lostReceived + t.lostAcks + t.pauses > 0
             ? ", lost on purpose " + std::to_string(t.lostReceived) + " received and " +
                   std::to_string(t.lostAcks) + " ACKs (seed " + std::to_string(opts_.seed) + "), " +
                   std::to_string(t.pauses) + " pauses of " + std::to_string(opts_.pauseMs) + " ms"
             : ""));
    if (opts_.onStored) opts_.onStored(t.path);
    if (t.faults.WithholdFinalAck()) {
        Log("last ACK withheld");
    } else {
        SendDataAck(t, *ack); // nothing is left unwritten
    }
    return Step::Dally;
}

} // namespace sim
