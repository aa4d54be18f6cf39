#include "tftp/ReliableUpload.h"

#include "rtl/Exception.h"
#include "rtl/IntConv.h"

#include <algorithm>
#include <strings.h>
#include <utility>

namespace tftp {

namespace {

bool NameIs(std::string_view name, std::string_view expected)
{
    return name.size() == expected.size() && ::strncasecmp(name.data(), expected.data(), name.size()) == 0;
}

UploadStep Just(UploadStep::Kind kind)
{
    UploadStep step;
    step.kind = kind;
    return step;
}

} // namespace

RepeatFilter::Verdict RepeatFilter::Judge(bool late)
{
    // Counted, not timed: a busy device answers a copy as late as it answers anything.
    if (echoes_ > 0) {
        --echoes_;
        return Verdict::Echo;
    }
    // Back to the block once per window, and again for a late repeat, which cannot be the
    // answer to blocks sent twice.
    if (wentBack_ && !late) return Verdict::Ignore;
    return Verdict::Gap;
}

ReliableUpload::ReliableUpload(int64_t bytes, UploadPolicy policy)
    : policy_(policy), total_(bytes > 0 ? bytes : 0),
      timer_(static_cast<Micros>(std::max(policy.timeoutMs, 1)) * 1000,
             static_cast<Micros>(policy.firstWindowMs) * 1000)
{
    deadline_ = timer_.Wait();
}

std::string ReliableUpload::Request(std::string_view remoteName, std::string_view mode) const
{
    RequestOptions options;
    if (options_) {
        if (policy_.blockSize != DefaultBlockSize) options.blockSize = policy_.blockSize;
        if (policy_.windowSize > 1) options.windowSize = policy_.windowSize;
        if (policy_.transferSize) options.transferSize = total_;
    }
    return MakeWriteRequest(remoteName, mode, options);
}

ReliableUpload::Phase ReliableUpload::State() const
{
    if (phase_ != Phase::Sending) return phase_;
    return LastBuilt() ? Phase::LastSent : Phase::Sending;
}

int32_t ReliableUpload::BlockBytes(int64_t index) const
{
    return static_cast<int32_t>(std::clamp<int64_t>(total_ - BlockOffset(index), 0, blockSize_));
}

UploadStep ReliableUpload::Fail(UploadFailure failure)
{
    phase_ = Phase::Failed;
    UploadStep step;
    step.kind = UploadStep::Fail;
    step.failure = std::move(failure);
    return step;
}

UploadStep ReliableUpload::Begin(Micros now)
{
    return Armed(Just(UploadStep::Request), now);
}

UploadStep ReliableUpload::OnDatagram(Bytes packet, Peer from, Micros now)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    if (peer_ && from != *peer_) return Just(UploadStep::Reject);
    return Armed(Answered(packet, from, now), now);
}

UploadStep ReliableUpload::OnTimeout(Micros now)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    // The retransmission timer runs from the window's last burst.
    if (paced_.Pending()) return now < paced_.at ? Just(UploadStep::Wait) : Armed(Burst(), now);
    if (now < deadline_) return Just(UploadStep::Wait);
    return Armed(Expired(now), now);
}

// Every send starts the wait for its answer here.
UploadStep ReliableUpload::Armed(UploadStep step, Micros now)
{
    if (step.kind != UploadStep::SendBlocks && step.kind != UploadStep::Request) return step;
    if (!std::exchange(probing_, false)) windowAt_ = now;
    if (std::exchange(paced_.starting, false)) paced_.started = now;
    sentAt_ = now;
    deadline_ = now + WaitAfterSend();
    // Each burst's time counts from the window's first, so that late wake-ups do not add up.
    if (paced_.Pending()) paced_.at = paced_.started + control_.Spacing(paced_.next - paced_.first);
    return step;
}

void ReliableUpload::SentLater(Micros now)
{
    const Micros by = now - sentAt_;
    if (by <= 0) return;
    if (windowAt_ == sentAt_) windowAt_ = now;
    if (paced_.started == sentAt_) paced_.started = now;
    deadline_ += by;
    sentAt_ = now;
    if (paced_.Pending()) paced_.at = paced_.started + control_.Spacing(paced_.next - paced_.first);
}

// What went again after silence, and the look after the window where blocks past it can
// follow, want their answer within the learned time-out: their look is due after it, and
// does not double the wait.
Micros ReliableUpload::WaitAfterSend() const
{
    const bool brief = stage_ == Stage::WindowAgain || stage_ == Stage::PastWindow ||
                       (stage_ == Stage::Looking && RoomPastWindow());
    return brief && !paced_.Pending() ? timer_.Base() : timer_.Wait();
}

// Answers: the first, an option refusal, progress, a repeat.

UploadStep ReliableUpload::Answered(Bytes packet, Peer from, Micros now)
{
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        const auto error = ServerErrorOf(packet);
        if (!error) return Just(UploadStep::Wait);
        return Refused(error->code, error->message);
    }
    if (phase_ == Phase::Requested) return Opened(packet, from, now);
    const int64_t index = IndexOf(opcode, AckBlockOf(packet));
    if (index < 0) return Just(UploadStep::Wait);
    if (index == base_ - 1) return Repeated(now);
    return Progress(index, now);
}

UploadStep ReliableUpload::Refused(uint16_t code, std::string_view message)
{
    // An option refusal: one more request without options, answered from a new port.
    if (code == 8 && phase_ == Phase::Requested && options_) {
        options_ = false;
        tries_ = 0;
        peer_.reset();
        clean_ = false;
        return Just(UploadStep::Request);
    }
    return Fail({UploadFailure::ServerError, code, std::string(message)});
}

// The server's first answer: an option acknowledgement, or an ACK whose number n makes the
// first block n + 1 (as the classic client takes it).
UploadStep ReliableUpload::Opened(Bytes packet, Peer from, Micros now)
{
    const uint16_t opcode = OpcodeOf(packet);
    const auto ack = AckBlockOf(packet);
    if (opcode != opOACK && !(opcode == opACK && ack)) return Just(UploadStep::Wait);
    peer_ = from;
    origin_ = opcode == opACK ? *ack : 0;
    // Its time from the last request is a sample even when the request went twice (Karn
    // would take none): the data's wait would stay the first second, while a server that
    // repeats its answer on a short timer of its own gives up on block 1 sooner. Should the
    // answer be the first request's, late, the data's time-outs prove needless and are learned.
    timer_.Opened(now - sentAt_);
    tries_ = 0;
    clean_ = true;
    expiredAt_ = 0;
    return Accept(opcode == opOACK ? packet : Bytes{nullptr, 0});
}

UploadStep ReliableUpload::Refuse(const std::string& what)
{
    UploadStep step = Fail({UploadFailure::BadOption, 0, "Option acknowledgement refused: " + what});
    step.farewell = MakeError(8, what);
    return step;
}

// A server may only lower what was asked, and answer nothing that was not (RFC 2347, 2348,
// 7440); anything else ends the transfer with an ERROR 8 to it, so that it does not wait
// for blocks that will never come.
std::optional<UploadStep> ReliableUpload::TakeOption(const Option& option)
{
    const std::string name(option.name);
    const auto value = rtl::TryStrToInt(option.value);
    const std::string quoted = name + " '" + std::string(option.value) + "'";
    if (NameIs(name, "blksize") && options_ && policy_.blockSize != DefaultBlockSize) {
        if (!value) return Refuse(quoted + " is not a number");
        const int32_t least = std::min(8, policy_.blockSize);
        if (*value < least || *value > policy_.blockSize)
            return Refuse(
                rtl::Format("blksize %d is not %d to the %d asked for", *value, least, policy_.blockSize));
        blockSize_ = *value;
    } else if (NameIs(name, "windowsize") && options_ && policy_.windowSize > 1) {
        if (!value) return Refuse(quoted + " is not a number");
        // More than asked would have the server wait for blocks that never come.
        if (*value < 1 || *value > policy_.windowSize)
            return Refuse(rtl::Format("windowsize %d is not 1 to the %d asked for", *value, policy_.windowSize));
        window_ = *value;
    } else if (NameIs(name, "tsize") && options_ && policy_.transferSize) {
        if (!value || *value != total_) return Refuse(quoted + " is not the size announced");
    } else {
        return Refuse("option " + name + " was not asked for");
    }
    return std::nullopt;
}

UploadStep ReliableUpload::Accept(Bytes packet)
{
    if (OpcodeOf(packet) == opOACK)
        for (const Option& option : OptionsOf(packet))
            if (auto refusal = TakeOption(option)) return *refusal;
    phase_ = Phase::Sending;
    blocks_ = total_ / blockSize_ + 1;
    control_ = WindowControl(window_);
    return Send(1);
}

// Which block of [base_ - 1, next_ - 1] an answer acknowledges (16-bit numbers, across the
// wrap); -1 for none. A repeated option acknowledgement says the server has not seen block 1.
int64_t ReliableUpload::IndexOf(uint16_t opcode, std::optional<uint16_t> ack) const
{
    if (opcode == opOACK) return base_ == 1 ? 0 : -1;
    if (opcode != opACK || !ack) return -1;
    const int64_t ahead = static_cast<uint16_t>(*ack - BlockNumber(base_ - 1));
    return ahead <= next_ - base_ ? base_ - 1 + ahead : -1;
}

// An answer that moved the transfer on to block `index`: the one place where a stage of
// recovery ends.
UploadStep ReliableUpload::Progress(int64_t index, Micros now)
{
    Measure(index, now);
    // The time-outs since the last progress were spurious if every copy they sent is
    // answered again after this: the receiver had what went before them.
    // Not while the wait that ran out was the first window's allowance: a server repeating
    // its ACK on a timer of its own within twice that would pass for the echoes.
    proof_ = {};
    if (suspect_.open && stage_ == Stage::Probing && !timer_.Allowing())
        proof_ = {std::min(now - suspect_.sentAt, 2 * suspect_.waited), suspect_.copies};
    suspect_.open = false;
    tries_ = 0;
    probes_ = 0;
    clean_ = true;
    // Progress only after the window went again shows a receiver that answers no single
    // block while it lacks one.
    deaf_ = deaf_ || std::exchange(resent_, false);
    lookAt_ = 0;
    stage_ = Stage::Open;
    repeats_.Progressed();
    base_ = index + 1;
    if (index == blocks_) {
        phase_ = Phase::Finished;
        return Just(UploadStep::Done);
    }
    // Blocks after the acknowledged one that were out went missing: they go again.
    return Send(base_);
}

// What the answer tells of the path: a round trip, if it can answer only one send (Karn),
// and the window's delivery.
void ReliableUpload::Measure(int64_t index, Micros now)
{
    // An answer to a window that timed out, and is no sample, keeps the doubled wait only
    // when the window before timed out too: a receiver slower than the wait, window after
    // window, not a loss now and then, which the learned wait recovers fastest. A window
    // answered within the wait leaves it as it is.
    const bool timedOut = expiredAt_ > 0;
    if (clean_ && repeats_.Quiet())
        timer_.Sample(now - sentAt_);
    else if (timedOut)
        timer_.Progressed(timedOutBefore_ ? now - windowAt_ : 0);
    timedOutBefore_ = timedOut;
    Delivery delivery;
    delivery.blocks = index - (base_ - 1);
    delivery.missing = next_ - 1 - index;
    // What came, came before the first time-out.
    delivery.elapsed = (expiredAt_ > 0 ? expiredAt_ : now) - paced_.started;
    delivery.fastest = timer_.Fastest();
    delivery.timedOut = expiredAt_ > 0;
    control_.Answered(delivery);
    expiredAt_ = 0;
}

// A repeated ACK of the block before the first unacknowledged one.
UploadStep ReliableUpload::Repeated(Micros now)
{
    const auto verdict = repeats_.Judge(now - sentAt_ >= timer_.Base());
    if (verdict == RepeatFilter::Verdict::Echo) Echoed();
    // One block at a time, a repeat never sends the block again: only the timer does (the
    // Sorcerer's Apprentice of RFC 1123: every block would go twice from then on).
    if (verdict != RepeatFilter::Verdict::Gap || window_ == 1) return Just(UploadStep::Wait);
    repeats_.WentBack();
    return Send(base_);
}

// A probe's answer after the progress: when the last is in, the probes were needless and the
// progress answered the send before the first time-out. Its round trip is a true sample (as
// TCP's Eifel detection takes it), which also ends the doubled waits: a device that takes
// longer to answer than the link's round trip is learned, not probed on every block.
void ReliableUpload::Echoed()
{
    if (proof_.echoes == 0 || --proof_.echoes > 0) return;
    ++spurious_;
    timer_.Sample(proof_.roundTrip);
    deadline_ = sentAt_ + WaitAfterSend();
}

// Time-outs.

UploadStep ReliableUpload::Expired(Micros now)
{
    // Only waits of the whole ceiling count as tries: the shorter ones before them are the
    // timer finding its feet, or a device pausing.
    const bool wholeTry = now - sentAt_ >= timer_.Ceiling();
    ++timeouts_;
    if (expiredAt_ == 0) {
        expiredAt_ = now;
        suspect_ = Suspect{sentAt_, now - sentAt_, 0, phase_ != Phase::Requested};
    }
    // The look after what went again leaves the doubling where it was.
    const bool look = stage_ == Stage::WindowAgain || stage_ == Stage::PastWindow;
    if (!look || wholeTry) timer_.Expired();
    if (wholeTry && ++tries_ >= policy_.tries) return Fail({UploadFailure::Timeout, 0, "Timeout"});
    repeats_.TimedOut();
    clean_ = false;
    if (phase_ == Phase::Requested) {
        ++retransmissions_;
        return Just(UploadStep::Request);
    }
    return Recover(now, wholeTry);
}

// The next step of recovery. Short waits send one block: a receiver that has it all
// acknowledges the last block again, one that lacks it takes it, one that lacks an earlier
// block says which; a paused device gets no more than one block per wait. The first
// unacknowledged block in turn wakes receivers that answer only the block they expect. Some
// answer neither and wait for the window from the block they lack: it goes again after a
// patience (Patience), and a look follows it: its last block again, which such a receiver,
// having taken the window, answers. Not even that answered: the receiver has the whole
// window, and its ACK and its answer to the one repeat it answers were lost (atftpd answers
// no other). It takes only a block past the window, and answers the look after it.
UploadStep ReliableUpload::Recover(Micros now, bool wholeTry)
{
    switch (stage_) {
    case Stage::WindowAgain:
        if (wholeTry) break;
        stage_ = Stage::Looking;
        return Probe(lookAt_);
    case Stage::PastWindow:
        if (wholeTry) break;
        stage_ = Stage::PastLook;
        return Probe(lookAt_);
    case Stage::Looking:
        deaf_ = true;
        if (!wholeTry && RoomPastWindow()) return Beyond();
        break;
    case Stage::Open:
    case Stage::Probing:
    case Stage::PastLook: break;
    }
    if (wholeTry || now - windowAt_ >= Patience()) return Again();
    stage_ = Stage::Probing;
    return Probe(++probes_ % 2 == 1 ? next_ - 1 : base_);
}

// An eighth of the ceiling (half a second at the default), longer than a flash erase; two
// time-outs once the receiver has shown it answers no single block while it lacks one.
Micros ReliableUpload::Patience() const
{
    const Micros patience = timer_.Ceiling() / 8;
    return deaf_ ? std::min(2 * timer_.Base(), patience) : patience;
}

bool ReliableUpload::RoomPastWindow() const
{
    return window_ > 1 && base_ + window_ <= blocks_;
}

// Sends.

UploadStep ReliableUpload::Send(int64_t first)
{
    paced_.first = paced_.next = first;
    paced_.last = std::min<int64_t>(first + window_ - 1, blocks_);
    paced_.starting = true;
    return Burst();
}

// The window's next blocks, as many as go back to back.
UploadStep ReliableUpload::Burst()
{
    const int64_t first = paced_.next;
    const int64_t last = std::min<int64_t>(first + control_.Burst() - 1, paced_.last);
    paced_.next = last + 1;
    return Blocks(first, last);
}

UploadStep ReliableUpload::Blocks(int64_t first, int64_t last)
{
    // Blocks below next_ went out before: they go again, and their answer is no sample.
    const int64_t again = std::max<int64_t>(0, std::min(next_, last + 1) - first);
    retransmissions_ += again;
    if (again > 0) clean_ = false;
    next_ = std::max(next_, last + 1);
    UploadStep step = Just(UploadStep::SendBlocks);
    step.block = BlockNumber(first);
    step.first = first;
    step.count = static_cast<int32_t>(last - first + 1);
    return step;
}

UploadStep ReliableUpload::Probe(int64_t index)
{
    repeats_.Probed();
    probing_ = true;
    if (suspect_.open) ++suspect_.copies;
    return Blocks(index, index);
}

// The window again after silence; its look is due after the learned time-out. Spurious or
// not, the time-outs before it can no longer be told: the copies' answers are no count.
UploadStep ReliableUpload::Again()
{
    resent_ = true;
    suspect_.open = false;
    stage_ = Stage::WindowAgain;
    UploadStep step = Send(base_);
    lookAt_ = paced_.last;
    return step;
}

// The blocks past the window as a probe: those sent so before, and one more never sent (at
// most a second window's worth). A receiver that has the whole window but answers none of
// it takes the first of them it lacks, and answers the look after them.
UploadStep ReliableUpload::Beyond()
{
    const int64_t first = base_ + window_;
    const int64_t last = std::min({next_, base_ + 2 * static_cast<int64_t>(window_) - 1, blocks_});
    probing_ = true;
    suspect_.open = false;
    lookAt_ = last;
    stage_ = Stage::PastWindow;
    return Blocks(first, last);
}

} // namespace tftp
