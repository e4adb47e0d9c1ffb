// The library's exports: each builds one 16-byte CDB and sends it.
#include <climits>
#include <cstdint>

#include "QMR52916LIB.h"
#include "transport.h"

namespace {

using qmr::SendScsiCommand;

constexpr unsigned kUnit = 512;  // flash transfer and SD sector size

struct Cdb {
  uint8_t b[16] = {};
  Cdb(std::initializer_list<uint8_t> head) {
    size_t i = 0;
    for (uint8_t v : head) b[i++] = v;
  }
  // Big-endian fields: the device reads numbers most significant byte first.
  Cdb& Put32(int at, uint32_t v) {
    b[at] = uint8_t(v >> 24);
    b[at + 1] = uint8_t(v >> 16);
    b[at + 2] = uint8_t(v >> 8);
    b[at + 3] = uint8_t(v);
    return *this;
  }
  Cdb& Put16(int at, uint16_t v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
    return *this;
  }
  Cdb& Put8(int at, uint8_t v) {
    b[at] = v;
    return *this;
  }
};

int In(void* h, const Cdb& c, unsigned char* buf, int len) { return SendScsiCommand(h, c.b, buf, len, nullptr, 0); }
int Out(void* h, const Cdb& c, unsigned char* buf, int len) { return SendScsiCommand(h, c.b, nullptr, 0, buf, len); }
int NoData(void* h, const Cdb& c) { return SendScsiCommand(h, c.b, nullptr, 0, nullptr, 0); }

int Units(unsigned short count) { return int(count) * int(kUnit); }

uint32_t Low32(unsigned long v) { return uint32_t(v); }

unsigned long LittleEndian32(const uint8_t* a) {
  return (unsigned long)a[0] | (unsigned long)a[1] << 8 | (unsigned long)a[2] << 16 | (unsigned long)a[3] << 24;
}

// The raw exports take a long; a length beyond what one command can move is
// refused, and one of 0 or less means no data phase.
int RawLength(long length) { return length > INT_MAX ? -1 : length < 0 ? 0 : int(length); }

}  // namespace

extern "C" {

QMR_API int TVQ_ReadFlashStatus(void* handle, unsigned char* status) {
  return In(handle, Cdb{0xF6, 0x01}, status, 2);
}

QMR_API int TVQ_FlashRead(void* handle, unsigned char* buffer, unsigned long address, unsigned short count) {
  return In(handle, Cdb{0xF6, 0x05, 0x06}.Put32(3, Low32(address)).Put16(7, count), buffer, Units(count));
}

QMR_API int TVQ_FlashWrite(void* handle, unsigned char* buffer, unsigned long address, unsigned short count) {
  return Out(handle, Cdb{0xF6, 0x06, 0x06}.Put32(3, Low32(address)).Put16(7, count), buffer, Units(count));
}

QMR_API int TVQ_FlashErase(void* handle) { return NoData(handle, Cdb{0xF6, 0x08}); }

QMR_API int TVQ_GetFlashID(void* handle, unsigned char* id) { return In(handle, Cdb{0xF6, 0x09, 0x01}, id, 4); }

QMR_API int TVQ_SectorErase(void* handle, unsigned short first, unsigned short count, unsigned char mode) {
  return NoData(handle, Cdb{0xF6, 0x15, 0x06}.Put16(3, first).Put16(5, count).Put8(7, mode));
}

QMR_API int TVQ_ResetDevice(void* handle) { return NoData(handle, Cdb{0xF6, 0xFF}); }

QMR_API int TVQ_SetSDOffset(void* handle, unsigned long offset) {
  // The one payload that carries a number: least significant byte first.
  const uint32_t v = Low32(offset);
  unsigned char payload[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return Out(handle, Cdb{0xF6, 0xE0}, payload, 4);
}

QMR_API int TVQ_ReadSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer) {
  return In(handle, Cdb{0xF6, 0xE1, 0x00}.Put32(3, Low32(sector)).Put16(7, count), buffer, Units(count));
}

QMR_API int TVQ_WriteSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer) {
  return Out(handle, Cdb{0xF6, 0xE2, 0x00}.Put32(3, Low32(sector)).Put16(7, count), buffer, Units(count));
}

QMR_API int USB_ReadSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer) {
  return In(handle, Cdb{0x28, 0x00}.Put32(2, Low32(sector)).Put16(7, count), buffer, Units(count));
}

QMR_API int USB_WriteSD(void* handle, unsigned long sector, unsigned short count, unsigned char* buffer) {
  return Out(handle, Cdb{0x2A, 0x00}.Put32(2, Low32(sector)).Put16(7, count), buffer, Units(count));
}

QMR_API unsigned long USB_ReadCapacity(void* handle) {
  uint8_t answer[8] = {};
  if (!In(handle, Cdb{0x25, 0, 0, 0, 0, 0, 0, 0, 0x01}, answer, 8)) return 0;
  return (unsigned long)answer[0] << 24 | (unsigned long)answer[1] << 16 | (unsigned long)answer[2] << 8 |
         (unsigned long)answer[3];
}

QMR_API int USB_Inquiry(void* handle, unsigned char* buffer) {
  // Allocation length byte 4 stays 0 and byte 8 is 1, as the device family expects.
  return In(handle, Cdb{0x12, 0, 0, 0, 0, 0, 0, 0, 0x01}, buffer, 36);
}

QMR_API unsigned long SDTest_GetSector(void* handle) {
  uint8_t answer[4] = {};
  if (!In(handle, Cdb{0xF6, 0xF0, 0xF0}, answer, 4)) return 0;
  return LittleEndian32(answer);
}

QMR_API unsigned long SDTest_GetReadTime(void* handle, unsigned long value) {
  uint8_t answer[4] = {};
  if (!In(handle, Cdb{0xF6, 0xF0, 0xF1}.Put32(3, Low32(value)), answer, 4)) return 0;
  return LittleEndian32(answer) * 10;
}

QMR_API int TVQ_BulkNone(void* handle, unsigned char* cdb) {
  if (cdb == nullptr) return 0;
  return SendScsiCommand(handle, cdb, nullptr, 0, nullptr, 0);
}

QMR_API int TVQ_BulkIn(void* handle, unsigned char* cdb, unsigned char* buffer, long length) {
  if (cdb == nullptr) return 0;
  const int n = RawLength(length);
  if (n < 0) return 0;
  return SendScsiCommand(handle, cdb, buffer, n, nullptr, 0);
}

QMR_API int TVQ_BulkOut(void* handle, unsigned char* cdb, unsigned char* buffer, long length) {
  if (cdb == nullptr) return 0;
  const int n = RawLength(length);
  if (n < 0) return 0;
  return SendScsiCommand(handle, cdb, nullptr, 0, buffer, n);
}

}  // extern "C"
