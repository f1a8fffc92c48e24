// Reload: the clock's header, then its song data, read into "./dat/" and
// made the list, in place of the one shown.
#pragma once

#include <string>
#include "translation.h"

#include "operation.h"

namespace velmo {


class ReloadOperation : public RunningOperation {
  public:
    ReloadOperation(CoreState& core, uint64_t serial) : RunningOperation(Operation::Reload, core, serial) {}
    // The clock check and the question.
    static Admission admit(CoreState& core, const Answers& answers);

    void start() override;
    std::optional<Question> stopQuestion() const override {
        Question q{QuestionKind::StopOperation};
        q.operation = static_cast<int>(Operation::Reload);
        q.leaves = StopLeaves::ListUnchanged;
        return q;
    }

  protected:
    void onEvent(const Event& event) override;

  private:
    void on(const ReadProgress& e) { core_.view.setProgressBar(e.percent); }
    void on(const TableReadDone&) { onTableRead(); }
    void on(const DataReadDone&) { startParse(); }
    void on(const ReloadParsed& e) { onParsed(e); }
    void on(const ReadFailed& e);
    void on(const JobStopped& e);
    void on(const VerifyDone& e);
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Read, Worker::Parse}), "every event of a Reload's reads is handled");
    }

    void startRead(uint32_t address, const char* path, uint32_t count, bool table);
    void onTableRead();
    // The worker that turns the files read into songs (ReloadParsed).
    void startParse();
    void onParsed(const ReloadParsed& parsed);
    static Message readCheckMessage(const ReadFailed& failed);
};

}  // namespace velmo
