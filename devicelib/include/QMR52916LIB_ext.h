/*
 * QMR52916LIB extensions: closing handles, command timeouts, the command trace, the drive
 * letters and the device simulator. Any program linked against the library
 * can use them.
 */
#ifndef QMR52916LIB_EXT_H
#define QMR52916LIB_EXT_H

#include "QMR52916LIB.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library reads its setup from the environment (QMR52916_SIMULATE) at
 * the first call. When that setup cannot be used, every device, drive and
 * simulator function fails (returns its failure value: the invalid handle,
 * 0, or -1 for TVQ_GetDeviceLun), the reason is printed to stderr once, and
 * this returns 1 with the reason in error (NUL-terminated, cut to errorSize).
 * Returns 0 and "" when the setup is good. QMR_SimConfigure replaces the
 * setup; programs end with status 2 and the reason instead of going on. */
QMR_API int QMR_CALL QMR_GetSetupError(char* error, int errorSize);

/* Closes a handle from TVQ_OpenDevice or USB_OpenDevice; the invalid handle is ignored. */
QMR_API void QMR_CALL QMR_CloseDevice(void* handle);

/* How many handles are open now (record handles: simulated devices, and real
 * ones outside Windows); a caller that closes what it opens sees it return to
 * where it was. */
QMR_API int QMR_CALL QMR_OpenHandleCount(void);

/* --- Command timeout -------------------------------------------------------
 * How long a command waits for the device before it fails. The library's
 * default is 4000 seconds, as other line software expects. The timeout is kept
 * per handle: a handle starts with the process default in force when it was
 * opened (the open's identify command uses that default too), and
 * QMR_SetCommandTimeout changes it for the handle's later commands only, so
 * each thread sets the bound of its own handle without touching others. On
 * Windows the pass-through counts whole seconds (rounded up). Any thread may
 * call these. */

/* The default for handles opened from now on, in milliseconds; 0 restores
 * 4000 seconds. */
QMR_API void QMR_CALL QMR_SetDefaultCommandTimeout(unsigned long milliseconds);
QMR_API unsigned long QMR_CALL QMR_GetDefaultCommandTimeout(void);

/* One handle's timeout, in milliseconds (0: the process default). Returns 1,
 * or 0 for a handle that is not open. */
QMR_API int QMR_CALL QMR_SetCommandTimeout(void* handle, unsigned long milliseconds);
/* The handle's timeout in milliseconds; 0 for a handle that is not open. */
QMR_API unsigned long QMR_CALL QMR_GetCommandTimeout(void* handle);

/* 1 when the handle's last command failed because the device did not answer
 * within the timeout (rather than answering with an error), else 0. */
QMR_API int QMR_CALL QMR_CommandTimedOut(void* handle);

/* Appends one line per command to the file ("" or NULL: off). Overrides
 * QMR52916_TRACE. Returns 1, or 0 when the file cannot be opened. */
QMR_API int QMR_CALL QMR_SetTraceFile(const char* path);

/* --- Drives ----------------------------------------------------------------
 * The real drives that TVQ_OpenDevice can reach (the simulator's are in
 * QMR_SimDriveMask). On Linux the library letters removable USB disks from C:
 * upwards, a letter staying with its device while it is attached and the
 * first scan following the USB port order; QMR52916_DRIVES, when set, alone
 * decides. On Windows these are the removable drives. Each call reads the
 * drives again. Any thread may call them. */

/* Drive mask (bit 0 = "A:") of the lettered drives. */
QMR_API unsigned long QMR_CALL QMR_DriveMask(void);

/* The OS device node behind a letter ("/dev/sdb"), NUL-terminated. Returns 1,
 * or 0 when the letter names no drive or the node does not fit size bytes. */
QMR_API int QMR_CALL QMR_DriveNode(char letter, char* out, int size);

/* Returns the drive mask and gives the letters that appeared (arrived) and
 * went (removed) since the previous call; a letter whose device changed is in
 * both. Meant for one watcher per process. Either pointer may be NULL. */
QMR_API unsigned long QMR_CALL QMR_DriveChanges(unsigned long* arrived, unsigned long* removed);

/* --- Simulator -------------------------------------------------------------
 * spec: a number N (N default devices on E, F, G, ...), JSON text, or the path
 * of a JSON file; NULL or "" switches the simulator off (real devices). This
 * replaces whatever QMR52916_SIMULATE gave. Returns 1, or 0 with a message in
 * error (which may be NULL) and the previous configuration kept. */
QMR_API int QMR_CALL QMR_SimConfigure(const char* spec, char* error, int errorSize);

/* 1 when commands go to simulated devices. When QMR52916_SIMULATE holds a
 * configuration that cannot be used, returns -1 and puts the message in error. */
QMR_API int QMR_CALL QMR_SimStatus(char* error, int errorSize);

/* Drive mask (bit 0 = "A:") of the simulated drives currently plugged. */
QMR_API unsigned long QMR_CALL QMR_SimDriveMask(void);

/* Plug in or pull out the device that owns the letter (either logical unit). */
QMR_API int QMR_CALL QMR_SimPlug(char letter);
QMR_API int QMR_CALL QMR_SimUnplug(char letter);

/* Adds a fault to the device that owns the letter, in the JSON form of the
 * configuration's "faults" entries. */
QMR_API int QMR_CALL QMR_SimAddFault(char letter, const char* faultJson, char* error, int errorSize);

/* Direct access to simulated content, without commands, faults or timing. */
QMR_API int QMR_CALL QMR_SimPeekFlash(char letter, unsigned long long address, unsigned char* buffer,
                             unsigned long long length);
QMR_API int QMR_CALL QMR_SimPokeFlash(char letter, unsigned long long address, const unsigned char* buffer,
                             unsigned long long length);
QMR_API int QMR_CALL QMR_SimPeekSd(char letter, unsigned long long offset, unsigned char* buffer,
                          unsigned long long length);

/* Called on every simulated plug (arrived = 1) and unplug (0) with the mask
 * of the device's letters, from the thread that caused it. NULL removes it.
 * The listener stays installed when the configuration is replaced. */
typedef void (QMR_CALL *QMR_SimListener)(void* context, int arrived, unsigned long mask);
QMR_API void QMR_CALL QMR_SimSetListener(QMR_SimListener listener, void* context);

/* The volume lock of a simulated drive: 0 when a "lock" fault fires or the
 * device is gone. */
QMR_API int QMR_CALL QMR_SimLockVolume(char letter);
QMR_API int QMR_CALL QMR_SimUnlockVolume(char letter);

/* A simulated card's size and the bytes written to it so far. */
QMR_API int QMR_CALL QMR_SimCardUsage(char letter, unsigned long long* totalBytes, unsigned long long* usedBytes);
/* Empties a simulated card, as a format would. */
QMR_API int QMR_CALL QMR_SimFormatCard(char letter);

/* The letters of every simulated device (logical unit 0), plugged or not, in
 * configuration order, NUL-terminated in out. Returns how many there are. */
QMR_API int QMR_CALL QMR_SimDeviceLetters(char* out, int outSize);

#ifdef __cplusplus
}
#endif

#endif /* QMR52916LIB_EXT_H */
