// The record of a verified Download (its codec, read with bounds checks) and
// the rule by which a Reload settles reads of the clock that disagree.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "bytes.h"
#include "device.h"
#include "reload.h"
#include "reload_record.h"
#include "storage_layout.h"
#include "tempdir.h"

using namespace velmo;
using velmo::test::TempDir;

namespace {

// A storage image of two songs (5 and 3 bytes) as a Download writes it.
std::vector<uint8_t> twoSongImage() {
    StorageHeader h;
    h.songCount = 2;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = 4;
    h.entries[0] = {0, 5, "one"};
    h.entries[1] = {5, 3, "two"};
    std::vector<uint8_t> image(kStorageHeaderBytes + 8);
    encodeStorageHeader(h, image.data());
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(image.data() + kStorageHeaderBytes, data, sizeof data);
    return image;
}

}  // namespace

TEST(ReloadRecord, RoundTripsThroughItsFile) {
    TempDir dir;
    const std::vector<uint8_t> image = twoSongImage();
    ReloadRecord record;
    ASSERT_TRUE(recordOfImage(image.data(), image.size(), record));
    ASSERT_EQ(2u, record.digests.size());
    const uint8_t second[3] = {6, 7, 8};
    EXPECT_EQ(songDigest(second, 3), record.digests[1]);
    EXPECT_NE(record.digests[0], record.digests[1]);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + kStorageHeaderBytes), record.header);

    ASSERT_TRUE(saveReloadRecord(dir.path(), record));
    ReloadRecord loaded;
    ASSERT_TRUE(loadReloadRecord(dir.path(), loaded));
    EXPECT_EQ(record.header, loaded.header);
    EXPECT_EQ(record.digests, loaded.digests);
    EXPECT_EQ(encodeReloadRecord(record), encodeReloadRecord(loaded));
    removeReloadRecord(dir.path());
    EXPECT_FALSE(loadReloadRecord(dir.path(), loaded));
}

TEST(ReloadRecord, AnythingButAWholeRecordIsRefused) {
    const std::vector<uint8_t> image = twoSongImage();
    ReloadRecord record;
    ASSERT_TRUE(recordOfImage(image.data(), image.size(), record));
    const std::vector<uint8_t> good = encodeReloadRecord(record);
    ReloadRecord out;
    ASSERT_TRUE(decodeReloadRecord(good.data(), good.size(), out));
    struct Row {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> edit;
    } rows[] = {
        {"empty", [](std::vector<uint8_t>& b) { b.clear(); }},
        {"one byte short", [](std::vector<uint8_t>& b) { b.pop_back(); }},
        {"one byte more", [](std::vector<uint8_t>& b) { b.push_back(0); }},
        {"another magic", [](std::vector<uint8_t>& b) { b[0] = 'X'; }},
        {"version 2", [](std::vector<uint8_t>& b) { writeLe16(b.data() + 8, 2); }},
        {"a count the header does not have", [](std::vector<uint8_t>& b) { writeLe16(b.data() + 10, 1); }},
        {"a count of 33", [](std::vector<uint8_t>& b) { writeLe16(b.data() + 10, 33); }},
        {"a count of 65535", [](std::vector<uint8_t>& b) { writeLe16(b.data() + 10, 0xFFFF); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> bytes = good;
        row.edit(bytes);
        EXPECT_FALSE(decodeReloadRecord(bytes.data(), bytes.size(), out));
    }
    // An image whose song lies past its end, or without a signature, has no record.
    std::vector<uint8_t> shortImage(image.begin(), image.end() - 1);
    EXPECT_FALSE(recordOfImage(shortImage.data(), shortImage.size(), record));
    std::vector<uint8_t> unsigned_ = image;
    unsigned_[6] = 'X';
    EXPECT_FALSE(recordOfImage(unsigned_.data(), unsigned_.size(), record));
}

// Reads that disagree are repeated until two agree (or one matches the
// record), at most kMostReads reads in all.
TEST(ReloadCheck, ReadsAreRepeatedUntilTheySettle) {
    using Bytes = std::vector<uint8_t>;
    const Bytes a = {1, 2, 3}, b = {1, 2, 4}, c = {9, 2, 3}, d = {1, 0, 3};
    struct Row {
        const char* name;
        std::vector<Bytes> earlier;
        std::vector<Bytes> next;  // what each further read gives
        bool withRecord;          // the record says `a` is right
        int result;
        Bytes taken;
        size_t readsMade;
    } rows[] = {
        {"the third read agrees with the first", {a, b}, {a}, false, kDeviceOk, a, 1},
        {"the third read agrees with the second", {a, b}, {b}, false, kDeviceOk, b, 1},
        {"the fourth read agrees with the third", {a, b}, {c, c}, false, kDeviceOk, c, 2},
        {"no two reads alike", {a, b}, {c, d}, false, kReadsDisagree, {}, 2},
        {"the header's second read agrees", {a}, {a}, false, kDeviceOk, a, 1},
        {"the record's bytes come on the second read", {b}, {a}, true, kDeviceOk, a, 1},
        {"reads that agree with each other but not with the record", {b}, {b, b, b}, true, kReadsDisagree, {}, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        size_t made = 0;
        const auto readAgain = [&](Bytes& out) {
            out = row.next.at(made++);
            return kDeviceOk;
        };
        Bytes taken;
        const int r = settleReads(
            row.earlier, readAgain,
            row.withRecord ? std::function<bool(const Bytes&)>([&](const Bytes& x) { return x == a; }) : nullptr,
            taken);
        EXPECT_EQ(row.result, r);
        if (r == kDeviceOk) {
            EXPECT_EQ(row.taken, taken);
        }
        EXPECT_EQ(row.readsMade, made);
    }
    // A read that fails ends it with the failure.
    Bytes taken;
    EXPECT_EQ(kDeviceConnectionFailed, settleReads(
                                           {a, b}, [](Bytes&) { return kDeviceConnectionFailed; }, nullptr, taken));
}
