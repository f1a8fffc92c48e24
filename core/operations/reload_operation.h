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
    void startRead(uint32_t address, const char* path, uint32_t count, bool table);
    void onTableRead();
    // The worker that turns the files read into songs (ReloadParsed).
    void startParse();
    void onParsed(const ReloadParsed& parsed);
    static Message readCheckMessage(const ReadFailed& failed);
};

}  // namespace velmo
