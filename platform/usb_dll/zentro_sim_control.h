/* Control of the simulated Zentro clock (libusb_dll.so) for tests and for the
 * zentro-sim tool. The program itself never calls these: it only sees the nine
 * device-library functions (usb_dll.h).
 *
 * Where the simulator keeps its state
 * -----------------------------------
 * One folder, the "sim folder": $ZENTRO_SIM_DIR when set at the first call into
 * the library, else ~/.local/state/zentro-sim (created when missing). In it:
 *   flash.bin   the storage's bytes from storage address 0, at the size of
 *               the storage code (created all 0xFF); survives between runs.
 *               Every agent command locks it (flock), so two processes on
 *               one folder never interleave inside a command.
 *   state       plugged, plug generation, storage code, delay and faults as
 *               "key value" lines. Re-read (stat, then read when changed) at
 *               every library call, so `zentro-sim unplug` or `zentro-sim fault
 *               ...` steers a program that is running. Written atomically.
 * A missing state file means: plugged, storage code 0 (2048 KiB), no faults,
 * delay ON. The controller memory, the open handle and the call counters live
 * in the process only; unplugging clears the controller memory (the agent must
 * be loaded again) and ends every open handle.
 *   device.lock  claimed (flock) by the process whose handle is live, from
 *               usb_Lib_OpenDevice until that handle is closed, the clock is
 *               unplugged or the process ends: meanwhile an open by any other
 *               process fails (returns 0) although the clock is plugged, as a
 *               USB device claimed by another program's driver does.
 *
 * Using it from a test
 * --------------------
 * Link the test with the `usb_dll` target and include this header. In the
 * fixture's SetUp, point the simulator at the test's own folder and reset it:
 *     zentroSimSetDir(tempDir.path().c_str());   // or setenv("ZENTRO_SIM_DIR")
 *     zentroSimReset();                           // before the first call
 * zentroSimReset() leaves: plugged, storage code 0, no faults, delay OFF,
 * counters 0, controller memory cleared, no open handle, flash all 0xFF.
 * The device layer's dlopen of "libusb_dll.so" from the test's folder then
 * returns this very library, so the control calls and the program's calls see
 * one simulator.
 *
 * The delay: ON by default (a missing state file) so interactive use feels
 * like USB 1.1 full speed: 1 ms per call plus 1 microsecond per data byte,
 * about 10 ms per 4 KiB block. A test that forgets to turn it off is slow, not
 * stuck: an 8 KiB image costs about 30 ms, a whole 4 MiB storage about 10 s.
 *
 * Faults
 * ------
 * Each fault kind has a trigger, counted in its own events from the last change
 * of the state (any control call that changes it, a state file changed by
 * zentro-sim, or the disconnect fault firing restarts the counts of every fault):
 *   ZENTRO_TRIGGER_OFF     never
 *   ZENTRO_TRIGGER_AT      exactly at event number `n` (1 = the first event)
 *   ZENTRO_TRIGGER_EVERY   at every event
 *   ZENTRO_TRIGGER_RANDOM  at each event with probability n / 1000, drawn from
 *                          a generator seeded by zentroSimSetSeed (default 1):
 *                          the same seed repeats the same failures.
 * Kinds, their event and their parameter:
 *   ZENTRO_FAULT_DISCONNECT     event: a call that takes a handle (write, read,
 *                               start, result). AT n: n calls succeed, then the
 *                               clock is unplugged (as `zentro-sim unplug`) and
 *                               that call fails; the fault then clears itself,
 *                               so plugging in again works. EVERY and RANDOM
 *                               stay set. Parameter unused.
 *   ZENTRO_FAULT_ERASE_FAIL     event: an erase command; the agent reports
 *                               status 1 and erases nothing.
 *   ZENTRO_FAULT_PROGRAM_FAIL   event: a program command; the agent reports
 *                               status 1 and programs nothing.
 *   ZENTRO_FAULT_PROGRAM_SHORT  event: a program command; the agent reports
 *                               success but programs only the first `param`
 *                               bytes of the block (0: nothing at all).
 *   ZENTRO_FAULT_CORRUPT_READ   event: a usb_Lib_DMCUReadData call; the byte
 *                               at offset `param` (modulo the count) of the
 *                               bytes returned is inverted (the controller
 *                               memory itself stays intact).
 *   ZENTRO_FAULT_LOAD_FAIL      event: usb_lib_load; it returns 1 (driver not
 *                               installed).
 * The probe's answer is set apart: zentroSimSetProbeResult(1, status, value)
 * makes every probe report exactly that status and value word (for example
 * status 0 value 0xFFFFFFFF "no storage", or value 0x107); (0, ...) returns to
 * reporting the storage code.
 *
 * All functions are thread-safe and return at once (no delay). Functions that
 * return int give 0 on success and -1 on failure (bad argument, file error).
 */
#ifndef ZENTRO_SIM_CONTROL_H
#define ZENTRO_SIM_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum ZentroSimFaultKind {
    ZENTRO_FAULT_DISCONNECT = 0,
    ZENTRO_FAULT_ERASE_FAIL = 1,
    ZENTRO_FAULT_PROGRAM_FAIL = 2,
    ZENTRO_FAULT_PROGRAM_SHORT = 3,
    ZENTRO_FAULT_CORRUPT_READ = 4,
    ZENTRO_FAULT_LOAD_FAIL = 5,
    ZENTRO_FAULT_KINDS = 6
};

enum ZentroSimTrigger {
    ZENTRO_TRIGGER_OFF = 0,
    ZENTRO_TRIGGER_AT = 1,
    ZENTRO_TRIGGER_EVERY = 2,
    ZENTRO_TRIGGER_RANDOM = 3
};

/* Call counters, counted in this process since the last reset. */
enum ZentroSimCounter {
    ZENTRO_COUNT_LOAD = 0,      /* usb_lib_load */
    ZENTRO_COUNT_UNLOAD,        /* usb_lib_unload */
    ZENTRO_COUNT_DEVICE_NUM,    /* usb_Lib_DMCUGetDeviceNum */
    ZENTRO_COUNT_OPEN,          /* usb_Lib_OpenDevice (successful or not) */
    ZENTRO_COUNT_CLOSE,         /* usb_Lib_CloseDevice of a handle not yet closed */
    ZENTRO_COUNT_WRITE,         /* usb_Lib_DMCUWriteData, every address */
    ZENTRO_COUNT_PARAM_WRITE,   /*   ... of those, inside the parameter block (controller_map.h) */
    ZENTRO_COUNT_BUFFER_WRITE,  /*   ... of those, inside the transfer buffer (controller_map.h) */
    ZENTRO_COUNT_READ,          /* usb_Lib_DMCUReadData */
    ZENTRO_COUNT_START,         /* usb_Lib_DMCUProgramStart */
    ZENTRO_COUNT_CALL,          /* usb_Lib_DMCUCall */
    ZENTRO_COUNT_PROBE,         /* agent commands run: probe */
    ZENTRO_COUNT_ERASE,         /*   erase */
    ZENTRO_COUNT_PROGRAM,       /*   program */
    ZENTRO_COUNT_READ_BLOCK,    /*   read */
    ZENTRO_COUNT_BAD_HANDLE,    /* calls (close included) with a handle that is
                                   0, closed, or ended by an unplug: a program
                                   that keeps the rules never raises it */
    ZENTRO_COUNT_CRASHED_START, /* starts refused: no valid agent or not an entry */
    ZENTRO_COUNT_OPEN_BUSY,     /* opens refused: another process holds the clock */
    ZENTRO_COUNTERS
};

/* One agent command, as the simulator ran it. */
typedef struct ZentroSimAgentCommand {
    uint32_t entry;   /* the entry's controller address (controller_map.h) */
    uint32_t address; /* storage address (0 for the probe) */
    uint32_t count;   /* erase length or block byte count (0 for the probe) */
    uint32_t status;  /* the status word it reported */
} ZentroSimAgentCommand;

/* ---- folder and reset ---- */

/* Points the simulator at `dir` (created when missing) and forgets the
 * in-process state (memory, open handle, counters, fault counts). */
int zentroSimSetDir(const char* dir);
/* The folder in use (valid until the next zentroSimSetDir). */
const char* zentroSimDir(void);
/* Test defaults, written to the state file: plugged, storage code 0, no faults,
 * probe normal, delay off, seed 1; counters and agent log cleared, memory
 * cleared, no open handle, flash.bin rewritten all 0xFF. */
int zentroSimReset(void);

/* ---- plug, storage, delay (persisted in the state file) ---- */

/* Unplugging ends every open handle; plugging in again needs a new open. */
int zentroSimSetPlugged(int plugged);
int zentroSimIsPlugged(void);
/* 0 to 255. Codes 0 to 11 have a storage size; flash.bin grows (0xFF) to it. */
int zentroSimSetStorageCode(uint32_t code);
uint32_t zentroSimStorageCode(void);
/* The storage size in bytes of the current code (0 for codes 12 to 255). */
uint32_t zentroSimStorageSize(void);
int zentroSimSetDelay(int on);
int zentroSimDelay(void);

/* ---- faults (persisted in the state file) ---- */

int zentroSimSetFault(int kind, int trigger, uint32_t n, uint32_t param);
/* Reads one fault's setting back; -1 for an unknown kind. */
int zentroSimGetFault(int kind, int* trigger, uint32_t* n, uint32_t* param);
int zentroSimSetSeed(uint32_t seed);
int zentroSimSetProbeResult(int enabled, uint32_t status, uint32_t value);
/* Clears every fault and the probe override. */
int zentroSimClearFaults(void);

/* ---- counters and the agent log (this process only) ---- */

uint32_t zentroSimCount(int counter);
/* Zeroes every counter and empties the agent log. */
void zentroSimResetCounts(void);
/* Copies up to `max` of the agent commands run since the last reset (oldest
 * first; the log keeps the first 8192) and returns how many were copied. */
int zentroSimAgentLog(ZentroSimAgentCommand* out, int max);

/* ---- the storage, bypassing the agent (no NOR rules, no faults, no delay) ---- */

/* 0 when [address, address + count) lies in the storage; -1 otherwise. */
int zentroSimReadFlash(uint32_t address, uint32_t count, void* out);
/* Overwrites storage bytes as given (to set up a clock's contents). */
int zentroSimWriteFlash(uint32_t address, uint32_t count, const void* bytes);
/* Every storage byte to 0xFF. */
int zentroSimEraseAll(void);

/* ---- controller memory (64 KiB) ---- */

int zentroSimReadMemory(uint32_t address, uint32_t count, void* out);

#ifdef __cplusplus
}
#endif

#endif
