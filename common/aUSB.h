/* The USB access layer under the USB stream: one table of procedures ("ops")
 * that finds CoreLatch devices, opens one by its serial number, claims its vendor
 * interface and moves bulk transfers. Two tables exist: libusb for real devices
 * (aUSB_LibusbOps) and a simulated bus reached over a Unix-domain socket
 * (aUSB_SimOps), chosen by aUSB_Ops from the environment:
 *   CORELATCH_USB_BUS=PATH   the simulated bus listening at PATH
 *   unset or empty           libusb
 *
 * Every procedure answers an aErr and never prints.
 *
 * The simulated bus protocol. Every connection is a SOCK_SEQPACKET stream to the
 * bus socket; every message is one packet whose first byte is its kind. Integers
 * are little-endian.
 *   host -> bus  'L'                          list the devices
 *   bus -> host  'l' count(u16) then per device: serial text (8 bytes, no
 *                zero), product id (u16)
 *   host -> bus  'O' serial text (8 bytes) role ('I' or 'O')
 *                                             attach this connection to the
 *                                             device's IN or OUT side
 *   bus -> host  'o' status (u8: 0 done, 1 no such device, 2 side already
 *                held) then, when done, count (u8) and per endpoint of the
 *                vendor interface: address (u8), attributes (u8, USB
 *                transfer type in bits 0-1), max packet size (u16)
 *   bus -> host  'D' bytes                    on an IN connection: one IN
 *                                             packet (at most the IN max packet)
 *   host -> bus  'W' bytes                    on an OUT connection: one OUT
 *                                             transfer (at most the OUT max packet)
 *   bus -> host  'w' accepted (u32)           the bytes the device took
 *   host -> bus  'U' serial text (8 bytes)    (tests) unplug the device: its
 *                                             connections close and it leaves
 *                                             the list; no answer
 * A device unplugged, or a bus that went away, shows as a closed connection. */
#ifndef aUSB_H
#define aUSB_H

#include "aError.h"

#define aUSB_VENDOR_ID 0x24FF
/* The vendor interface that carries the packet bytes. */
#define aUSB_INTERFACE_CLASS 0xFF
#define aUSB_INTERFACE_SUBCLASS 0x88
#define aUSB_INTERFACE_PROTOCOL 0x10
/* Endpoint attributes, transfer type bits. */
#define aUSB_TRANSFER_CONTROL 0
#define aUSB_TRANSFER_ISOCHRONOUS 1
#define aUSB_TRANSFER_BULK 2
#define aUSB_TRANSFER_INTERRUPT 3
/* Direction bit of an endpoint address: set for IN. */
#define aUSB_ENDPOINT_IN 0x80
#define aUSB_MAX_ENDPOINTS 16

typedef struct aUSBDeviceInfo {
  char serialText[9]; /* the USB serial-number string (eight hex digits), zero-terminated */
  uint16_t productId;
} aUSBDeviceInfo;

typedef struct aUSBEndpoint {
  uint8_t address;    /* with aUSB_ENDPOINT_IN for IN endpoints */
  uint8_t attributes; /* transfer type in bits 0-1 */
  uint16_t maxPacket;
} aUSBEndpoint;

typedef struct aUSBOps {
  /* "libusb" or "simulated bus". */
  const char* name;
  /* Devices of vendor aUSB_VENDOR_ID present now: up to max entries go into
   * devices, *count gets the number found (may exceed max). No devices, or no USB
   * on this machine, is aErrNone with *count 0; aErrIO when the bus cannot be
   * asked. */
  aErr (*list)(aUSBDeviceInfo* devices, uint32_t max, uint32_t* count);
  /* Opens the device whose serial-number string is serialText and claims its
   * vendor interface (class, subclass, protocol above). *handle gets the open
   * device. The interface's endpoints go into endpoints (up to
   * aUSB_MAX_ENDPOINTS), their number into *count. aErrNotFound: no such device,
   * or it cannot be opened; aErrBusy: another holder has it; aErrInitialization:
   * it has no vendor interface or the interface cannot be claimed. */
  aErr (*open)(const char* serialText, void** handle, aUSBEndpoint* endpoints, uint32_t* count);
  /* One IN transfer of up to size bytes from the endpoint, waiting at most
   * timeoutMs. aErrNone with *received set (0 is possible); aErrNotReady when
   * nothing came in time; aErrCancel when the transfer was cancelled; aErrIO
   * when the device is gone or the transfer failed otherwise. */
  aErr (*bulkIn)(void* handle, uint8_t endpoint, uint8_t* buffer, uint32_t size, uint32_t* received,
                 uint32_t timeoutMs);
  /* One OUT transfer of count bytes (at most the endpoint's max packet), waiting
   * at most timeoutMs. *sent gets the bytes the device took, also on failure.
   * aErrNotReady when the time ran out, aErrIO as for bulkIn. */
  aErr (*bulkOut)(void* handle, uint8_t endpoint, const uint8_t* bytes, uint32_t count, uint32_t* sent,
                  uint32_t timeoutMs);
  /* Clears a halted endpoint and drops what is pending on it. */
  aErr (*clearEndpoint)(void* handle, uint8_t endpoint);
  /* Releases the interface and closes the device; handle is gone afterwards. */
  void (*close)(void* handle);
} aUSBOps;

aLIB_BEGIN

/* The table CORELATCH_USB_BUS selects (read at each call). */
const aUSBOps* aUSB_Ops(void);
const aUSBOps* aUSB_LibusbOps(void);
/* The simulated bus at the path CORELATCH_USB_BUS names when a procedure runs. */
const aUSBOps* aUSB_SimOps(void);

aLIB_END

#endif
