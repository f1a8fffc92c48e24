// Reload: the clock's header, then its song data, read into "./dat/" and
// made the list, in place of the one shown.
#pragma once

#include <string>
#include "translation.h"

#include "operation.h"

namespace velmo {

// The end of a Reload whose header names what no Download writes.
constexpr const char* kHeaderDamagedText = N_("The clock's song header is damaged");

class ReloadOperation : public RunningOperation {
  public:
    ReloadOperation(CoreState& core, uint64_t serial) : RunningOperation(Operation::Reload, core, serial) {}
    // The clock check and the question. False when refused (`reason` says why).
    static bool checks(CoreState& core, std::string& reason);

    void start() override;
    std::string stopQuestion() const override {
        return "A reload is under way. Stop it?\nThe song list will not be changed.";
    }

  protected:
    void onEvent(const Event& event) override;

  private:
    void startRead(uint32_t address, const char* path, uint32_t count, bool table);
    void onTableRead();
    // The worker that turns the files read into songs (ReloadParsed).
    void startParse();
    void onParsed(const ReloadParsed& parsed);
    static std::string readCheckText(const ReadFailed& failed);
    void fail(const std::string& text, const char* caption = kCaptionError, MessageIcon icon = MessageIcon::Error);
};

}  // namespace velmo
