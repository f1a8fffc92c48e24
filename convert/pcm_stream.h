// Where decoded PCM goes and where the encoder takes it from: 16-bit signed
// little-endian mono samples as bytes. A song's decoder and encoder run at
// once on two threads joined by a PcmPipe, so no PCM file is written; the
// file ends remain for the tools and tests that want the PCM itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

namespace velmo {

class PcmSink {
  public:
    virtual ~PcmSink() = default;
    // The samples' rate, told once before the first write: the encoder
    // cannot be prepared without it.
    virtual void begin(uint32_t sampleRate) = 0;
    // False when the bytes could not be taken in full; nothing more is taken.
    virtual bool write(const uint8_t* bytes, size_t count) = 0;
};

class PcmSource {
  public:
    virtual ~PcmSource() = default;
    // Fills `count` bytes unless the samples end first; the bytes given. A
    // short count is the end, or a failure when failed() says so.
    virtual size_t read(uint8_t* into, size_t count) = 0;
    virtual bool failed() const = 0;
};

// A file the caller owns. The rate is not stored in it.
class FilePcmSink : public PcmSink {
  public:
    explicit FilePcmSink(std::FILE* file) : file_(file) {}
    void begin(uint32_t) override {}
    bool write(const uint8_t* bytes, size_t count) override {
        errno = 0;
        if (count == 0 || std::fwrite(bytes, 1, count, file_) == count) return true;
        if (error_ == 0) error_ = errno != 0 ? errno : EIO;
        return false;
    }
    // The system's error number (errno) of the first write that failed; 0 when none did.
    int error() const { return error_; }

  private:
    std::FILE* file_;
    int error_ = 0;
};

class FilePcmSource : public PcmSource {
  public:
    explicit FilePcmSource(std::FILE* file) : file_(file) {}
    size_t read(uint8_t* into, size_t count) override { return std::fread(into, 1, count, file_); }
    bool failed() const override { return std::ferror(file_) != 0; }

  private:
    std::FILE* file_;
};

// A bounded queue of PCM between one writer thread (the decoder) and one
// reader thread (the encoder). The writer waits while the queue is full, the
// reader while it holds less than it asks for; either side ending releases
// the other, so a stop seen by one side never leaves the other waiting.
class PcmPipe : public PcmSink, public PcmSource {
  public:
    explicit PcmPipe(size_t capacityBytes) : ring_(capacityBytes == 0 ? 1 : capacityBytes) {}

    // Writer side.
    void begin(uint32_t sampleRate) override;
    bool write(const uint8_t* bytes, size_t count) override;
    // The writer is done: no more samples and no rate will come.
    void endWriting();

    // Reader side.
    // Waits for the rate; 0 when the writer ended without telling one.
    uint32_t waitForRate();
    size_t read(uint8_t* into, size_t count) override;
    bool failed() const override { return false; }
    // The reader wants nothing more: writes from now on are refused at once.
    void endReading();
    // The reader wants nothing more, but the writer is to run to its end
    // (whether it decodes to the end still matters): writes are dropped.
    void discardFromNowOn();

  private:
    size_t lowWater() const;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // next byte to read
    size_t size_ = 0;  // bytes held
    uint32_t rate_ = 0;
    bool writerEnded_ = false;
    bool readerEnded_ = false;
    bool discarding_ = false;
    size_t writerNeeds_ = 0;  // free bytes the waiting writer waits for; 0: not waiting
    size_t readerNeeds_ = 0;  // held bytes the waiting reader waits for; 0: not waiting
};

}  // namespace velmo
