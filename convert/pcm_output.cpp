#include "pcm_output.h"

#include <algorithm>

#include "bytes.h"

namespace velmo {

std::unique_ptr<PcmBlockWriter> PcmBlockWriter::make(std::FILE* out) {
    if (out == nullptr) return nullptr;
    auto file = std::make_unique<FilePcmSink>(out);
    std::unique_ptr<PcmBlockWriter> writer(new PcmBlockWriter(*file, kBlockBytes));
    writer->file_ = std::move(file);
    return writer;
}

std::unique_ptr<PcmBlockWriter> PcmBlockWriter::make(PcmSink& out, size_t blockBytes) {
    return std::unique_ptr<PcmBlockWriter>(new PcmBlockWriter(out, blockBytes));
}

bool PcmBlockWriter::writeBlock(size_t bytes) {
    if (!out_.write(block_.data(), bytes)) failed_ = true;
    fill_ = 0;
    return !failed_;
}

bool PcmBlockWriter::appendFrame(const FixedSample* left, const FixedSample* right, size_t count) {
    if (failed_) return false;
    size_t done = 0;
    while (done < count) {
        // Convert a run that fits the block without a per-sample fullness test.
        const size_t run = std::min(count - done, (block_.size() - fill_) / 2);
        uint8_t* p = block_.data() + fill_;
        const FixedSample* l = left + done;
        if (right != nullptr) {
            const FixedSample* r = right + done;
            for (size_t i = 0; i < run; ++i) {
                const int16_t v = mixToMono(fixedToPcm16(l[i]), fixedToPcm16(r[i]));
                writeLe16(p + 2 * i, static_cast<uint16_t>(v));
            }
        } else {
            // (v + v) / 2 is v: a single-channel frame needs no mix.
            for (size_t i = 0; i < run; ++i) writeLe16(p + 2 * i, static_cast<uint16_t>(fixedToPcm16(l[i])));
        }
        fill_ += 2 * run;
        done += run;
        if (fill_ == block_.size() && !writeBlock(fill_)) return false;
    }
    return true;
}

bool PcmBlockWriter::finish() {
    if (failed_) return false;
    if (fill_ == 0) return true;
    return writeBlock(fill_);
}

}  // namespace velmo
