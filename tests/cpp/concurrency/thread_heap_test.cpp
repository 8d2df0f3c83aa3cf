// The heap hooks of the module's threads: every thread started by spawn_detached runs its
// function between enter and leave, on its own thread, however the function ends.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/page_allocator.hpp"
#include "common/panic.hpp"
#include "concurrency/cancel.hpp"
#include "concurrency/thread.hpp"

namespace quillmarsh {
namespace {

thread_local int inside = 0;  // enters less leaves on this thread
std::atomic<int> entered{0};
std::atomic<int> left{0};

void enter() noexcept {
  ++inside;
  entered.fetch_add(1);
}

void leave() noexcept {
  --inside;
  left.fetch_add(1);
}

// Installs the counting hooks for one test and removes them after it.
class ThreadHeapHooksTest : public testing::TestWithParam<std::function<void()>> {
 protected:
  void SetUp() override {
    entered = 0;
    left = 0;
    install_thread_heap_hooks(ThreadHeapHooks{&enter, &leave});
  }
  void TearDown() override { install_thread_heap_hooks(ThreadHeapHooks{}); }
};

// Returning, panicking (reported on stderr) and cancelled.
INSTANTIATE_TEST_SUITE_P(Endings, ThreadHeapHooksTest,
                         testing::Values(std::function<void()>([] {}),
                                         std::function<void()>([] { panic("the job failed"); }),
                                         std::function<void()>([] { throw Cancelled(); })));

TEST_P(ThreadHeapHooksTest, FunctionRunsBetweenEnterAndLeaveOnItsThread) {
  const std::function<void()> ending = GetParam();
  std::atomic<int> seen{-1};
  testing::internal::CaptureStderr();
  {
    const std::shared_ptr<ThreadGroup> group = ThreadGroup::create();
    for (int t = 0; t < 3; ++t) {
      spawn_detached(
          [&seen, ending] {
            seen = inside;
            ending();
          },
          group);
    }
    group->wait_until_empty();
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(entered, 3);
  EXPECT_EQ(left, 3);
  EXPECT_EQ(inside, 0);  // the calling thread keeps its heap
}

// The calling thread of a fit: a scope switches it for the call, an inner scope (a fit called
// from a progress callback) changes nothing, and leaving the outer one, by return or by
// exception, puts it back; a later call switches it again.
TEST_F(ThreadHeapHooksTest, NestedScopesOnTheCallingThreadSwitchOnceAndBackAfterAnException) {
  for (const bool fails : {false, true}) {
    try {
      const ThreadHeapScope outer;
      EXPECT_EQ(inside, 1);
      {
        const ThreadHeapScope inner;
        EXPECT_EQ(inside, 1);
      }
      EXPECT_EQ(inside, 1);  // the inner scope's end leaves the thread where the call put it
      if (fails) panic("the fit failed");
    } catch (const Panic&) {  // NOLINT(bugprone-empty-catch): the unwinding is the case
    }
    EXPECT_EQ(inside, 0);
  }
  EXPECT_EQ(entered, 2);
  EXPECT_EQ(left, 2);
}

TEST(ThreadHeapHooks, WithoutHooksThreadsRunAsBefore) {
  install_thread_heap_hooks(ThreadHeapHooks{});
  std::atomic<int> seen{-1};
  const std::shared_ptr<ThreadGroup> group = ThreadGroup::create();
  spawn_detached([&seen] { seen = inside; }, group);
  group->wait_until_empty();
  EXPECT_EQ(seen, 0);
}

}  // namespace
}  // namespace quillmarsh
