// What an operation needs the user to answer before it goes on, as data.
// A handler that needs an answer returns the Question and starts nothing;
// the front end asks it its own way (a box, a file dialog, the terminal, a
// command-line flag) and hands the answer to VelmoCore::answer, and the
// operation goes on from where it stopped.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "message.h"

namespace velmo {

struct Question {
    Question() = default;
    Question(QuestionKind kind_) : kind(kind_) {}  // NOLINT: a bare kind is a question without facts

    QuestionKind kind = QuestionKind::AutoCut;
    // StopOperation: the operation's kind (an Operation) and what stopping leaves.
    int operation = 0;
    StopLeaves leaves = StopLeaves::Nothing;
    // Yes and No, or a path (FirmwareFile).
    bool wantsPath() const { return kind == QuestionKind::FirmwareFile; }
};

// The answers given so far to one request.
struct Answers {
    std::map<QuestionKind, bool> given;
    std::optional<std::string> path;  // FirmwareFile; an empty path: none chosen

    std::optional<bool> about(QuestionKind kind) const {
        const auto it = given.find(kind);
        return it == given.end() ? std::nullopt : std::optional<bool>(it->second);
    }
};

}  // namespace velmo
