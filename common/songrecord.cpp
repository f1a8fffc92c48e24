#include "songrecord.h"

#include <cstring>

#include "bytes.h"

namespace velmo {

namespace {

template <size_t N>
void terminateField(char (&field)[N]) {
    if (strnlen(field, N) == N) field[N - 1] = '\0';
}

}  // namespace

void encodeSongRecord(const Song& rec, uint8_t* out) {
    writeLe32(out + 0, rec.dataOffset);
    writeLe32(out + 4, rec.dataSize);
    std::memcpy(out + 8, rec.sourcePath, kPathBytes);
    std::memcpy(out + 2056, rec.workPath, kPathBytes);
    writeLe32(out + 4104, rec.sizeEstimate);
    out[4108] = rec.copyPending;
    out[4109] = rec.cutFlag;
    writeLe32(out + 4110, rec.cutLimit);
}

void decodeSongRecord(const uint8_t* in, Song& rec) {
    rec.dataOffset = readLe32(in + 0);
    rec.dataSize = readLe32(in + 4);
    std::memcpy(rec.sourcePath, in + 8, kPathBytes);
    std::memcpy(rec.workPath, in + 2056, kPathBytes);
    // A file's field may lack its terminating NUL; the record's never does,
    // so no reader of it can run past the field. A terminated field keeps
    // every byte, the ones after its NUL included.
    terminateField(rec.sourcePath);
    terminateField(rec.workPath);
    rec.sizeEstimate = readLe32(in + 4104);
    rec.copyPending = in[4108];
    rec.cutFlag = in[4109];
    rec.cutLimit = readLe32(in + 4110);
}

}  // namespace velmo
