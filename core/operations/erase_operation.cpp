// Erase: every song goes from the clock, after a question. The storage is
// erased whole and an image that names no song is written, its header last:
// a stop at any point leaves a clock that names no song it does not hold.
// That image stays as "./dat/tmp.bin", so a Verify afterwards compares the
// clock with what it now holds.
#include <vector>

#include "convert_job.h"
#include "fileio.h"
#include "image_record.h"
#include "operation.h"
#include "reload_record.h"
#include "storage_layout.h"
#include "transfer.h"

namespace velmo {

namespace {

class EraseOperation : public RunningOperation {
  public:
    EraseOperation(CoreState& core, uint64_t serial) : RunningOperation(Operation::Erase, core, serial) {}

    static Admission admit(CoreState& core, const Answers& answers) {
        // Checked again once answered: the clock may have gone while the question was open.
        if (core.session.handle() == 0) return Admission::refuse(core.noClock(Say::NoClockForErase));
        return Admission::confirm(answers, QuestionKind::EraseClock);
    }

    void start() override {
        core_.view.setProgressBar(1);
        if (!startAgent({Say::EraseAgentLost, BoxAt::AfterReEnable}, {Say::StorageNotFoundForErase, BoxAt::BeforeReEnable}))
            return;
        if (!writeEmptyImage()) return;
        core_.view.setStopAvailable(true);
        core_.view.setProgressStage(ProgressStage::Erasing);
        const DeviceJob job = songImageJob();
        // The records of the last verified Download describe the clock no longer.
        removeReloadRecord(core_.startDir);
        removeImageRecord(core_.startDir);
        startWorker(true, [job, work = core_.work(), lib = &core_.session.library(), cancel = &cancellation_](
                              EventSink& events) { writeWorker(job, work, *lib, events, cancel, nullptr); });
    }

    std::optional<Question> stopQuestion() const override {
        Question q{QuestionKind::StopOperation};
        q.operation = static_cast<int>(Operation::Erase);
        q.leaves = phase_ == Phase::Erasing ? StopLeaves::ClockEmpty : StopLeaves::ClockUnchanged;
        return q;
    }

  protected:
    void onEvent(const Event& event) override {
        std::visit([this](const auto& e) { on(e); }, event);
    }

  private:
    enum class Phase { Starting, Erasing };

    void on(const WriteProgress& e) { core_.view.setProgressBar(e.percent); }
    void on(const StorageErasing&) { phase_ = Phase::Erasing; }
    void on(const DownloadDone&) { end(OutcomeKind::Finished, Say::EraseFinished); }
    void on(const JobStopped& e) {
        Message m{Say::EraseStopped};
        m.erased = e.erased;
        core_.view.setProgressBar(0);
        tellEnd(m);
        noteOutcome(OutcomeKind::Stopped, m);
        resetProgress();
    }
    void on(const WriteFailed& e) {
        fail(writeFailure(e, kImageFile));
        resetProgress();
    }
    // Only a write fed by a conversion abandons it; should one come, the
    // clock's state is not known.
    void on(const WriteAbandoned&) {
        fail({Say::StorageWriteError});
        resetProgress();
    }
    // Events of workers this operation does not start.
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Write}), "every event of the write worker is handled");
    }

    void end(OutcomeKind kind, Say say) {
        core_.view.setProgressBar(0);
        tellEnd({say});
        noteOutcome(kind);
        resetProgress();
    }

    // The image of a clock without songs: a header with the signature and
    // no entry, at the list's quality.
    bool writeEmptyImage() {
        StorageHeader header;
        const char signature[] = "VELMO";
        std::copy(std::begin(signature), std::end(signature), header.signature);
        header.quality = core_.quality;
        std::vector<uint8_t> bytes(kStorageHeaderBytes);
        encodeStorageHeader(header, bytes.data());
        FileWriteError failure;
        if (writeFileSafely(core_.path(kImageFile), bytes.data(), bytes.size(), &failure)) return true;
        Message m{Say::CannotWriteFile};
        m.file = core_.path(kImageFile);
        m.errorNumber = failure.errorNumber;
        resetProgress();
        fail(m);
        return false;
    }

    Phase phase_ = Phase::Starting;
};

}  // namespace

extern const OperationEntry kEraseOperation;
const OperationEntry kEraseOperation{
    {Operation::Erase, true, false, false, "erase"},
    [](CoreState& core, const Answers& answers, Launch&) { return EraseOperation::admit(core, answers); },
    [](CoreState& core, uint64_t serial, const Launch&) -> std::unique_ptr<RunningOperation> {
        return std::make_unique<EraseOperation>(core, serial);
    }};

}  // namespace velmo
