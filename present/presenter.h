// The words of the program: every message, question and progress caption the
// core hands out as data becomes here the text, caption and icon a front end
// shows, in the user's language. No toolkit: the window shows the result as
// a box, the terminal prints it.
#pragma once

#include <cstdint>
#include <string>

#include "message.h"
#include "question.h"
#include "view.h"

namespace velmo {
class VelmoCore;
}

namespace velmo::present {

// A box as the window shows it. The caption is given in English (the terminal's
// JSON lines carry it so); front ends translate it where they show it.
struct Box {
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

// `appName`: the caption of the conversion's failure (the program's name).
Box box(const Message& message, const std::string& appName);
// The message's text alone.
std::string text(const Message& message);
// A Yes/No question as a box with OK and Cancel (StopOperation: its text,
// asked with Yes and No by the window). FirmwareFile is asked by a file
// dialog: its box gives the dialog's title.
Box box(const Question& question);

// An operation that has no control of its own (OperationTraits::command):
// its entry in the window's context menu ("Erase the Clock..."), and the
// terminal command's help line.
std::string menuText(Operation operation);
std::string commandHelp(Operation operation);

// The progress caption of a stage.
std::string caption(ProgressStage stage);
// The detail of a stage's progress (ProgressDetail), worded in two parts:
// the song and its place, "Walk (3 of 12)" (empty when none is named) ...
std::string progressSongText(const ProgressDetail& detail);
// ... and what goes beside the bar's percentage: the bytes a Download by
// the record has written and the time left, "wrote 212 KiB of 2.9 MiB,
// 0:12 left" (empty when neither is known).
std::string progressBarText(const ProgressDetail& detail);
// "0:12 left" ("1:02:05 left" from an hour on).
std::string timeLeftText(int seconds);
// The space-usage line: " Space usage: 42.1%", or that the storage is full.
std::string spaceUsage(uint32_t total, uint32_t capacity);

// Why a song could not be converted, from the errno of the write that
// failed ("the disk is full").
std::string causeText(int errorNumber);
// "wrote 212 KiB of 2.9 MiB; 31 songs unchanged".
std::string writtenSummary(const Written& written);
// What a Download or image left off, after the sentence that ends it.
std::string withLeftOff(const std::string& finished, const LeftOff& leftOff);

// The song list's words (song_texts.cpp).
// A play time as "m:ss" ("h:mm:ss" from an hour on), rounded to the second.
std::string formatLength(double seconds);
// A size as "801.6 KiB" (KiB of 1024 bytes, one decimal), in the user's language.
std::string formatSize(uint64_t bytes);
// "Best", "Good", "Normal" (in the user's language), or "code N" for another code.
std::string qualityDisplayName(uint16_t code);
// Song i's tooltip: its file, format, length, estimated size at the quality
// in force and its share of the clock, what the last Download made of it and
// what the next does with it, one per line.
std::string songToolTip(const VelmoCore& core, size_t i);
// Why song i is not on the clock after the last Download; empty when it is
// (or no Download has been made).
std::string songLeftOffText(const VelmoCore& core, size_t i);
// "Best: 134.2 %, does not fit", "Good: 67.1 %, fits".
std::string qualityToolTip(const VelmoCore& core, uint16_t code);

}  // namespace velmo::present
