// txqueue: a bounded first-in first-out ring of fixed-size slots in storage
// the owner provides, with a manual-reset event that is signalled while the
// queue holds a record. Producers and the consumer work on a slot in place:
// a Get...Ptr call takes the queue's lock and the matching ...Complete call
// releases it, so at most one slot per queue is open at a time and no other
// operation on the same queue may be called in between (locks are not
// recursive). Any number of producer threads, one consumer thread per queue.
//
// Slot i starts at i * (record size + 4): a 4-byte length, most significant
// byte first, then the record's data bytes.
#pragma once

#include "winemu.h"

constexpr DWORD TX_QUEUE_HEADER_SIZE = 4;

struct tagTX_QUEUE {
    HANDLE hEvent;  // manual reset; signalled while dwCount > 0
    DWORD dwWritePtr;  // byte offset of the next slot to fill
    DWORD dwReadPtr;  // byte offset of the oldest filled slot
    DWORD dwCount;  // filled slots
    BYTE* pbyData;  // the owner's storage
    DWORD dwRecordSize;  // data bytes per slot
    DWORD dwNumMaxRecords;  // slots
    DWORD dwMaxDataSize;  // dwNumMaxRecords * (dwRecordSize + 4)
    CRITICAL_SECTION cs;  // guards every field and an open slot
};
typedef tagTX_QUEUE TX_QUEUE;

// Storage bytes a queue of numRecords slots of recordSize bytes needs.
constexpr DWORD TxQueue_StorageSize(DWORD recordSize, DWORD numRecords)
{
    return numRecords * (recordSize + TX_QUEUE_HEADER_SIZE);
}

void TxQueue_Init(TX_QUEUE* q);
BOOL TxQueue_Create(TX_QUEUE* q, BYTE* storage, DWORD recordSize, DWORD numRecords);
void TxQueue_Destroy(TX_QUEUE* q);
void TxQueue_Delete(TX_QUEUE* q);
// Waits for a record (or TxQueue_Set); returns at once when one is queued.
void TxQueue_Wait(TX_QUEUE* q, DWORD ms);
// Wakes the consumer without queuing anything.
void TxQueue_Set(TX_QUEUE* q);

// Null when full; otherwise the free slot's data with the lock held.
BYTE* TxQueue_GetWritePtr(TX_QUEUE* q);
void TxQueue_WriteComplete(TX_QUEUE* q, BYTE* slot, DWORD length);
// Null when empty; otherwise the oldest record with the lock held.
BYTE* TxQueue_GetReadPtr(TX_QUEUE* q, DWORD* pLength);
void TxQueue_ReadComplete(TX_QUEUE* q, BYTE* slot);

// Copying forms: Put stores min(length, record size) bytes (0 when full);
// Get copies min(record length, size) bytes and consumes the whole record.
DWORD TxQueue_Put(TX_QUEUE* q, const BYTE* data, DWORD length);
DWORD TxQueue_Get(TX_QUEUE* q, BYTE* buffer, DWORD size);
void TxQueue_Clear(TX_QUEUE* q);
BOOL TxQueue_IsFull(TX_QUEUE* q);
BOOL TxQueue_IsEmpty(TX_QUEUE* q);
