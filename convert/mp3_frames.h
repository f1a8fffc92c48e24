// The layout of an MPEG audio file (MP3, MP2) read from its frame headers
// alone: where the tags before and after the audio lie, where the first real
// frame starts, and how many frames the audio holds.
//
// Tags are skipped by the sizes they declare, never searched for frames, so a
// cover picture or a chapter frame whose bytes happen to look like a frame
// header is never taken for audio. The first frame is one that starts a chain
// of frames following one another (or that runs to the end of the audio).
#pragma once

#include <cstdint>
#include <cstdio>

namespace velmo {

// One frame header, field by field.
struct MpegHeader {
    unsigned versionBits = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    unsigned layer = 0;        // 1, 2 or 3
    uint32_t bitRate = 0;      // bits per second
    uint32_t sampleRate = 0;   // samples per second
    unsigned padding = 0;      // 0 or 1
    unsigned mode = 0;         // 3 single channel
    bool crc = false;          // a 16-bit check follows the header
    uint32_t frameBytes = 0;   // the whole frame, header included
    uint32_t samples = 0;      // samples per channel in the frame
};

// Reads the 4 header bytes at `h`. False for anything that is no frame
// header of a fixed bit rate: no sync, a reserved version, layer, bit rate,
// sample rate or emphasis, or the free-format bit rate.
bool parseMpegHeader(const uint8_t* h, MpegHeader& out);

// Where the audio of a file lies.
struct Mp3Layout {
    bool found = false;        // a first frame was found
    uint64_t audioStart = 0;   // its first byte; else where the tags before the audio end
    uint64_t audioEnd = 0;     // the first byte of the tags at the end (ID3v1, APE, Lyrics3), or the file size
    MpegHeader first;          // the first frame's header
    MpegHeader firstAudio;     // the first frame that holds audio (after a Xing, Info or VBRI frame)
    bool vbrHeaderFrame = false;  // the first frame is a Xing, Info or VBRI frame, which holds no audio
    uint32_t frames = 0;          // measureMp3Frames: the audio frames, the header frame not counted
    uint64_t samples = 0;         // measureMp3Frames: their samples per channel, at each frame's own rate
    bool countFromVbrHeader = false;  // measureMp3Frames: the count is the header frame's, found consistent
};

// Tags and first frame of the open file `f` of `fileSize` bytes. Reads only
// the tags' headers and the first frames. False when no first frame is found
// (audioStart and audioEnd are set all the same) or a read fails.
bool locateMp3Audio(std::FILE* f, uint64_t fileSize, Mp3Layout& out);

// locateMp3Audio, then the count of audio frames: the Xing, Info or VBRI
// frame's count when the bytes the file holds agree with it (its frames can
// neither need more bytes than the audio has nor far fewer), otherwise a walk
// over the frame headers to the end of the audio, passing over damaged bytes
// as a decoder resynchronises. Reads the file once at most and decodes nothing.
bool measureMp3Frames(std::FILE* f, uint64_t fileSize, Mp3Layout& out);

}  // namespace velmo
