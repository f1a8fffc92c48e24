// LAME's encoder library interface: six C functions and the BE_CONFIG record,
// as the Windows lame_enc.dll offers them, carried by liblame_enc.so here.
//
// Widths are fixed: DWORD, BOOL, LONG, INT and enum values are 32 bits, WORD
// 16, BYTE 8 (never `long`, which is 64-bit on Linux). Records are packed and
// little-endian, as on the platform the interface comes from. The stream
// handle is pointer-sized.
//
// Call order per song: beInitStream, any number of beEncodeChunk, then
// beDeinitStream (the last frames), then beCloseStream. beEncodeChunk takes at
// most the samples per chunk that beInitStream reported, and every output
// buffer must hold the output buffer size it reported.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef int32_t INT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint32_t BE_ERR;
typedef uintptr_t HBE_STREAM;

enum : BE_ERR {
    BE_ERR_SUCCESSFUL = 0,
    BE_ERR_INVALID_FORMAT = 1,             // not the extended LAME record
    BE_ERR_INVALID_FORMAT_PARAMETERS = 2,  // a setting LAME cannot encode with
    BE_ERR_NO_MORE_HANDLES = 3,            // the encoder could not be made
    BE_ERR_INVALID_HANDLE = 4,             // not a stream of this library
    BE_ERR_BUFFER_TOO_SMALL = 5,           // more samples than the output buffer was sized for
};

enum : DWORD {
    BE_CONFIG_MP3 = 0,     // the old short form: refused with BE_ERR_INVALID_FORMAT
    BE_CONFIG_LAME = 256,  // the extended form below
};

enum : DWORD { CURRENT_STRUCT_VERSION = 1, CURRENT_STRUCT_SIZE = 331 };

enum : LONG { BE_MP3_MODE_STEREO = 0, BE_MP3_MODE_JSTEREO = 1, BE_MP3_MODE_DUALCHANNEL = 2, BE_MP3_MODE_MONO = 3 };

enum : LONG {
    LQP_NOPRESET = -1,
    LQP_NORMAL_QUALITY = 0,
    LQP_LOW_QUALITY = 1,
    LQP_HIGH_QUALITY = 2,
    LQP_VOICE_QUALITY = 3,
    LQP_R3MIX = 4,
    LQP_VERYHIGH_QUALITY = 5,
};

enum : LONG {
    VBR_METHOD_NONE = -1,
    VBR_METHOD_DEFAULT = 0,
    VBR_METHOD_OLD = 1,
    VBR_METHOD_NEW = 2,
    VBR_METHOD_MTRH = 3,
    VBR_METHOD_ABR = 4
};

#pragma pack(push, 1)
// The extended form (LAME header version 1); zero it, then set the fields.
struct BE_CONFIG {
    DWORD dwConfig;         // BE_CONFIG_LAME
    DWORD dwStructVersion;  // 1
    DWORD dwStructSize;     // 331
    DWORD dwSampleRate;     // input samples per second
    DWORD dwReSampleRate;   // output rate; 0 lets LAME choose
    LONG nMode;             // BE_MP3_MODE_*
    DWORD dwBitrate;        // kbit/s: the CBR rate, or the VBR minimum
    DWORD dwMaxBitrate;     // VBR maximum, kbit/s
    LONG nPreset;           // LQP_*
    DWORD dwMpegVersion;    // 1 MPEG-1, 0 MPEG-2 (informative: the output rate decides)
    DWORD dwPsyModel;
    DWORD dwEmphasis;
    BOOL bPrivate;
    BOOL bCRC;
    BOOL bCopyright;
    BOOL bOriginal;
    BOOL bWriteVBRHeader;
    BOOL bEnableVBR;
    INT nVBRQuality;  // 0..9
    DWORD dwVbrAbr_bps;
    LONG nVbrMethod;  // VBR_METHOD_*
    BOOL bNoRes;      // disable the bit reservoir
    BOOL bStrictIso;
    WORD nQuality;  // used when the high byte is the NOT of the low byte (LAME quality 0..9)
    BYTE btReserved[237];
};

// What beVersion fills.
struct BE_VERSION {
    BYTE byDLLMajorVersion;  // this library
    BYTE byDLLMinorVersion;
    BYTE byMajorVersion;  // the LAME engine
    BYTE byMinorVersion;
    BYTE byDay;  // this library's release date
    BYTE byMonth;
    WORD wYear;
    char zHomepage[129];  // LAME's home page, NUL-terminated
    BYTE byAlphaLevel;
    BYTE byBetaLevel;
    BYTE byMMXEnabled;
    BYTE btReserved[125];
};
#pragma pack(pop)

static_assert(sizeof(BE_CONFIG) == 331, "BE_CONFIG is 331 bytes");
static_assert(offsetof(BE_CONFIG, dwSampleRate) == 12, "layout");
static_assert(offsetof(BE_CONFIG, nMode) == 20, "layout");
static_assert(offsetof(BE_CONFIG, dwBitrate) == 24, "layout");
static_assert(offsetof(BE_CONFIG, nPreset) == 32, "layout");
static_assert(offsetof(BE_CONFIG, bOriginal) == 60, "layout");
static_assert(offsetof(BE_CONFIG, bNoRes) == 84, "layout");
static_assert(offsetof(BE_CONFIG, nQuality) == 92, "layout");
static_assert(offsetof(BE_CONFIG, btReserved) == 94, "layout");
static_assert(sizeof(BE_VERSION) == 265, "BE_VERSION is 265 bytes");

typedef BE_ERR (*BEINITSTREAM)(BE_CONFIG*, DWORD*, DWORD*, HBE_STREAM*);
typedef BE_ERR (*BEENCODECHUNK)(HBE_STREAM, DWORD, int16_t*, BYTE*, DWORD*);
typedef BE_ERR (*BEDEINITSTREAM)(HBE_STREAM, BYTE*, DWORD*);
typedef BE_ERR (*BECLOSESTREAM)(HBE_STREAM);
typedef void (*BEVERSION)(BE_VERSION*);
typedef BE_ERR (*BEWRITEVBRHEADER)(const char*);

// Validates the record (kind, version, size, mode, bit rate ...) and opens an
// encoder. On success fills the samples each beEncodeChunk takes (frame size x
// channels), the output buffer size each call needs (1.25 x samples + 7200) and
// the stream handle.
BE_ERR beInitStream(BE_CONFIG* config, DWORD* samplesPerChunk, DWORD* outputBufferSize, HBE_STREAM* stream);
// Encodes `sampleCount` 16-bit samples (interleaved for two channels); sets
// *outputBytes to the MP3 bytes placed in `output` (possibly 0).
BE_ERR beEncodeChunk(HBE_STREAM stream, DWORD sampleCount, int16_t* samples, BYTE* output, DWORD* outputBytes);
// Flushes the last frames into `output`.
BE_ERR beDeinitStream(HBE_STREAM stream, BYTE* output, DWORD* outputBytes);
// Frees the stream; a stream that wrote a VBR header is kept for beWriteVBRHeader.
BE_ERR beCloseStream(HBE_STREAM stream);
void beVersion(BE_VERSION* version);
// Rewrites the Xing header at the start of the finished file of the last
// stream closed with bWriteVBRHeader set.
BE_ERR beWriteVBRHeader(const char* fileName);

}  // extern "C"
