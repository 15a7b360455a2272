#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "exchange/Messaging.h"

namespace {

TEST(CyclicQueue, HoldsMessagesUpToItsCapacityInBytes) {
    CyclicQueue queue(10);
    EXPECT_NE(queue.SendMessage(1, "abcd", 4), 0);
    EXPECT_NE(queue.SendMessage(2, "efghij", 6), 0);
    EXPECT_EQ(queue.SendMessage(3, "k", 1), 0);               // full: refused, not blocked
    EXPECT_EQ(CyclicQueue(4).SendMessage(1, "abcde", 5), 0);  // never fits

    long id = 0;
    char buffer[16] = {};
    EXPECT_EQ(queue.GetMessage(&id, buffer, sizeof(buffer)), 4u);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_NE(queue.SendMessage(3, "klmn", 4), 0);  // the room is free again
    EXPECT_EQ(queue.SendMessage(4, "opq", 3), 0);

    EXPECT_EQ(queue.GetMessage(&id, buffer, 3), 3u);  // cut to the buffer
    EXPECT_EQ(id, 2);
    EXPECT_EQ(std::string(buffer, 3), "efg");
    EXPECT_EQ(queue.GetMessage(&id, buffer, sizeof(buffer)), 4u);
    EXPECT_EQ(id, 3);
}

TEST(CyclicQueue, GetMessageWaitsForTheNextMessage) {
    CyclicQueue queue(64);
    long id = 0;
    char buffer[8] = {};
    unsigned long length = 0;
    std::thread reader([&] { length = queue.GetMessage(&id, buffer, sizeof(buffer)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(queue.SendMessage(-7, "late", 4), 0);
    reader.join();
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(id, -7);
    EXPECT_EQ(std::string(buffer, 4), "late");
}

}  // namespace
