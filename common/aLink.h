/* Device links: the link specifier shared with discovery, the process-wide link
 * table, the per-link engine (a receive thread and a send thread over one stream)
 * with its exported packet operations, and the create, reset and destroy
 * operations for each transport. */
#ifndef aLINK_H
#define aLINK_H

#include "aMutex.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aStream.h"

#define aLINK_CHECK 0xCEED

/* How a device is reached. 0 marks a link over a caller-supplied stream. */
typedef enum {
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  AETHER = 4,
  AETHER_USB = 5,
  AETHER_TCPIP = 6,
  AETHER_SERIAL = 7
} linkType;

/* How to reach one device: 128 bytes, also the payload of discovery beacons.
 * Integers are little-endian except ip_address, which is in network order. */
typedef struct linkSpec {
  int32_t type; /* linkType */
  uint32_t serial_num;
  uint32_t module;
  uint32_t router;
  uint32_t router_serial_num;
  uint32_t model;
  union {
    uint32_t ip_address; /* network types */
    uint32_t usb_id;     /* USB: the serial number again */
    uint32_t baud_rate;  /* SERIAL: bits per second */
  };
  union {
    uint32_t ip_port;        /* network types: the rest is zero */
    char serial_port[100];   /* SERIAL: zero-terminated port name */
  };
} linkSpec;

#ifdef __cplusplus
static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
#else
_Static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
#endif

typedef enum {
  kLinkStopped = 0,
  kLinkStarting = 1,
  kLinkRunning = 2,
  kLinkStopping = 3,
  kLinkSyncing = 4,
  kLinkNoStream = 5,
  kLinkIOError = 6,
  kLinkQueueError = 8
} linkStatus;

/* Packet log sizes: 0 stands for the default, larger than the maximum is refused. */
#define aLINK_DEFAULT_LOG_SIZE 65536
#define aLINK_MAX_LOG_SIZE 67108864

typedef void* (*aLinkThreadProc)(void* link);

/* The per-link record. Fields marked shared are read and written atomically by
 * the two link threads and by callers. */
typedef struct aLink {
  uint16_t check; /* aLINK_CHECK once initialised */
  int32_t id;
  uint8_t running;   /* shared: the threads are meant to run */
  int32_t status;    /* shared: linkStatus */
  uint64_t inFifo;
  aPacket* partial;  /* packet being assembled by the receive thread */
  uint64_t outFifo;
  void* inThread;    /* thread handles while the threads exist */
  void* outThread;
  aLinkThreadProc inProc;
  aLinkThreadProc outProc;
  uint8_t inRunning;  /* shared: set by each thread once started */
  uint8_t outRunning;
  aStream* stream;    /* owned by the link */
  int32_t syncState;  /* aSyncState */
  uint8_t syncByte;
  aPacketLog* packetLog;
  int32_t logSize;
  aMutex* logSema;    /* shared pointer: guards packetLog */
  aPacketFilter userFilter;
  void* userFilterRef;
  aMutex* userFilterSema;
  uint8_t pooled;     /* shared: gather queued packets into one write */
} aLink;

/* One entry of the link table, newest first. */
typedef struct linkEntry {
  int32_t id;
  int32_t linkedDeviceId; /* a sharing server's own client link: the device link behind it */
  void* server;           /* sharing server attached to this device link, or null */
  int32_t ident0;
  int32_t ident1;
  int32_t ident2;
  int32_t type;           /* linkType */
  int16_t use_count;
  aLink* link;
  struct linkEntry* next;
} linkEntry;

aLIB_BEGIN

/* ---- Link specifiers */

/* A zeroed specifier with its type set; null without memory. */
aLIBEXPORT linkSpec* aLinkSpec_Create(int32_t type);
aLIBEXPORT linkSpec* aLinkSpec_Copy(linkSpec spec);
aLIBEXPORT aErr aLinkSpec_Destroy(linkSpec** spec);

/* ---- Packet operations. An id not in the table has no effect and gets the
 * answer given. */

/* kLinkNoStream for an unknown id. */
aLIBEXPORT linkStatus aLink_GetStatus(int32_t id);
/* Queues a copy for sending; the caller keeps its packet. aErrParam for an unknown id. */
aLIBEXPORT aErr aLink_PutPacket(int32_t id, const aPacket* packet);
/* The oldest received packet, or null; the caller destroys it. */
aLIBEXPORT aPacket* aLink_GetPacket(int32_t id);
aLIBEXPORT aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref);
aLIBEXPORT aPacket* aLink_AwaitPacket(int32_t id, uint32_t milliseconds);
/* Waits while the link runs; a link that is not running answers null at once. */
aLIBEXPORT aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t milliseconds);
/* Removes every received packet the filter accepts; answers how many (0 for an unknown id). */
aLIBEXPORT uint32_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref);
/* The receive thread offers every complete packet to this filter first; a packet
 * it takes is neither queued nor answered as a heartbeat. Nulls clear it. */
aLIBEXPORT aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref);
aLIBEXPORT aErr aLink_EnablePooledPackets(int32_t id, uint8_t pooled);

/* Packet log: entry types aPACKETLOG_OUT, aPACKETLOG_IN, aPACKETLOG_TEXT. */
aLIBEXPORT aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t bytes);
aLIBEXPORT aErr aLink_PacketDebug_Enable(int32_t id);
aLIBEXPORT aErr aLink_PacketDebug_Disable(int32_t id);
aLIBEXPORT aErr aLink_PacketDebug_Write(int32_t id, uint8_t type, uint32_t length, const uint8_t* bytes);
/* On entry *length is the buffer size, on return the entry's length. */
aLIBEXPORT aErr aLink_PacketDebug_Read(int32_t id, uint8_t* type, uint32_t* length, uint8_t* buffer);

/* ---- Creation, reset and destroy. Creates answer the link id (new or shared),
 * 0 on failure; a failed create leaves no table entry. */

/* USB device by serial number (on the simulated bus when CORELATCH_USB_BUS names
 * one). Shared like TCP/IP links. A new link syncs with the device first; one
 * that does not answer within about two seconds is not made (0). */
aLIBEXPORT int32_t aLink_CreateUSB(uint32_t serialNumber);
/* TCP/IP device: address in network byte order. A link for the serial number is
 * shared (one more holder) unless a sharing server serves it (then 0). */
aLIBEXPORT int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port);
/* Serial device with framed packets, 8N1. identifier names the link (the device's
 * serial number); baudRate in bits per second, one of 2400 ... 230400. */
aLIBEXPORT int32_t aLink_CreateSerial(uint32_t identifier, const char* portName, uint32_t baudRate);
/* A link over a stream the caller built; the link owns the stream from the call on
 * (also when the call fails). Such a link cannot be reset. */
aLIBEXPORT int32_t aLink_Create(aStream* stream);
/* One holder less; the last one tears the link down. Always zeroes *id. */
aLIBEXPORT aErr aLink_Destroy(int32_t* id);
/* Stops the link, rebuilds its stream to the same place and starts it afresh
 * (no user filter, no packet log, pooled writes off). */
aLIBEXPORT aErr aLink_Reset(int32_t id);

/* ---- Library-internal: the table and the engine, for the create operations and
 * the sharing server. */

int32_t sCreate(int32_t ident0, int32_t ident1, int32_t type);
int32_t sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type);
linkEntry* sLookupEntryByID(int32_t id);
aLink* sLookupLinkByID(int32_t id);
linkEntry* sLookupEntryByIdent(int32_t ident0, int32_t type);
linkEntry* sLookupEntryByIdents(int32_t ident0, int32_t ident1, int32_t ident2);
linkEntry* sExtractEntry(int32_t id);
/* Answers the new count. */
int16_t sChangeUseCount(linkEntry* entry, int16_t delta);
/* Looked up and changed under one hold of the table mutex, so that a create
 * sharing a link and the destroy of its last holder cannot cross. sAddHolder:
 * the newest entry of (ident0, type) gets one more holder and its id is
 * answered; 0 without one, -1 (and no holder) when it is served and
 * refuseServed is set. sRemoveHolder: one holder less; the entry is taken out
 * of the table and answered when none is left; *found tells whether the id was
 * in the table. */
int32_t sAddHolder(int32_t ident0, int32_t type, bool refuseServed);
linkEntry* sRemoveHolder(int32_t id, bool* found);
/* Frees an entry taken out of the table and its (already torn down) record. */
void sFreeEntry(linkEntry* entry);

int32_t aLink_Init(int32_t id, aStream* stream);
/* aErrBusy while a thread an earlier stop could not end still runs. */
aErr aLink_Start(int32_t id);
aErr aLink_Stop(aLink* link);
aErr aLink_ForceRoute(int32_t id, uint8_t value);
/* Asks the receive thread to resynchronise (status kLinkSyncing). */
void aLink_RequestSync(aLink* link);
/* Releases what aLink_Init made; the link must be stopped. A thread the stop
 * could not end is waited for once more (5 s); if it still runs, the record and
 * stream stay (it may still use them) and false is answered. */
bool aLink_Release(aLink* link, aErr* outFifoResult);

aLIB_END

#endif
