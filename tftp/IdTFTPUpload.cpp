#include "tftp/IdTFTPUpload.h"

#include "rtl/Exception.h"
#include "tftp/IdTFTPException.h"
#include "rtl/IntConv.h"

#include <algorithm>
#include <utility>
#include <strings.h>

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

UploadFailure NotANumber(std::string_view text)
{
    return {UploadFailure::NotANumber, 0, "'" + std::string(text) + "' is not a valid integer value"};
}

} // namespace

void RaiseUploadFailure(const UploadFailure& failure)
{
    switch (failure.kind) {
    case UploadFailure::Timeout: throw EIdTFTPException(failure.message, tftp::FailureKind::Timeout);
    case UploadFailure::ServerError: RaiseTFTPError(failure.code, failure.message);
    case UploadFailure::BadBlockSize: throw EIdTFTPInvalidBlockSize(failure.message);
    case UploadFailure::BadWindowSize: throw EIdTFTPOptionNegotiationFailed(failure.message);
    case UploadFailure::NotANumber: throw EConvertError(failure.message);
    case UploadFailure::BadOption: throw EIdTFTPOptionNegotiationFailed(failure.message);
    }
    throw EIdTFTPException(failure.message);
}

BlockSizeAnswer CheckBlockSize(std::string_view text)
{
    const auto size = rtl::TryStrToInt(text);
    if (!size) return {0, NotANumber(text)};
    if (*size <= 0 || *size > MaxDatagramBlockSize)
        return {0, UploadFailure{UploadFailure::BadBlockSize, 0,
                                 rtl::Format("Invalid block size %d from the server (allowed: 1 to %d)", *size,
                                             MaxDatagramBlockSize)}};
    return {*size, std::nullopt};
}

std::optional<BlockSizeAnswer> NegotiatedBlockSize(Bytes packet)
{
    const auto text = BlockSizeTextOf(packet);
    if (!text) return std::nullopt;
    return CheckBlockSize(*text);
}

UploadState::UploadState(int64_t bytes, UploadPolicy policy)
    : policy_(policy), total_(bytes > 0 ? bytes : 0), left_(total_),
      timer_(static_cast<Micros>(std::max(policy.timeoutMs, 1)) * 1000)
{
    deadline_ = timer_.Wait();
}

std::string UploadState::Request(std::string_view remoteName, std::string_view mode) const
{
    RequestOptions options;
    if (options_) {
        if (policy_.blockSize != DefaultBlockSize) options.blockSize = policy_.blockSize;
        if (policy_.windowSize > 1) options.windowSize = policy_.windowSize;
        if (policy_.transferSize) options.transferSize = total_;
    }
    return MakeWriteRequest(remoteName, mode, options);
}

int32_t UploadState::BlockBytes(int64_t index) const
{
    return static_cast<int32_t>(std::clamp<int64_t>(total_ - BlockOffset(index), 0, blockSize_));
}

UploadStep UploadState::Fail(UploadFailure failure)
{
    phase_ = Phase::Failed;
    UploadStep step;
    step.kind = UploadStep::Fail;
    step.failure = std::move(failure);
    return step;
}

UploadStep UploadState::Finish(bool acknowledged)
{
    phase_ = Phase::Finished;
    acknowledged_ = acknowledged;
    return Just(UploadStep::Done);
}

UploadStep UploadState::OnDatagram(Bytes packet, Peer from, Micros now)
{
    if (policy_.policy == Policy::Classic) return ClassicDatagram(packet);
    return Armed(ReliableDatagram(packet, from, now), now);
}

UploadStep UploadState::Begin(Micros now)
{
    return Armed(Just(UploadStep::Request), now);
}

UploadStep UploadState::OnTimeout(Micros now)
{
    if (policy_.policy == Policy::Classic) return ClassicTimeout();
    return Armed(ReliableTimeout(now), now);
}

// Classic: one block per round trip.

UploadStep UploadState::Build(uint16_t block)
{
    const int32_t size = static_cast<int32_t>(std::min<int64_t>(blockSize_, left_));
    left_ -= size;
    current_ = block;
    lastBuilt_ = size < blockSize_;
    phase_ = lastBuilt_ ? Phase::LastSent : Phase::Sending;
    UploadStep step;
    step.kind = UploadStep::SendNew;
    step.block = block;
    step.size = size;
    return step;
}

UploadStep UploadState::ClassicTimeout()
{
    // The last block's ACK may be lost on its way: silence after it counts as the end.
    if (phase_ == Phase::LastSent) return Finish(false);
    return Fail({UploadFailure::Timeout, 0, "Timeout"});
}

UploadStep UploadState::ClassicDatagram(Bytes packet)
{
    // ACK and ERROR datagrams too short for their fields count as unknown opcodes.
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        if (const auto error = ServerErrorOf(packet))
            return Fail({UploadFailure::ServerError, error->code, error->message});
    } else if (opcode == opOACK) {
        if (const auto answer = NegotiatedBlockSize(packet)) {
            if (answer->failure) return Fail(*answer->failure);
            blockSize_ = answer->size;
        }
    } else if (opcode == opACK) {
        if (const auto block = AckBlockOf(packet)) {
            // The server's first answer picks the first block: ACK n asks for n + 1.
            if (phase_ == Phase::Requested) return Build(static_cast<uint16_t>(*block + 1));
            // Afterwards only the ACK of the block just sent moves on. An older, repeated
            // or foreign number (before or after the wrap) means that block went missing or
            // the ACK is stale: building a block for it would skip data, so the current
            // block goes out again unchanged.
            if (*block == current_) {
                if (phase_ == Phase::LastSent) return Finish(true);
                return Build(static_cast<uint16_t>(current_ + 1));
            }
        }
    }
    if (phase_ == Phase::Requested) return Build(1);
    return UploadStep{};
}

// Reliable: a window of blocks, go-back-N, under the retransmission timer.

UploadStep UploadState::Armed(UploadStep step, Micros now)
{
    if (step.kind == UploadStep::SendBlocks || step.kind == UploadStep::Request) {
        if (!probed_) windowAt_ = now;
        if (paced_.starting) paced_.started = now;
        paced_.starting = false;
        probed_ = false;
        sentAt_ = now;
        deadline_ = now + timer_.Wait();
        // A window sent again on a time-out, once all out, and the look after it want their
        // answer within the learned time-out.
        if (brief_ && !paced_.Pending()) {
            brief_ = false;
            deadline_ = now + timer_.Base();
        }
        // Each burst's time counts from the window's first, so that late wake-ups do not add up.
        if (paced_.Pending()) paced_.at = paced_.started + control_.Spacing(paced_.next - paced_.first);
    }
    return step;
}

void UploadState::SentLater(Micros now)
{
    const Micros by = now - sentAt_;
    if (by <= 0) return;
    if (windowAt_ == sentAt_) windowAt_ = now;
    if (paced_.started == sentAt_) paced_.started = now;
    deadline_ += by;
    sentAt_ = now;
    if (paced_.Pending()) paced_.at = paced_.started + control_.Spacing(paced_.next - paced_.first);
}

UploadStep UploadState::Send(int64_t first)
{
    paced_.first = paced_.next = first;
    paced_.last = std::min<int64_t>(first + window_ - 1, blocks_);
    paced_.starting = true;
    return Burst();
}

// The window's next blocks, as many as go back to back.
UploadStep UploadState::Burst()
{
    const int64_t first = paced_.next;
    const int64_t last = std::min<int64_t>(first + control_.Burst() - 1, paced_.last);
    paced_.next = last + 1;
    // Blocks below next_ went out before: they go again, and their answer is no sample.
    const int64_t again = std::max<int64_t>(0, std::min(next_, last + 1) - first);
    retransmissions_ += again;
    if (again > 0) clean_ = false;
    next_ = std::max(next_, last + 1);
    lastBuilt_ = next_ > blocks_;
    phase_ = lastBuilt_ ? Phase::LastSent : Phase::Sending;
    UploadStep step;
    step.kind = UploadStep::SendBlocks;
    step.block = BlockNumber(first);
    step.first = first;
    step.count = static_cast<int32_t>(last - first + 1);
    return step;
}

UploadStep UploadState::Probe(int64_t index)
{
    ++retransmissions_;
    ++probes_;
    clean_ = false;
    probed_ = true;
    UploadStep step = Just(UploadStep::SendBlocks);
    step.block = BlockNumber(index);
    step.first = index;
    step.count = 1;
    return step;
}

// One more block out, past the window.
void UploadState::Past()
{
    ++next_;
    lastBuilt_ = next_ > blocks_;
    phase_ = lastBuilt_ ? Phase::LastSent : Phase::Sending;
}

// The blocks past the window as a probe: those sent so before, and one more never sent (at
// most a second window's worth). A receiver that has the whole window but answers none of
// it takes the first of them it lacks, and answers the next probe.
UploadStep UploadState::Beyond()
{
    const int64_t first = base_ + window_;
    const int64_t last = std::min({next_, base_ + 2 * static_cast<int64_t>(window_) - 1, blocks_});
    retransmissions_ += std::min(next_, last + 1) - first;
    if (last == next_) Past();
    probed_ = true;
    lookAt_ = last;
    brief_ = true;
    beyond_ = true;
    UploadStep step = Just(UploadStep::SendBlocks);
    step.block = BlockNumber(first);
    step.first = first;
    step.count = static_cast<int32_t>(last - first + 1);
    return step;
}

// The window again after silence, then a short look for its answer: its last block again.
UploadStep UploadState::Again()
{
    patient_ = true;
    UploadStep step = Send(base_);
    lookAt_ = paced_.last;
    brief_ = true;
    return step;
}

Micros UploadState::Patience() const
{
    const Micros patience = timer_.Ceiling() / 8;
    return deaf_ ? std::min(2 * timer_.Base(), patience) : patience;
}

UploadStep UploadState::Refuse(std::string what)
{
    UploadStep step = Fail({UploadFailure::BadOption, 0, "Option acknowledgement refused: " + what});
    step.farewell = MakeError(8, what);
    return step;
}

UploadStep UploadState::Accept(Bytes packet)
{
    if (OpcodeOf(packet) == opOACK) {
        // A server may only lower what was asked, and answer nothing that was not (RFC 2347,
        // 2348, 7440); anything else ends the transfer with an ERROR 8 to it.
        const bool askedBlockSize = options_ && policy_.blockSize != DefaultBlockSize;
        const bool askedWindow = options_ && policy_.windowSize > 1;
        const bool askedSize = options_ && policy_.transferSize;
        for (const Option& option : OptionsOf(packet)) {
            const std::string name(option.name);
            const auto value = rtl::TryStrToInt(option.value);
            const std::string quoted = name + " '" + std::string(option.value) + "'";
            if (NameIs(name, "blksize") && askedBlockSize) {
                if (!value) return Refuse(quoted + " is not a number");
                const int32_t least = std::min(8, policy_.blockSize);
                if (*value < least || *value > policy_.blockSize)
                    return Refuse(
                        rtl::Format("blksize %d is not %d to the %d asked for", *value, least, policy_.blockSize));
                blockSize_ = *value;
            } else if (NameIs(name, "windowsize") && askedWindow) {
                if (!value) return Refuse(quoted + " is not a number");
                // More than asked would have the server wait for blocks that never come.
                if (*value < 1 || *value > policy_.windowSize)
                    return Fail({UploadFailure::BadWindowSize, 0,
                                 rtl::Format("Invalid window size %d from the server (allowed: 1 to %d)", *value,
                                             policy_.windowSize)});
                window_ = *value;
            } else if (NameIs(name, "tsize") && askedSize) {
                if (!value || *value != total_) return Refuse(quoted + " is not the size announced");
            } else {
                return Refuse("option " + name + " was not asked for");
            }
        }
    }
    blocks_ = total_ / blockSize_ + 1;
    control_ = WindowControl(window_);
    return Send(1);
}

UploadStep UploadState::ReliableDatagram(Bytes packet, Peer from, Micros now)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    if (peer_ && from != *peer_) return Just(UploadStep::Reject);
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        const auto error = ServerErrorOf(packet);
        if (!error) return Just(UploadStep::Wait);
        // An option refusal: one more request without options, answered from a new port.
        if (error->code == 8 && phase_ == Phase::Requested && options_) {
            options_ = false;
            tries_ = 0;
            peer_.reset();
            clean_ = false;
            return Just(UploadStep::Request);
        }
        return Fail({UploadFailure::ServerError, error->code, error->message});
    }
    const auto ack = AckBlockOf(packet);
    if (phase_ == Phase::Requested) {
        // As in the classic policy, the first ACK n numbers the first block n + 1.
        if (opcode == opOACK || (opcode == opACK && ack)) {
            peer_ = from;
            origin_ = opcode == opACK ? *ack : 0;
            if (clean_) timer_.Sample(now - sentAt_);
            timer_.Progressed();
            tries_ = 0;
            clean_ = true;
            expiredAt_ = 0;
            return Accept(opcode == opOACK ? packet : Bytes{nullptr, 0});
        }
        return Just(UploadStep::Wait);
    }
    // A repeated option acknowledgement: the server has not seen block 1.
    int64_t index = -1;
    if (opcode == opOACK && base_ == 1)
        index = 0;
    else if (opcode == opACK && ack) {
        // Which block of [base_ - 1, next_ - 1] carries this number (16 bits, across the wrap).
        const int64_t ahead = static_cast<uint16_t>(*ack - BlockNumber(base_ - 1));
        if (ahead <= next_ - base_) index = base_ - 1 + ahead;
    }
    if (index < 0) return Just(UploadStep::Wait);
    if (index == base_ - 1) return Repeated(now);
    if (clean_) timer_.Sample(now - sentAt_);
    Progress(index, now);
    timer_.Progressed();
    tries_ = 0;
    silent_ = 0;
    clean_ = true;
    // After a window that went twice, the receiver's answers to the copies come as repeats,
    // and so do its answers to probes of blocks it had.
    wentBack_ = doubled_;
    doubled_ = false;
    echoes_ = probes_;
    probes_ = 0;
    deaf_ = deaf_ || patient_;
    patient_ = false;
    looked_ = false;
    lookAt_ = 0;
    brief_ = false;
    beyond_ = false;
    base_ = index + 1;
    if (index == blocks_) return Finish(true);
    // Blocks after the acknowledged one that were out went missing: they go again.
    return Send(base_);
}

// An answer that moved the transfer on to `index`: what it tells of the path.
void UploadState::Progress(int64_t index, Micros now)
{
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
UploadStep UploadState::Repeated(Micros now)
{
    // One block at a time, a repeat never sends the block again: only the timer does (the
    // Sorcerer's Apprentice of RFC 1123: every block would go twice from then on).
    if (window_ == 1) return Just(UploadStep::Wait);
    const bool late = now - sentAt_ >= timer_.Base();
    if (echoes_ > 0 && !late) {
        --echoes_;
        return Just(UploadStep::Wait);
    }
    // The receiver lacks block base_ (a gap, or its time-out): go back to it, once per
    // window, and again for a late repeat, which cannot be the echo of blocks sent twice.
    if (wentBack_ && !late) return Just(UploadStep::Wait);
    wentBack_ = true;
    doubled_ = true;
    return Send(base_);
}

UploadStep UploadState::ReliableTimeout(Micros now)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    // The retransmission timer runs from the window's last burst.
    if (paced_.Pending()) return now < paced_.at ? Just(UploadStep::Wait) : Burst();
    if (now < deadline_) return Just(UploadStep::Wait);
    // Only waits of the whole ceiling count as tries: the shorter ones before them are the
    // timer finding its feet, or a device pausing.
    const bool wholeTry = now - sentAt_ >= timer_.Ceiling();
    ++timeouts_;
    if (expiredAt_ == 0) expiredAt_ = now;
    // The short look after a window sent again leaves the doubling where it was.
    if (!lookAt_ || wholeTry) timer_.Expired();
    if (wholeTry && ++tries_ >= policy_.tries) return Fail({UploadFailure::Timeout, 0, "Timeout"});
    wentBack_ = false;
    doubled_ = false;
    clean_ = false;
    if (phase_ == Phase::Requested) {
        ++retransmissions_;
        return Just(UploadStep::Request);
    }
    // Short waits send one block: a receiver that has it all acknowledges the last block
    // again, one that lacks it takes it, one that lacks an earlier block says which; a
    // paused device gets no more than one block per wait. The first unacknowledged block in
    // turn wakes receivers that answer only the block they expect. Some answer neither and
    // wait for the window from the block they lack: it goes again after a patience of an
    // eighth of the ceiling (half a second at the default), longer than a flash erase, or of
    // two time-outs once the receiver has shown itself one of those. A short look follows
    // the window: its last block again, which such a receiver, having taken the window from
    // the block it lacked, answers.
    // Not even that answered: the receiver has the whole window, and its ACK and its answer
    // to the one repeat it answers were lost (atftpd answers no other). It takes only a
    // block past the window, and answers the look after it. Each round of these waits the
    // doubled time-out once, so that a long silence still comes to whole tries.
    const bool past = window_ > 1 && base_ + window_ <= blocks_;
    if (const int64_t look = std::exchange(lookAt_, 0); look != 0 && !wholeTry) {
        looked_ = !beyond_;
        brief_ = looked_ && past;
        beyond_ = false;
        return Probe(look);
    }
    beyond_ = false;
    if (std::exchange(looked_, false)) {
        deaf_ = true;
        if (!wholeTry && past) return Beyond();
    }
    if (wholeTry || now - windowAt_ >= Patience()) return Again();
    return Probe(++silent_ % 2 == 1 ? next_ - 1 : base_);
}

} // namespace tftp
