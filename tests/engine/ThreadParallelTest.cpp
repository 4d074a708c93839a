#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "engine/ThreadParallel.h"

namespace {

TEST(ThreadParallel, ThreadCountFromTheRequestOrTheMachine) {
  EXPECT_EQ(fm::ThreadParallel::resolveThreads(0, 8), 8);
  EXPECT_EQ(fm::ThreadParallel::resolveThreads(-3, 8), 8);
  EXPECT_EQ(fm::ThreadParallel::resolveThreads(0, 0), 1);
  EXPECT_EQ(fm::ThreadParallel::resolveThreads(5, 8), 5);
  EXPECT_GE(fm::ThreadParallel(0).threadCount(), 1);
  EXPECT_EQ(fm::ThreadParallel(3).threadCount(), 3);
}

struct Hits {
  std::vector<std::atomic<int>> count;
  explicit Hits(int n) : count(size_t(n)) {}
};

void hit(void* ctx, int i) { static_cast<Hits*>(ctx)->count[size_t(i)]++; }

TEST(ThreadParallel, EveryIndexExactlyOnce) {
  for (int threads : {1, 2, 7}) {
    for (int n : {0, 1, 3, 1000}) {
      fm::ThreadParallel par(threads);
      Hits h(n > 0 ? n : 1);
      EXPECT_TRUE(par.run(n, &h, &hit));
      for (int i = 0; i < n; ++i) ASSERT_EQ(h.count[size_t(i)].load(), 1) << threads << " " << n << " " << i;
    }
  }
  fm::ThreadParallel par(4);
  EXPECT_TRUE(par.run(-5, nullptr, nullptr));  // nothing to run: fn is never called
}

TEST(ThreadParallel, OneThreadRunsInOrderOnTheCaller) {
  struct Ctx {
    std::vector<int> order;
    std::thread::id caller;
    bool sameThread = true;
  } ctx;
  ctx.caller = std::this_thread::get_id();
  fm::ThreadParallel par(1);
  par.run(5, &ctx, [](void* c, int i) {
    auto* x = static_cast<Ctx*>(c);
    x->order.push_back(i);
    x->sameThread = x->sameThread && std::this_thread::get_id() == x->caller;
  });
  EXPECT_EQ(ctx.order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(ctx.sameThread);
}

// Three jobs on eight threads: each job blocks until all three are running, which only
// works if three threads (the caller and two started ones) take one job each.
TEST(ThreadParallel, RunsJobsConcurrently) {
  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::set<std::thread::id> ids;
    bool timedOut = false;
  } gate;
  fm::ThreadParallel par(8);
  par.run(3, &gate, [](void* c, int) {
    auto* g = static_cast<Gate*>(c);
    std::unique_lock<std::mutex> lock(g->m);
    g->ids.insert(std::this_thread::get_id());
    ++g->arrived;
    g->cv.notify_all();
    if (!g->cv.wait_for(lock, std::chrono::seconds(20), [g] { return g->arrived >= 3; })) g->timedOut = true;
  });
  EXPECT_FALSE(gate.timedOut);
  EXPECT_EQ(gate.ids.size(), 3u);
}

}  // namespace
