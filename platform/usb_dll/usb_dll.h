/* The simulated clock's device library: the nine operations that the system
 * binds by name, with C linkage. Every address, count and handle is a 32-bit
 * unsigned integer; memory addresses are controller-memory addresses. */
#ifndef ZENTRO_USB_DLL_H
#define ZENTRO_USB_DLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when the library and its (simulated) driver are ready. */
uint32_t usb_lib_load(void);
uint32_t usb_lib_unload(uint32_t zero);
/* 1 while the clock is plugged in, else 0. */
uint32_t usb_Lib_DMCUGetDeviceNum(void);
/* A new handle (never 0), or 0 when no clock is plugged in. */
uint32_t usb_Lib_OpenDevice(void);
uint32_t usb_Lib_CloseDevice(uint32_t handle);
/* The byte count on success; 0xFFFFFFFF on failure (bad handle, unplugged,
 * range past the 64 KiB controller memory). */
uint32_t usb_Lib_DMCUWriteData(uint32_t handle, uint32_t count, uint32_t address, const void* bytes);
uint32_t usb_Lib_DMCUReadData(uint32_t handle, uint32_t count, uint32_t address, void* buffer);
/* 0 when the code at `address` ran: a valid agent image at the load address
 * and one of its four entries (controller_map.h). Anything else fails like a
 * crashed controller: 1, and the next result reports a non-zero status. */
uint32_t usb_Lib_DMCUProgramStart(uint32_t handle, uint32_t address);
/* Fills `result` (size must be at least 8) with status and value words in host
 * byte order. Returns 0 when it filled the block, else 1. */
uint32_t usb_Lib_DMCUCall(uint32_t handle, void* result, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
