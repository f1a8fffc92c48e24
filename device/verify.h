// Comparing the clock's storage with the image that was written into it.
#pragma once

#include <atomic>

#include "device.h"
#include "events.h"
#include "transfer.h"
#include "work_context.h"

namespace velmo {

// Thread body. Reads the image file job.path (resolved against ctx.startDir;
// a regular file of at most imageCapacity(ctx.storageKB) bytes, bounded before
// any of it is read), then reads the clock's storage from job.address
// (kStorageHeaderAddress) for the image's length in blocks of up to 4096
// bytes, comparing each as it comes and posting ReadProgress; with
// job.verifySpans, only the header and those spans of the image. Looks at `stop`
// (may be null) before each block. job.blockSize is not used.
// End events:
//   every byte the same                -> VerifyDone{same = true}, after the image's record
//                                         (reload_record.h) and its sectors' record
//                                         (image_record.h) are saved in ctx.startDir
//   a byte differs                     -> VerifyDone{false, its storage address, the clock's byte,
//                                         the image's byte}; nothing past that block is read
//   the image cannot be read           -> ReadFailed{Verify, errno} (EFBIG: too large for the
//                                         storage, ENODATA: empty)
//   a block read fails                 -> ReadFailed{Verify, 0}
//   stopped                            -> JobStopped{Read}
void verifyWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                  const std::atomic<bool>* stop);

}  // namespace velmo
