// Transmit queues: slot layout, wrap, full and empty states, and the event that
// follows them.
#include "txqueue.h"

#include <gtest/gtest.h>

#include <tuple>
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
    const BYTE a[] = {1, 2, 3}, b[] = {4}, c[] = {5, 6};
    EXPECT_EQ(
        (std::vector<DWORD>{TxQueue_Put(&m_queue, a, 3), TxQueue_Put(&m_queue, b, 1), DWORD(TxQueue_IsFull(&m_queue)),
                            DWORD(TxQueue_GetWritePtr(&m_queue) == nullptr), TxQueue_Put(&m_queue, c, 2)}),
        (std::vector<DWORD>{3, 1, 1, 1, 0}));
    BYTE out[8] = {};
    EXPECT_EQ((std::tuple{TxQueue_Get(&m_queue, out, sizeof(out)), out[2]}), std::make_tuple(3u, BYTE{3}));

    BYTE* slot = TxQueue_GetWritePtr(&m_queue);
    ASSERT_EQ(slot, m_storage.data() + TX_QUEUE_HEADER_SIZE);  // slot 0 again
    slot[0] = 5;
    slot[1] = 6;
    TxQueue_WriteComplete(&m_queue, slot, 2);
    // The slot header holds the length, most significant byte first; nothing past the storage is touched.
    EXPECT_EQ(std::vector<BYTE>(m_storage.begin(), m_storage.begin() + 6), (std::vector<BYTE>{0, 0, 0, 2, 5, 6}));
    EXPECT_EQ(m_storage[TxQueue_StorageSize(4, 2)], 0xEE);

    EXPECT_EQ((std::tuple{TxQueue_Get(&m_queue, out, sizeof(out)), out[0]}), std::make_tuple(1u, BYTE{4}));
    DWORD length = 0;
    BYTE* read = TxQueue_GetReadPtr(&m_queue, &length);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::make_tuple(length, read[1]), std::make_tuple(2u, BYTE{6}));
    TxQueue_ReadComplete(&m_queue, read);
    EXPECT_TRUE(TxQueue_IsEmpty(&m_queue));
}

// The event is manual-reset: a wait does not clear it.
TEST_F(TxQueueTest, EventIsSetExactlyWhileRecordsAreQueuedAndClearResetsIt)
{
    Make(8, 3);
    const BYTE data[] = {9};
    BYTE out[8];
    const auto put = [&] { return TxQueue_Put(&m_queue, data, 1) != 0; };
    const auto get = [&] { return TxQueue_Get(&m_queue, out, sizeof(out)) != 0; };
    EXPECT_EQ((std::vector<bool>{EventSet(), put(), put(), EventSet(), EventSet(), get(), EventSet(), get(), EventSet(),
                                 TxQueue_GetReadPtr(&m_queue, nullptr) != nullptr}),
              (std::vector<bool>{false, true, true, true, true, true, true, true, false, false}));
    TxQueue_Wait(&m_queue, 0);  // returns at once with the queue still empty
    EXPECT_TRUE(TxQueue_IsEmpty(&m_queue));

    TxQueue_Set(&m_queue);  // a wake-up without a record
    EXPECT_EQ((std::vector<bool>{EventSet(), get()}), (std::vector<bool>{true, false}));

    EXPECT_TRUE(put() && put() && put());
    TxQueue_Clear(&m_queue);
    EXPECT_EQ((std::vector<bool>{TxQueue_IsEmpty(&m_queue) != FALSE, EventSet(), put()}),
              (std::vector<bool>{true, false, true}));
}

}  // namespace
