/*
 * QMR52916LIB: device access library of the RQ4820 device family.
 *
 * Every function sends one SCSI command to a device opened by drive letter and
 * returns 1 for success and 0 for failure (functions returning unsigned long
 * return a value read from the device, 0 on failure). Buffers always belong to
 * the caller and are never checked for size: give at least the data-phase
 * length that the function moves.
 *
 * A drive letter may be given in either case ('e' is the drive E:); a
 * character that is not a letter names no drive.
 *
 * Handles come from TVQ_OpenDevice or USB_OpenDevice; the invalid handle is
 * QMR_INVALID_HANDLE (all bits set). Close a handle with QMR_CloseDevice
 * (QMR52916LIB_ext.h). Any command given the invalid handle returns 0 and sends
 * nothing. On Windows the handle of a real device is the volume handle
 * itself: DeviceIoControl (FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME) and
 * CloseHandle take it as it is.
 *
 * On Windows the functions use the C calling convention (__cdecl) in 32-bit
 * and 64-bit builds alike, and QMR52916LIB.dll exports them by these names.
 */
#ifndef QMR52916LIB_H
#define QMR52916LIB_H

#if defined(_WIN32)
#  if defined(QMR52916LIB_BUILD)
#    define QMR_API __declspec(dllexport)
#  elif defined(QMR52916LIB_STATIC)
#    define QMR_API
#  else
#    define QMR_API __declspec(dllimport)
#  endif
#  define QMR_CALL __cdecl
#else
#  define QMR_API __attribute__((visibility("default")))
#  define QMR_CALL
#endif

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMR_INVALID_HANDLE ((void*)~(size_t)0)

/* Open the volume of a drive letter and check that the device answers the
 * identify command as this family does. */
QMR_API void* QMR_CALL TVQ_OpenDevice(char driveLetter);
/* Open the volume of a drive letter without the identify check. */
QMR_API void* QMR_CALL USB_OpenDevice(char driveLetter);

/* SPI flash (addresses in bytes, counts in 512-byte units). */
QMR_API int QMR_CALL TVQ_ReadFlashStatus(void* handle, unsigned char* status);
QMR_API int QMR_CALL TVQ_FlashRead(void* handle, unsigned char* buffer, unsigned long address, unsigned short count);
QMR_API int QMR_CALL TVQ_FlashWrite(void* handle, unsigned char* buffer, unsigned long address, unsigned short count);
QMR_API int QMR_CALL TVQ_FlashErase(void* handle);
QMR_API int QMR_CALL TVQ_GetFlashID(void* handle, unsigned char* id);
/* first and count in 256-byte units. */
QMR_API int QMR_CALL TVQ_SectorErase(void* handle, unsigned short first, unsigned short count, unsigned char mode);
QMR_API int QMR_CALL TVQ_ResetDevice(void* handle);

/* SD card through the vendor path. */
QMR_API int QMR_CALL TVQ_SetSDOffset(void* handle, unsigned long offset);
QMR_API int QMR_CALL TVQ_ReadSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer);
QMR_API int QMR_CALL TVQ_WriteSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer);

/* Standard SCSI block commands (512-byte sectors). */
QMR_API int QMR_CALL USB_ReadSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer);
QMR_API int QMR_CALL USB_WriteSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer);
/* The last logical block address (block count - 1), 0 on failure. */
QMR_API unsigned long QMR_CALL USB_ReadCapacity(void* handle);
/* 36 bytes of standard INQUIRY data. */
QMR_API int QMR_CALL USB_Inquiry(void* handle, unsigned char* buffer);

/* Card test queries. */
QMR_API unsigned long QMR_CALL SDTest_GetSector(void* handle);
QMR_API unsigned long QMR_CALL SDTest_GetReadTime(void* handle, unsigned long value);

/* Raw commands: the caller's 16-byte CDB is sent unchanged. */
QMR_API int QMR_CALL TVQ_BulkNone(void* handle, unsigned char* cdb);
QMR_API int QMR_CALL TVQ_BulkIn(void* handle, unsigned char* cdb, unsigned char* buffer, long length);
QMR_API int QMR_CALL TVQ_BulkOut(void* handle, unsigned char* cdb, unsigned char* buffer, long length);

/* Device location: what stands behind a drive letter. Results are copied
 * into out without a terminating NUL: pass a buffer cleared to zero (36 bytes
 * are enough for the parent string, 128 for the USB string). */
/* "DISK&VEN_%s&PROD_%s&REV_%s" from the device's INQUIRY data. */
QMR_API int QMR_CALL TVQ_GetUSBString(char driveLetter, char* out);
/* The USB storage device's instance id; its last character is the logical unit digit. */
QMR_API int QMR_CALL TVQ_GetDeviceParentString(char driveLetter, char* out);
/* The logical unit number, or -1. On systems that need it, usbString is the
 * device's USB string as TVQ_GetUSBString gives it. */
QMR_API int QMR_CALL TVQ_GetDeviceLun(char driveLetter, char* usbString);

#ifdef __cplusplus
}
#endif

#endif /* QMR52916LIB_H */
