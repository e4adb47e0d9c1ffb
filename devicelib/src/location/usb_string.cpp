#include "location/usb_string.h"

#include <cstdio>
#include <cstring>

#include "QMR52916LIB_ext.h"

namespace qmr::location {

void NormaliseInquiryField(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
  for (size_t i = 0; i < n; ++i)
    if (text[i] == ' ') text[i] = '_';
}

std::string FormatUsbString(const unsigned char inquiry[36]) {
  char vendor[9] = {}, product[17] = {}, revision[5] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 16);
  std::memcpy(revision, inquiry + 32, 4);
  NormaliseInquiryField(vendor);
  NormaliseInquiryField(product);
  NormaliseInquiryField(revision);
  char text[128];
  std::snprintf(text, sizeof text, "DISK&VEN_%s&PROD_%s&REV_%s", vendor, product, revision);
  return text;
}

bool ReadUsbString(char letter, std::string& out) {
  void* handle = TVQ_OpenDevice(letter);
  if (handle == QMR_INVALID_HANDLE) return false;
  unsigned char inquiry[36] = {};
  const bool ok = USB_Inquiry(handle, inquiry) != 0;
  QMR_CloseDevice(handle);
  if (!ok) return false;
  out = FormatUsbString(inquiry);
  return true;
}

}  // namespace qmr::location
