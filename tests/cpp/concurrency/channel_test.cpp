#include "concurrency/channel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "concurrency/job_queue.hpp"

namespace quillmarsh {
namespace {

using namespace std::chrono_literals;

TEST(Channel, ClosesOnlyAfterTheLastSenderAndTheQueueDrain) {
  auto [tx, rx] = make_channel<int>();
  Sender<int> tx2 = tx;
  ASSERT_TRUE(tx.send(1));
  tx.reset();
  ASSERT_TRUE(tx2.send(2));
  EXPECT_FALSE(rx.closed());
  tx2.reset();
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_TRUE(rx.closed());
}

TEST(Channel, ManySendersOnThreadsDeliverEverythingThenClose) {
  auto [tx, rx] = make_channel<int>();
  constexpr int kThreads = 8, kEach = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([s = tx, t]() mutable {
      for (int i = 0; i < kEach; ++i) s.send(t * kEach + i);
    });
  }
  tx.reset();
  std::vector<int> got(kThreads * kEach, 0);
  int count = 0;
  while (auto v = rx.recv_for(10s)) {
    ++got[static_cast<std::size_t>(*v)];
    ++count;
  }
  for (auto& th : threads) th.join();
  EXPECT_TRUE(rx.closed());
  EXPECT_EQ(count, kThreads * kEach);
  for (int g : got) EXPECT_EQ(g, 1);
}

TEST(Channel, SendFailsOnceTheReceiverIsGoneAndDropsTheValue) {
  auto value = std::make_shared<int>(7);
  std::weak_ptr<int> watch = value;
  auto channel = make_channel<std::shared_ptr<int>>();
  Sender<std::shared_ptr<int>> tx = std::move(channel.first);
  {
    Receiver<std::shared_ptr<int>> rx = std::move(channel.second);
  }
  EXPECT_FALSE(tx.send(std::move(value)));
  EXPECT_TRUE(watch.expired());
}

TEST(Channel, QueuedValuesAreFreedWithTheReceiver) {
  auto value = std::make_shared<int>(7);
  std::weak_ptr<int> watch = value;
  {
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    ASSERT_TRUE(tx.send(std::move(value)));
  }
  EXPECT_TRUE(watch.expired());
}

TEST(Channel, RecvForTimesOutWhileSendersRemain) {
  auto [tx, rx] = make_channel<int>();
  EXPECT_EQ(rx.recv_for(1ms), std::nullopt);
  EXPECT_FALSE(rx.closed());
}

TEST(JobQueue, EveryJobIsTakenExactlyOnceInOrderAcrossThreads) {
  JobQueue queue = JobQueue::sequence(10000);
  std::vector<std::vector<std::int32_t>> taken(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (auto j = queue.try_pop()) taken[t].push_back(*j);
    });
  }
  for (auto& th : threads) th.join();
  std::vector<int> seen(10000, 0);
  for (const auto& list : taken) {
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);  // FIFO
    for (auto j : list) ++seen[static_cast<std::size_t>(j)];
  }
  for (int s : seen) EXPECT_EQ(s, 1);
  EXPECT_EQ(queue.try_pop(), std::nullopt);
}

TEST(JobQueue, NonPositiveCountsGiveAnEmptyQueue) {
  EXPECT_EQ(JobQueue::sequence(0).try_pop(), std::nullopt);
  EXPECT_EQ(JobQueue::sequence(-5).try_pop(), std::nullopt);
}

}  // namespace
}  // namespace quillmarsh
