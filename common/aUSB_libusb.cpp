/* Real USB devices through libusb-1.0: devices of the CoreLatch vendor id, found
 * by their serial-number string, with the vendor interface claimed (the kernel
 * driver, if any, detached for as long as it is held). */
#include <libusb-1.0/libusb.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <new>

#include "aUSB.h"

namespace {

struct UsbHandle {
  libusb_device_handle* device = nullptr;
  int interfaceNumber = -1;
};

/* One context for the process, made on first use; null when this machine has no
 * USB to offer (no devices can be there then). */
libusb_context* context() {
  static std::once_flag once;
  static libusb_context* ctx = nullptr;
  std::call_once(once, [] {
    if (libusb_init(&ctx) != 0) ctx = nullptr;
  });
  return ctx;
}

aErr fromLibusb(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return aErrNone;
    case LIBUSB_ERROR_TIMEOUT:
      return aErrNotReady;
    case LIBUSB_ERROR_INTERRUPTED:
      return aErrCancel;
    case LIBUSB_ERROR_BUSY:
      return aErrBusy;
    case LIBUSB_ERROR_NO_MEM:
      return aErrMemory;
    default:
      return aErrIO;
  }
}

/* The serial-number string of an open device, "" when it has none. */
void serialOf(libusb_device_handle* h, const libusb_device_descriptor& d, char* text, size_t size) {
  text[0] = 0;
  if (d.iSerialNumber == 0) return;
  int n = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, reinterpret_cast<unsigned char*>(text),
                                             static_cast<int>(size - 1));
  text[n > 0 ? n : 0] = 0;
}

/* Opens each present device of the vendor in turn and shows it to visit with its
 * serial-number string; a visit that answers true keeps the handle, which ends
 * the walk and is answered. Null when no visit kept one; *listed false when the
 * devices could not be listed at all. */
template <typename Visit>
libusb_device_handle* walkDevices(Visit visit, bool* listed = nullptr) {
  if (listed) *listed = true;
  libusb_context* ctx = context();
  if (!ctx) return nullptr;
  libusb_device** all = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &all);
  if (n < 0) {
    if (listed) *listed = false;
    return nullptr;
  }
  libusb_device_handle* kept = nullptr;
  for (ssize_t i = 0; i < n && !kept; ++i) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(all[i], &d) != 0 || d.idVendor != aUSB_VENDOR_ID) continue;
    libusb_device_handle* h = nullptr;
    if (libusb_open(all[i], &h) != 0) continue;
    char text[64];
    serialOf(h, d, text, sizeof text);
    if (visit(d, text)) kept = h;
    else libusb_close(h);
  }
  libusb_free_device_list(all, 1);
  return kept;
}

aErr usbList(aUSBDeviceInfo* devices, uint32_t max, uint32_t* count) {
  if (!count) return aErrParam;
  *count = 0;
  bool listed = true;
  walkDevices(
      [&](const libusb_device_descriptor& d, const char* text) {
        if (devices && *count < max) {
          snprintf(devices[*count].serialText, sizeof devices[*count].serialText, "%.8s", text);
          devices[*count].productId = d.idProduct;
        }
        ++*count;
        return false;
      },
      &listed);
  return listed ? aErrNone : aErrIO;
}

/* Claims the vendor interface of the active configuration and lists its endpoints. */
aErr claim(UsbHandle* u, aUSBEndpoint* endpoints, uint32_t* count) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(u->device), &config) != 0) return aErrInitialization;
  aErr err = aErrInitialization;
  for (int i = 0; i < config->bNumInterfaces && err == aErrInitialization && u->interfaceNumber < 0; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& d = itf.altsetting[a];
      if (d.bInterfaceClass != aUSB_INTERFACE_CLASS || d.bInterfaceSubClass != aUSB_INTERFACE_SUBCLASS ||
          d.bInterfaceProtocol != aUSB_INTERFACE_PROTOCOL)
        continue;
      libusb_set_auto_detach_kernel_driver(u->device, 1);
      int r = libusb_claim_interface(u->device, d.bInterfaceNumber);
      bool claimed = r == 0;
      if (claimed && d.bAlternateSetting != 0)
        r = libusb_set_interface_alt_setting(u->device, d.bInterfaceNumber, d.bAlternateSetting);
      if (r != 0) {
        // Claimed but unusable: let it go, which also gives the kernel driver back.
        if (claimed) libusb_release_interface(u->device, d.bInterfaceNumber);
        err = r == LIBUSB_ERROR_BUSY ? aErrBusy : aErrInitialization;
        break;
      }
      u->interfaceNumber = d.bInterfaceNumber;
      *count = 0;
      for (int e = 0; e < d.bNumEndpoints && e < aUSB_MAX_ENDPOINTS; ++e) {
        const libusb_endpoint_descriptor& ep = d.endpoint[e];
        endpoints[e] = aUSBEndpoint{ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize};
        *count = static_cast<uint32_t>(e + 1);
      }
      err = aErrNone;
      break;
    }
  }
  libusb_free_config_descriptor(config);
  return err;
}

void usbClose(void* handle) {
  UsbHandle* u = static_cast<UsbHandle*>(handle);
  if (!u) return;
  if (u->interfaceNumber >= 0) libusb_release_interface(u->device, u->interfaceNumber);
  if (u->device) libusb_close(u->device);
  delete u;
}

aErr usbOpen(const char* serialText, void** handle, aUSBEndpoint* endpoints, uint32_t* count) {
  if (!serialText || !handle || !endpoints || !count) return aErrParam;
  *handle = nullptr;
  *count = 0;
  libusb_device_handle* found =
      walkDevices([&](const libusb_device_descriptor&, const char* text) { return strcmp(text, serialText) == 0; });
  if (!found) return aErrNotFound;
  UsbHandle* u = new (std::nothrow) UsbHandle;
  if (!u) {
    libusb_close(found);
    return aErrMemory;
  }
  u->device = found;
  aErr err = claim(u, endpoints, count);
  if (err != aErrNone) {
    usbClose(u);
    return err;
  }
  *handle = u;
  return aErrNone;
}

unsigned int timeoutOf(uint32_t ms) { return ms == 0 ? 1 : ms; }

aErr usbBulkIn(void* handle, uint8_t endpoint, uint8_t* buffer, uint32_t size, uint32_t* received,
               uint32_t timeoutMs) {
  UsbHandle* u = static_cast<UsbHandle*>(handle);
  if (!u || !buffer || !received) return aErrParam;
  int got = 0;
  int r = libusb_bulk_transfer(u->device, endpoint, buffer, static_cast<int>(size), &got, timeoutOf(timeoutMs));
  *received = got > 0 ? static_cast<uint32_t>(got) : 0;
  // Bytes that came before the time ran out are bytes all the same.
  if (r == LIBUSB_ERROR_TIMEOUT && got > 0) return aErrNone;
  if (r == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(u->device, endpoint);
    return aErrNotReady;
  }
  return fromLibusb(r);
}

aErr usbBulkOut(void* handle, uint8_t endpoint, const uint8_t* bytes, uint32_t count, uint32_t* sent,
                uint32_t timeoutMs) {
  UsbHandle* u = static_cast<UsbHandle*>(handle);
  if (!u || (!bytes && count) || !sent) return aErrParam;
  int done = 0;
  int r = libusb_bulk_transfer(u->device, endpoint, const_cast<uint8_t*>(bytes), static_cast<int>(count), &done,
                               timeoutOf(timeoutMs));
  *sent = done > 0 ? static_cast<uint32_t>(done) : 0;
  if (r == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(u->device, endpoint);
    return aErrNotReady;
  }
  return fromLibusb(r);
}

aErr usbClearEndpoint(void* handle, uint8_t endpoint) {
  UsbHandle* u = static_cast<UsbHandle*>(handle);
  if (!u) return aErrParam;
  return fromLibusb(libusb_clear_halt(u->device, endpoint));
}

const aUSBOps kLibusbOps = {"libusb", usbList, usbOpen, usbBulkIn, usbBulkOut, usbClearEndpoint, usbClose};

}  // namespace

aLIB_BEGIN

const aUSBOps* aUSB_LibusbOps(void) { return &kLibusbOps; }

aLIB_END
