/* Line software as an installed package serves it: built against the
 * installed QMR52916LIB with pkg-config or find_package, run on a simulated
 * device. Prints the drive's flash id and card size; exit status 0 when the
 * device answered. */
#include <stdio.h>
#include <string.h>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"

int main(void) {
  char error[256] = "";
  if (!QMR_SimConfigure("1", error, (int)sizeof error)) {
    fprintf(stderr, "simulator: %s\n", error);
    return 1;
  }
  void* device = TVQ_OpenDevice('E');
  if (device == QMR_INVALID_HANDLE) {
    fprintf(stderr, "E: does not open\n");
    return 1;
  }
  unsigned char id[5];
  memset(id, 0, sizeof id);
  const int idRead = TVQ_GetFlashID(device, id);
  const unsigned long lastSector = USB_ReadCapacity(device);
  QMR_CloseDevice(device);
  if (!idRead || lastSector == 0) {
    fprintf(stderr, "E: no answer\n");
    return 1;
  }
  printf("E: flash id %02X%02X%02X%02X, %lu sectors\n", id[0], id[1], id[2], id[3], lastSector + 1);
  return 0;
}
