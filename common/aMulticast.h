/* UDP multicast senders and receivers. Addresses are in network byte order. */
#ifndef aMULTICAST_H
#define aMULTICAST_H

#include "aStream.h"

#define aSOCKET_CHECK 0xDEAD

typedef struct aMulticast aMulticast;

aLIB_BEGIN

/* An interface of 0 or 127.0.0.1 means 127.0.0.1. Null on any failure. */
aLIBEXPORT aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port,
                                         uint8_t sender);
/* 0, or -2 for a null record. */
aLIBEXPORT int aMulticast_Destroy(aMulticast** multicast);
/* Bytes received; -1 on failure or after the 1 s receive timeout, -2 for a null
 * record, -3 for a sender. */
aLIBEXPORT int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, uint32_t size);
/* Bytes sent to the group; -1 on failure, -2 for a null record, -3 for a receiver. */
aLIBEXPORT int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, uint32_t length);

aLIB_END

#endif
