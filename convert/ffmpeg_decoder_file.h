// The two operations of ffmpeg_decoder.h on a file that is already open. The
// program calls probeFfmpegLength and decodeFfmpeg, which open the path as a
// regular file and hand it on here; the tests hand in a stream whose reads fail
// part-way (made with fopencookie), the only way to reach the failure path of
// the reader's AVIO read callback without a failing disk.
#pragma once

#include <atomic>
#include <string>

#include "ffmpeg_decoder.h"
#include "fileio.h"

namespace velmo {

// probeFfmpegLength on `file`, which the call takes over; null gives kFfmpegNoFile.
int probeFfmpegFile(FilePtr file, FfmpegInfo& info);

// decodeFfmpeg on `file`, which the call takes over; null gives kFfmpegNoFile
// (after `pcmPath` is created, as decodeFfmpeg does for a file that does not open).
int decodeFfmpegFile(FilePtr file, const std::string& pcmPath, FfmpegInfo& info,
                     const std::atomic<bool>* stop = nullptr);
int decodeFfmpegFile(FilePtr file, PcmSink& sink, FfmpegInfo& info, const std::atomic<bool>* stop = nullptr);

}  // namespace velmo
