// Download: the list's songs converted into the storage image and written
// into the clock as they become final, header last.
//
// Steps: the estimates again from the sources (a worker), the agent, then
// the write worker (erase, then each block as soon as the conversion has
// published it) beside the conversion, joined by one ImageHandOver. A stop,
// the close or a failed write cancels both at once; the operation ends with
// the one message of whatever decided it, once both workers have ended.
#pragma once

#include <string>
#include "translation.h"

#include "converting_operation.h"

namespace velmo {

class DownloadOperation : public ConvertingOperation {
  public:
    // `verify`: the clock is read back once written and compared with the image.
    DownloadOperation(CoreState& core, uint64_t serial, bool listWasCut, bool verify);
    // The checks that need no worker, and the cut question.
    static Admission admit(CoreState& core, bool needsClock, const Answers& answers);

    // The read-back compares the whole image even where the clock held it already.
    void setFullVerify(bool on) { fullVerify_ = on; }

    void start() override;
    void cancel() override;
    bool stop() override;
    void settle() override;

  protected:
    void onEvent(const Event& event) override;
    void onEstimates(uint32_t total, const std::vector<UnreadableSong>& unreadable) override;

  private:
    // Refuses (box and outcome) when dat/ has no room for what the Download writes.
    bool enoughDatSpace();
    void stopped(Say say);
    void startVerify();
    using ConvertingOperation::on;
    void on(const ConvertDone& e);
    void on(const StorageErasing& e);
    void on(const WriteProgress& e);
    void onConversionPercent(int percent) override;
    void on(const WriteFailed& e);
    void on(const DownloadDone& e);
    void on(const JobStopped& e);
    // The read-back after the write.
    void on(const ReadProgress& e);
    void on(const VerifyDone& e);
    void on(const ReadFailed& e);
    // Ends no worker of a Download posts.
    void on(const WriteAbandoned&) {}  // the conversion's own end says why
    void on(const TableReadDone&) { notPosted(); }
    void on(const DataReadDone&) { notPosted(); }
    void on(const FirmwareStepDone&) { notPosted(); }
    void notPosted();
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Estimates, Worker::Conversion, Worker::Write, Worker::Read}),
                      "every event of a Download's workers is handled");
    }
    // `verified`: the clock was read back and matched the image.
    void finished(bool verified);
    void stoppedAfterLastBlock();
    ClockHolds clockHolds() const;
    // The song (or the header) that holds a storage address, for messages.
    void placeOf(uint32_t address, Message& m) const;

    bool listWasCut_;
    bool verify_;
    // Converting (the clock untouched), Erasing (its songs are going, from
    // the write's first erase on), Verifying (the read-back).
    enum class Phase { Converting, Erasing, Verifying };
    Phase phase_ = Phase::Converting;
    bool fullVerify_ = false;
    DownloadDone written_;  // what the write put on the clock
    ImageHandOver handOver_;
    bool writeCaptionShown_ = false;  // the first block has been written
    int barShown_ = 1;                // the bar since the Download began, until its write by the record

  public:
    std::optional<Question> stopQuestion() const override;
};

}  // namespace velmo
