/* Device-link packets: the record, its byte-wise assembly and getters, the
 * link-control packets, and the receive side's sync machine and heartbeat
 * answer that a link's receive thread runs. */
#ifndef aPACKET_H
#define aPACKET_H

#include "aError.h"

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAXDATA 28
/* address + size + data */
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)

/* Link-control packets (address byte). */
#define cmdSYNC 0xAD
#define cmdFORCEROUTE 0xAF
/* Command byte of a heartbeat packet (data byte 0). */
#define cmdHEARTBEAT 0

typedef struct aPacket {
  uint16_t check;     /* aPACKET_CHECK while valid */
  uint8_t collected;  /* wire bytes added so far, address and size included */
  uint8_t address;    /* first wire byte */
  uint8_t dataSize;   /* second wire byte, 0..28 */
  uint8_t data[aPACKET_MAXDATA];
} aPacket;

/* Selection filter over a packet (valid only during the call); non-zero takes it. */
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* ref);

/* Receive-side sync states (kept by the link as its syncState). */
typedef enum {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5
} aSyncState;

/* What a byte fed to the sync machine leaves the link in. */
typedef enum {
  aSyncPending = 0, /* still syncing: the status stays kLinkSyncing */
  aSyncDone = 1     /* two zero-length packets from one even address: status kLinkRunning */
} aSyncOutcome;

aLIB_BEGIN

aLIBEXPORT aPacket* aPacket_Create(void);
/* Null for a null data pointer, a length above 28 or no memory. */
aLIBEXPORT aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
/* Null for an invalid source or one whose dataSize exceeds 28. */
aLIBEXPORT aPacket* aPacket_Copy(const aPacket* packet);
/* Frees and nulls; the check word is not tested. aErrParam for null pointers. */
aLIBEXPORT aErr aPacket_Destroy(aPacket** packet);
aLIBEXPORT aErr aPacket_Reset(aPacket* packet);
/* Adds one received wire byte: aErrOverrun past 30 bytes, aErrPacket for a zero
 * address byte, a size above 28 or a byte beyond the announced size. */
aLIBEXPORT aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
aLIBEXPORT bool aPacket_IsComplete(const aPacket* packet);
/* Wire bytes (address, size, data) into buffer; length gets dataSize + 2 when
 * given. aErrOverrun (nothing written) when size is too small. */
aLIBEXPORT aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, uint32_t size, uint32_t* length);
aLIBEXPORT aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aLIBEXPORT aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aLIBEXPORT aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aLIBEXPORT bool aVALIDPACKET(const aPacket* packet);

/* Receive side of a link, called by the link engine's receive thread.
 *
 * aPacket_SyncStart (syncStart): the caller sets its status to kLinkSyncing
 * first; the state goes to kSyncStateStart, partial is reset, cmdSYNC is put six
 * times into outFifo and the state becomes kSyncStateByte1 when the sixth put
 * succeeded. Answers the result of the last put.
 *
 * aPacket_SyncByte: one byte received while the status is kLinkSyncing; runs
 * syncStart itself where the machine asks for it. On aSyncDone the caller sets
 * its status to kLinkRunning.
 *
 * aPacket_HandleHeartbeat (sHandleHBBackChannel): true when packet is a
 * heartbeat (size 2, command 0); its reply A, 2, 0, b + 2 is then put into
 * outFifo and the caller drops the packet. */
aErr aPacket_SyncStart(int32_t* syncState, aPacket* partial, uint64_t outFifo);
aSyncOutcome aPacket_SyncByte(int32_t* syncState, uint8_t* syncByte, uint8_t byte, aPacket* partial,
                              uint64_t outFifo);
bool aPacket_HandleHeartbeat(const aPacket* packet, uint64_t outFifo);

aLIB_END

#endif
