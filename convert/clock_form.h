// Songs already in the clock's form: an MP3 whose every frame is one the
// encoder would write at the list's quality goes to the clock as it is. Its
// frames are copied, not decoded and encoded again: an MP3 encoded twice
// loses quality, and the songs a Reload brings back are all of this kind,
// so a Reload and a Download at the same quality leave the clock as it was.
//
// The clock's form at a quality is MPEG audio layer III, one channel, the
// quality's constant bit rate at the sample rate the encoder uses for it
// (clockFormSampleRate), no CRC, and the header flags the encoder writes:
// private bit, copyright bit, emphasis and mode extension 0, original bit 1.
// Only the padding bit may vary from frame to frame.
//
// A file in that form may carry ID3v2 tags before its frames, ID3v1, APE and
// Lyrics3 tags after them, and an Info, Xing or VBRI frame first: those are
// left out. Anything else (a byte that starts no such frame, one frame of
// another kind, a frame cut short by the file's end) and the song is encoded
// as any other.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace velmo {

// The sample rate of the clock's form at `quality` (8, 4 or 2); 0 for any
// other code. The encoder is given it for every input rate but 44100 Hz at
// Best, where it chooses the rate itself, and takes this same one.
uint32_t clockFormSampleRate(uint16_t quality);

// Where the frames of a file in the clock's form lie.
struct ClockFormAudio {
    bool inForm = false;
    uint64_t begin = 0;   // the first audio frame (after tags and an Info frame)
    uint64_t end = 0;     // just past the last one
    uint32_t frames = 0;  // audio frames, at least 1 when inForm
};

// Walks the file's frame headers (no decoding; a few milliseconds for a
// long song). `path` is a full path. A file that cannot be read, or whose
// audio passes what 32 bits count, is not in the form. Stops early, not in
// the form, once `stop` is set.
ClockFormAudio findClockFormAudio(const std::string& path, uint16_t quality, const std::atomic<bool>* stop = nullptr);

// The quality (8, 4 or 2) whose clock form the file is in; 0 for none.
uint16_t clockFormQuality(const std::string& path);

// A cut song's frames past the point where its bytes reach the limit. The
// encoder stops taking output at the first chunk that finds the limit
// reached, then writes what its flush gives: the rest of that chunk's frames
// and the frames of the samples it still holds. That is 2 frames for a song
// at the clock's own rate (3 at Normal), and more the lower the song's rate,
// since one chunk of its samples makes more frames: 8 at 8 kHz, 13 at 4 kHz.
// A copy keeps this many, as many as the encoder can keep for any song of
// 4 kHz or more, so that a cut song the clock gave back is whole again at
// the same limit. (An outside file in the form keeps up to 14 frames, a
// third of a second, more than its encoding would.)
constexpr uint32_t kFramesPastCut = 16;

// Results of copyClockFormFrames.
constexpr int kCopyOk = 0;
constexpr int kCopyNoFile = -1;       // the song or the MP3 file could not be opened, or the song changed
constexpr int kCopyWriteFailed = -3;  // a frame was not written in full
constexpr int kCopyStopped = -6;      // the stop request was seen

// Appends the audio frames of `audio` (found in `path` at `quality`) to
// `mp3Path`, created if missing, frame by frame. With `cutFlag` set, as the
// encoder does: frames are taken while the bytes written are below `limit`,
// then kFramesPastCut more (as many as the song has). `onOutput` is
// told the bytes written as they grow. Sets `bytesWritten` only on success.
int copyClockFormFrames(const std::string& path, const ClockFormAudio& audio, uint16_t quality, uint8_t cutFlag,
                        uint32_t limit, const std::string& mp3Path, uint32_t& bytesWritten,
                        const std::atomic<bool>* stop = nullptr, const std::function<void(uint32_t)>& onOutput = {});

}  // namespace velmo
