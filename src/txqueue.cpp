// txqueue: bounded rings of fixed-size slots with an "not empty" event (see
// txqueue.h). Every state change happens under the queue's lock, and the
// event is changed only under it, so the event and the count never disagree
// while the lock is free.
#include "txqueue.h"

#include <cstring>

#include "debug.h"
#include "util.h"

namespace {

DWORD SlotSize(const TX_QUEUE* q)
{
    return q->dwRecordSize + TX_QUEUE_HEADER_SIZE;
}

DWORD NextSlot(const TX_QUEUE* q, DWORD offset)
{
    offset += SlotSize(q);
    return offset >= q->dwMaxDataSize ? 0 : offset;
}

// Both complete the write of the slot at dwWritePtr; the lock is held.
void CommitWrite(TX_QUEUE* q, DWORD length)
{
    PutBE32(q->pbyData + q->dwWritePtr, length);
    q->dwCount++;
    q->dwWritePtr = NextSlot(q, q->dwWritePtr);
    if (q->hEvent != nullptr) {
        SetEvent(q->hEvent);
    }
}

void CommitRead(TX_QUEUE* q)
{
    q->dwCount--;
    q->dwReadPtr = NextSlot(q, q->dwReadPtr);
    if (q->dwCount == 0 && q->hEvent != nullptr) {
        ResetEvent(q->hEvent);
    }
}

bool IsFullLocked(const TX_QUEUE* q)
{
    return q->dwCount >= q->dwNumMaxRecords;
}

}  // namespace

void TxQueue_Init(TX_QUEUE* q)
{
    q->hEvent = nullptr;
    q->dwWritePtr = 0;
    q->dwReadPtr = 0;
    q->dwCount = 0;
    q->pbyData = nullptr;
    q->dwRecordSize = 0;
    q->dwNumMaxRecords = 0;
    q->dwMaxDataSize = 0;
    q->cs = nullptr;
    InitializeCriticalSection(&q->cs);
}

BOOL TxQueue_Create(TX_QUEUE* q, BYTE* storage, DWORD recordSize, DWORD numRecords)
{
    q->hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (q->hEvent == nullptr) {
        DebugPrint("WARNING: CreateEvent() failed\n");
        return FALSE;
    }
    EnterCriticalSection(&q->cs);
    q->pbyData = storage;
    q->dwRecordSize = recordSize;
    q->dwNumMaxRecords = numRecords;
    q->dwMaxDataSize = TxQueue_StorageSize(recordSize, numRecords);
    q->dwWritePtr = 0;
    q->dwReadPtr = 0;
    q->dwCount = 0;
    LeaveCriticalSection(&q->cs);
    return TRUE;
}

void TxQueue_Destroy(TX_QUEUE* q)
{
    if (q->hEvent != nullptr) {
        CloseHandle(q->hEvent);
        q->hEvent = nullptr;
    }
}

void TxQueue_Delete(TX_QUEUE* q)
{
    TxQueue_Destroy(q);
    DeleteCriticalSection(&q->cs);
}

void TxQueue_Wait(TX_QUEUE* q, DWORD ms)
{
    if (q->hEvent != nullptr) {
        WaitForSingleObject(q->hEvent, ms);
    }
}

void TxQueue_Set(TX_QUEUE* q)
{
    if (q->hEvent != nullptr) {
        SetEvent(q->hEvent);
    }
}

BYTE* TxQueue_GetWritePtr(TX_QUEUE* q)
{
    EnterCriticalSection(&q->cs);
    if (IsFullLocked(q)) {
        LeaveCriticalSection(&q->cs);
        return nullptr;
    }
    return q->pbyData + q->dwWritePtr + TX_QUEUE_HEADER_SIZE;
}

void TxQueue_WriteComplete(TX_QUEUE* q, BYTE*, DWORD length)
{
    CommitWrite(q, length > q->dwRecordSize ? q->dwRecordSize : length);
    LeaveCriticalSection(&q->cs);
}

BYTE* TxQueue_GetReadPtr(TX_QUEUE* q, DWORD* pLength)
{
    EnterCriticalSection(&q->cs);
    if (q->dwCount == 0) {
        LeaveCriticalSection(&q->cs);
        return nullptr;
    }
    BYTE* slot = q->pbyData + q->dwReadPtr;
    *pLength = GetBE32(slot);
    return slot + TX_QUEUE_HEADER_SIZE;
}

void TxQueue_ReadComplete(TX_QUEUE* q, BYTE*)
{
    CommitRead(q);
    LeaveCriticalSection(&q->cs);
}

DWORD TxQueue_Put(TX_QUEUE* q, const BYTE* data, DWORD length)
{
    EnterCriticalSection(&q->cs);
    if (IsFullLocked(q)) {
        LeaveCriticalSection(&q->cs);
        return 0;
    }
    DWORD stored = length > q->dwRecordSize ? q->dwRecordSize : length;
    std::memcpy(q->pbyData + q->dwWritePtr + TX_QUEUE_HEADER_SIZE, data, stored);
    CommitWrite(q, stored);
    LeaveCriticalSection(&q->cs);
    return stored;
}

DWORD TxQueue_Get(TX_QUEUE* q, BYTE* buffer, DWORD size)
{
    EnterCriticalSection(&q->cs);
    if (q->dwCount == 0) {
        LeaveCriticalSection(&q->cs);
        return 0;
    }
    const BYTE* slot = q->pbyData + q->dwReadPtr;
    DWORD length = GetBE32(slot);
    DWORD copied = length > size ? size : length;
    std::memcpy(buffer, slot + TX_QUEUE_HEADER_SIZE, copied);
    CommitRead(q);
    LeaveCriticalSection(&q->cs);
    return copied;
}

void TxQueue_Clear(TX_QUEUE* q)
{
    EnterCriticalSection(&q->cs);
    q->dwWritePtr = 0;
    q->dwReadPtr = 0;
    q->dwCount = 0;
    if (q->hEvent != nullptr) {
        ResetEvent(q->hEvent);
    }
    LeaveCriticalSection(&q->cs);
}

BOOL TxQueue_IsFull(TX_QUEUE* q)
{
    EnterCriticalSection(&q->cs);
    BOOL full = IsFullLocked(q) ? TRUE : FALSE;
    LeaveCriticalSection(&q->cs);
    return full;
}

BOOL TxQueue_IsEmpty(TX_QUEUE* q)
{
    EnterCriticalSection(&q->cs);
    BOOL empty = q->dwCount == 0 ? TRUE : FALSE;
    LeaveCriticalSection(&q->cs);
    return empty;
}
