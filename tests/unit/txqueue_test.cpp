// Transmit queues: slot layout, wrap, full and empty states, and the event that
// follows them.
#include "txqueue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class TxQueueTest : public ::testing::Test {
protected:
    void Make(DWORD recordSize, DWORD slots)
    {
        m_storage.assign(TxQueue_StorageSize(recordSize, slots) + 8, 0xEE);
        TxQueue_Init(&m_queue);
        ASSERT_TRUE(TxQueue_Create(&m_queue, m_storage.data(), recordSize, slots));
    }
    void TearDown() override { TxQueue_Delete(&m_queue); }

    bool EventSet() { return WaitForSingleObject(m_queue.hEvent, 0) == WAIT_OBJECT_0; }

    TX_QUEUE m_queue{};
    std::vector<BYTE> m_storage;
};

TEST_F(TxQueueTest, FullQueueRefusesWritesUntilARecordIsReadThenReusesTheFirstSlot)
{
    Make(4, 2);
    const BYTE a[] = {1, 2, 3};
    const BYTE b[] = {4};
    const BYTE c[] = {5, 6};
    EXPECT_EQ(TxQueue_Put(&m_queue, a, 3), 3u);
    EXPECT_EQ(TxQueue_Put(&m_queue, b, 1), 1u);
    EXPECT_TRUE(TxQueue_IsFull(&m_queue));
    EXPECT_EQ(TxQueue_GetWritePtr(&m_queue), nullptr);
    EXPECT_EQ(TxQueue_Put(&m_queue, c, 2), 0u);

    BYTE out[8] = {};
    EXPECT_EQ(TxQueue_Get(&m_queue, out, sizeof(out)), 3u);
    EXPECT_EQ(out[2], 3);

    BYTE* slot = TxQueue_GetWritePtr(&m_queue);
    ASSERT_EQ(slot, m_storage.data() + TX_QUEUE_HEADER_SIZE);  // slot 0 again
    slot[0] = 5;
    slot[1] = 6;
    TxQueue_WriteComplete(&m_queue, slot, 2);
    // The slot header holds the length, most significant byte first.
    EXPECT_EQ(std::vector<BYTE>(m_storage.begin(), m_storage.begin() + 6), (std::vector<BYTE>{0, 0, 0, 2, 5, 6}));
    EXPECT_EQ(m_storage[TxQueue_StorageSize(4, 2)], 0xEE);  // nothing past the storage

    EXPECT_EQ(TxQueue_Get(&m_queue, out, sizeof(out)), 1u);
    EXPECT_EQ(out[0], 4);
    DWORD length = 0;
    BYTE* read = TxQueue_GetReadPtr(&m_queue, &length);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(read[1], 6);
    TxQueue_ReadComplete(&m_queue, read);
    EXPECT_TRUE(TxQueue_IsEmpty(&m_queue));
}

TEST_F(TxQueueTest, EventIsSetExactlyWhileRecordsAreQueuedAndClearResetsIt)
{
    Make(8, 3);
    EXPECT_FALSE(EventSet());
    const BYTE data[] = {9};
    TxQueue_Put(&m_queue, data, 1);
    TxQueue_Put(&m_queue, data, 1);
    EXPECT_TRUE(EventSet());  // manual reset: a wait does not clear it
    EXPECT_TRUE(EventSet());
    BYTE out[8];
    TxQueue_Get(&m_queue, out, sizeof(out));
    EXPECT_TRUE(EventSet());
    TxQueue_Get(&m_queue, out, sizeof(out));
    EXPECT_FALSE(EventSet());
    EXPECT_EQ(TxQueue_GetReadPtr(&m_queue, nullptr), nullptr);
    TxQueue_Wait(&m_queue, 0);  // returns at once with the queue still empty
    EXPECT_TRUE(TxQueue_IsEmpty(&m_queue));

    TxQueue_Set(&m_queue);  // a wake-up without a record
    EXPECT_TRUE(EventSet());
    EXPECT_EQ(TxQueue_Get(&m_queue, out, sizeof(out)), 0u);

    for (int i = 0; i < 3; ++i) {
        TxQueue_Put(&m_queue, data, 1);
    }
    TxQueue_Clear(&m_queue);
    EXPECT_TRUE(TxQueue_IsEmpty(&m_queue));
    EXPECT_FALSE(EventSet());
    EXPECT_EQ(TxQueue_Put(&m_queue, data, 1), 1u);
}

}  // namespace
