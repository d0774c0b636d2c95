// The bounded queue between the client's users and its worker threads: 512 messages at
// most, oldest first across the ring's wrap, and takers that can always be released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "net/msg_queue.h"

namespace {

using namespace std::chrono_literals;

std::unique_ptr<QueuedMsg> Msg(unsigned id, unsigned short length = 1) {
  auto m = std::make_unique<QueuedMsg>();
  m->id = id;
  m->length = length;
  m->data[0] = static_cast<char>(id);
  m->data[QueuedMsg::kMaxData - 1] = static_cast<char>(id + 1);
  return m;
}

// Polls with a bound; false when the condition never held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(MsgQueue, HoldsFiveHundredTwelveAndDropsTheNext) {
  auto q = std::make_unique<MsgQueue>();
  for (unsigned i = 1; i <= 512; ++i) ASSERT_TRUE(q->Append(*Msg(i))) << i;
  EXPECT_EQ(q->Count(), 512);
  EXPECT_FALSE(q->Append(*Msg(513)));
  EXPECT_EQ(q->Count(), 512);
  auto out = std::make_unique<QueuedMsg>();
  for (unsigned i = 1; i <= 512; ++i) {
    ASSERT_TRUE(q->Take(out.get()));
    ASSERT_EQ(out->id, i) << "oldest first";
  }
  EXPECT_EQ(q->Count(), 0);
}

TEST(MsgQueue, KeepsOrderAndWholeRecordsAcrossTheWrap) {
  auto q = std::make_unique<MsgQueue>();
  auto out = std::make_unique<QueuedMsg>();
  unsigned next_in = 1, next_out = 1;
  // Rounds of 300 in, 300 out carry the ring positions around it several times.
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(q->Append(*Msg(next_in++, 40970)));
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(q->Take(out.get()));
      ASSERT_EQ(out->id, next_out);
      ASSERT_EQ(out->length, 40970);
      ASSERT_EQ(out->data[0], static_cast<char>(next_out));
      ASSERT_EQ(out->data[QueuedMsg::kMaxData - 1], static_cast<char>(next_out + 1));
      ++next_out;
    }
  }
  // Full again after wrapping: still exactly 512.
  for (int i = 0; i < 512; ++i) ASSERT_TRUE(q->Append(*Msg(1)));
  EXPECT_FALSE(q->Append(*Msg(1)));
}

TEST(MsgQueue, TakerWaitsForAMessage) {
  auto q = std::make_unique<MsgQueue>();
  auto taken = std::async(std::launch::async, [&] {
    auto out = std::make_unique<QueuedMsg>();
    return q->Take(out.get()) ? out->id : 0u;
  });
  ASSERT_TRUE(WaitUntil([&] { return q->Takers() == 1; }));
  EXPECT_EQ(taken.wait_for(20ms), std::future_status::timeout) << "nothing to take yet";
  q->Append(*Msg(42));
  ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(taken.get(), 42u);
}

TEST(MsgQueue, WakeReleasesEveryWaitingTakerAndKeepsMessages) {
  auto q = std::make_unique<MsgQueue>();
  std::vector<std::future<bool>> takers;
  for (int i = 0; i < 3; ++i) {
    takers.push_back(std::async(std::launch::async, [&] {
      auto out = std::make_unique<QueuedMsg>();
      return q->Take(out.get());
    }));
  }
  // Wake ends the waits of takers already inside Take.
  ASSERT_TRUE(WaitUntil([&] { return q->Takers() == 3; }));
  for (auto& t : takers) EXPECT_EQ(t.wait_for(0s), std::future_status::timeout);
  q->Wake();
  // The wake-ups are all used once Wake returns: a message queued at once goes to the next
  // taker (after a client's restart, a new RecvMsg), not a wake-up meant for another.
  q->Append(*Msg(7));
  auto out = std::make_unique<QueuedMsg>();
  ASSERT_TRUE(q->Take(out.get()));
  EXPECT_EQ(out->id, 7u);
  EXPECT_EQ(q->Count(), 0);
  for (auto& t : takers) {
    ASSERT_EQ(t.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(t.get());
  }
}

TEST(MsgQueue, StopConditionIsSeenBeforeWaiting) {
  auto q = std::make_unique<MsgQueue>();
  q->Append(*Msg(1));
  bool stop = true;
  auto out = std::make_unique<QueuedMsg>();
  EXPECT_FALSE(q->Take(out.get(), [](const void* s) { return *static_cast<const bool*>(s); }, &stop));
  EXPECT_EQ(q->Count(), 1) << "nothing taken";
  stop = false;
  EXPECT_TRUE(q->Take(out.get(), [](const void* s) { return *static_cast<const bool*>(s); }, &stop));
}

// A stopped client's receiver takes what is queued, without waiting and without counting
// as a taker: Wake calls racing it (a second Stop) leave no wake-up behind for a later one.
TEST(MsgQueue, AStoppedTakeHandsOverWhatIsQueuedAndLeavesNoWakeUp) {
  const auto stopped = [](const void*) { return true; };
  for (int round = 0; round < 200; ++round) {
    auto q = std::make_unique<MsgQueue>();
    for (unsigned i = 1; i <= 8; ++i) q->Append(*Msg(i));
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        auto out = std::make_unique<QueuedMsg>();
        while (q->Take(out.get(), stopped, nullptr, /*queued_when_stopped=*/true)) ++taken;
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) q->Wake();
    });
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(taken, 8) << "round " << round;
    EXPECT_FALSE(q->Take(Msg(0).get(), stopped, nullptr, true)) << "an empty queue hands over nothing";
    q->Append(*Msg(9));
    auto later = std::async(std::launch::async, [&] {
      auto out = std::make_unique<QueuedMsg>();
      return q->Take(out.get()) ? out->id : 0u;
    });
    ASSERT_EQ(later.wait_for(10s), std::future_status::ready) << "round " << round;
    ASSERT_EQ(later.get(), 9u) << "a wake-up was left behind, round " << round;
  }
}

TEST(MsgQueue, DestructionReleasesAWaitingTaker) {
  auto q = std::make_unique<MsgQueue>();
  auto taken = std::async(std::launch::async, [&] {
    auto out = std::make_unique<QueuedMsg>();
    return q->Take(out.get());
  });
  ASSERT_TRUE(WaitUntil([&] { return q->Takers() == 1; }));
  // Returns only once the taker is out of the queue (AddressSanitizer would see a late
  // touch); the taker's thread may still be on its way back to the future.
  q.reset();
  ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(taken.get());
}

TEST(MsgQueue, ManyProducersAndConsumersLoseNothingWithinTheBound) {
  auto q = std::make_unique<MsgQueue>();
  constexpr int kProducers = 3, kPerProducer = 150;  // 450 in all: below the bound
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) EXPECT_TRUE(q->Append(*Msg(static_cast<unsigned>(p * 1000 + i + 1))));
    });
  }
  std::vector<std::future<std::vector<unsigned>>> consumers;
  for (int c = 0; c < 2; ++c) {
    consumers.push_back(std::async(std::launch::async, [&] {
      std::vector<unsigned> seen;
      auto out = std::make_unique<QueuedMsg>();
      for (int i = 0; i < kProducers * kPerProducer / 2; ++i) {
        if (q->Take(out.get())) seen.push_back(out->id);
      }
      return seen;
    }));
  }
  for (auto& t : producers) t.join();
  std::vector<int> last(kProducers, 0);
  size_t total = 0;
  for (auto& c : consumers) {
    ASSERT_EQ(c.wait_for(10s), std::future_status::ready);
    std::vector<unsigned> seen = c.get();
    total += seen.size();
    // Each consumer sees each producer's messages in the order they were queued.
    std::vector<int> order(kProducers, 0);
    for (unsigned id : seen) {
      int p = static_cast<int>(id / 1000), i = static_cast<int>(id % 1000);
      EXPECT_GT(i, order[p]);
      order[p] = i;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kProducers * kPerProducer));
  EXPECT_EQ(q->Count(), 0);
}

}  // namespace
