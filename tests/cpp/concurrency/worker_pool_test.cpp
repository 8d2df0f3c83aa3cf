#include "concurrency/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/buffer_pool.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/countdown.hpp"
#include "concurrency/thread.hpp"

namespace quillmarsh {
namespace {

using namespace std::chrono_literals;

std::size_t thread_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Polls until pred holds or the deadline passes; yields instead of sleeping.
template <class Pred>
bool eventually(Pred pred, std::chrono::seconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(WorkerPool, ZeroThreadsIsRefused) {
  try {
    WorkerPool pool(0);
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: num_threads > 0");
  }
}

TEST(WorkerPool, OneThreadRunsJobsInSubmissionOrder) {
  WorkerPool pool(1);
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 100; ++i) pool.submit([s = tx, i]() mutable { s.send(i); });
  tx.reset();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(rx.recv_for(10s), i);
  EXPECT_EQ(rx.recv_for(10s), std::nullopt);  // every job released its sender
}

TEST(WorkerPool, AFailingJobEndsOnlyItselfAndReleasesItsSender) {
  WorkerPool pool(2);
  auto [tx, rx] = make_channel<int>();
  pool.submit([s = tx]() { panic("job failed on purpose"); });
  pool.submit([s = tx]() { throw std::runtime_error("foreign failure"); });
  for (int i = 0; i < 10; ++i) pool.submit([s = tx, i]() mutable { s.send(i); });
  tx.reset();
  int received = 0;
  while (rx.recv_for(10s)) ++received;
  EXPECT_EQ(received, 10);
  EXPECT_TRUE(rx.closed());
}

TEST(WorkerPool, RunsJobsInParallelOnAllThreads) {
  WorkerPool pool(4);
  EXPECT_EQ(pool.size(), 4u);
  std::atomic<int> waiting{0};
  std::atomic<bool> release{false};
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 4; ++i) {
    pool.submit([&, s = tx]() mutable {
      ++waiting;
      eventually([&] { return release.load(); });
      s.send(1);
    });
  }
  tx.reset();
  EXPECT_TRUE(eventually([&] { return waiting.load() == 4; }));  // all four blocked at once
  release = true;
  int done = 0;
  while (rx.recv_for(10s)) ++done;
  EXPECT_EQ(done, 4);
}

TEST(WorkerPool, ThreadsEndOnceEveryHandleIsReleased) {
  // Threads of earlier tests may still be ending, so only a drop by three is required.
  std::size_t with_pool = 0;
  {
    WorkerPool pool(3);
    WorkerPool copy = pool;
    with_pool = thread_count();
  }
  EXPECT_TRUE(eventually([&] { return thread_count() + 3 <= with_pool; }));
}

// A job arrives when the last copy of its Arrival goes, also when the job fails, and copies
// of one Arrival arrive once.
TEST(Countdown, ReleasesTheWaiterOnceEveryJobHasLetGo) {
  auto countdown = std::make_shared<Countdown>(3);
  auto first = std::make_shared<Countdown::Arrival>(countdown);
  auto copy_of_first = first;
  {
    Countdown::Arrival second(countdown);
  }
  first.reset();
  EXPECT_FALSE(countdown->arrived());
  copy_of_first.reset();
  EXPECT_FALSE(countdown->arrived());
  WorkerPool pool(1);
  pool.submit([arrival = std::make_shared<Countdown::Arrival>(countdown)] {
    panic("job failed on purpose");
  });
  EXPECT_TRUE(eventually([&] { return countdown->arrived(); }));
  countdown->wait();
}

using Pool = BufferPool<std::uint32_t>;

TEST(BufferPool, ListsStartEmptyWithRoomAndAreReused) {
  auto pool = Pool::create(1024);
  const std::uint32_t* storage = nullptr;
  {
    Pool::Handle list = pool->take();
    EXPECT_TRUE(list->empty());
    EXPECT_GE(list->capacity(), 1024u);
    for (std::uint32_t i = 0; i < 5000; ++i) list->push_back(i);
    storage = list->data();
    Pool::Handle second_holder = list;
  }
  EXPECT_EQ(pool->idle_count(), 1u);
  Pool::Handle again = pool->take();
  EXPECT_TRUE(again->empty());
  EXPECT_EQ(again->data(), storage);  // same storage, kept on return
  EXPECT_EQ(pool->idle_count(), 0u);
}

TEST(BufferPool, ConcurrentTakeAndReturnLosesNothing) {
  auto pool = Pool::create(1024);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([pool] {
      for (int i = 0; i < 2000; ++i) {
        Pool::Handle a = pool->take();
        Pool::Handle b = pool->take();
        a->push_back(1);
        b->push_back(2);
        EXPECT_EQ(a->size(), 1u);
        EXPECT_EQ(b->size(), 1u);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_LE(pool->idle_count(), 8u);
  EXPECT_GE(pool->idle_count(), 2u);
}

TEST(BufferPool, ListsMayOutliveThePool) {
  Pool::Handle survivor;
  {
    auto pool = Pool::create(1024);
    survivor = pool->take();
    survivor->push_back(3);
  }
  EXPECT_EQ(survivor->at(0), 3u);  // freed normally later; sanitizer builds check the rest
}

}  // namespace
}  // namespace quillmarsh

namespace quillmarsh {
namespace {

// Regression: a failed job's Sender used to be released before its report was written, so
// the owner could see the channel close (and move on) before the report reached stderr.
TEST(FailureReports, AreWrittenBeforeTheFailedJobsSendersClose) {
  for (int round = 0; round < 20; ++round) {
    testing::internal::CaptureStderr();
    {
      WorkerPool pool(1);
      auto [tx, rx] = make_channel<int>();
      pool.submit([s = tx]() { panic("pool job failed"); });
      tx.reset();
      EXPECT_EQ(rx.recv_for(10s), std::nullopt);
    }
    {
      auto [tx, rx] = make_channel<int>();
      spawn_detached([s = tx]() { panic("thread failed"); });
      tx.reset();
      EXPECT_EQ(rx.recv_for(10s), std::nullopt);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(err.find("pool job failed"), std::string::npos) << "round " << round;
    ASSERT_NE(err.find("thread failed"), std::string::npos) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmarsh
