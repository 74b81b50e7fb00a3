// Named recursive mutexes across threads, and the logger thread.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "aLogger.h"
#include "aMutex.h"
#include "aTime.h"

namespace {

// Runs fn on a thread of its own and waits for it.
template <typename F>
auto onOtherThread(F fn) {
  auto task = std::async(std::launch::async, fn);
  return task.get();
}

TEST(Mutex, NamesUpTo255Characters) {
  const std::string longest(255, 'n');
  aMutex* m = aMutex_Create(longest.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(aMutex_Identifier(m)), longest);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);

  const std::string tooLong(256, 'n');
  EXPECT_EQ(aMutex_Create(tooLong.c_str()), nullptr);

  m = aMutex_Create(nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(aMutex_Identifier(m), "");
  aMutex_Destroy(&m);
}

TEST(Mutex, NullMutexIsAParameterError) {
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(Mutex, EachLockNeedsItsUnlockBeforeOthersGetIt) {
  aMutex* m = aMutex_Create("recursive");
  ASSERT_NE(m, nullptr);
  auto otherTries = [m] {
    return onOtherThread([m] {
      const aErr e = aMutex_TryLock(m);
      if (e == aErrNone) aMutex_Unlock(m);
      return e;
    });
  };
  ASSERT_EQ(aMutex_Lock(m), aErrNone);
  ASSERT_EQ(aMutex_TryLock(m), aErrNone);  // the holder may take it again
  EXPECT_EQ(otherTries(), aErrBusy);
  ASSERT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(otherTries(), aErrBusy);
  ASSERT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(otherTries(), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(Mutex, UnlockByAThreadThatDoesNotHoldItIsRefused) {
  aMutex* m = aMutex_Create("held");
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(aMutex_Lock(m), aErrNone);
  EXPECT_EQ(onOtherThread([m] { return aMutex_Unlock(m); }), aErrParam);
  EXPECT_EQ(onOtherThread([m] { return aMutex_TryLock(m); }), aErrBusy);
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(aMutex_Unlock(m), aErrParam);  // no longer held by anyone
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(Mutex, DestroyWhileAnotherThreadHoldsItIsBusy) {
  aMutex* m = aMutex_Create("busy");
  ASSERT_NE(m, nullptr);
  std::promise<void> locked, release;
  std::thread holder([&] {
    aMutex_Lock(m);
    aMutex_Lock(m);
    locked.set_value();
    release.get_future().wait();
    aMutex_Unlock(m);
    aMutex_Unlock(m);
  });
  locked.get_future().wait();
  aMutex* copy = m;
  EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
  EXPECT_EQ(m, copy);
  release.set_value();
  holder.join();
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
}

TEST(Mutex, DestroyByTheHolderAtAnyDepth) {
  aMutex* m = aMutex_Create("mine");
  ASSERT_NE(m, nullptr);
  aMutex_Lock(m);
  aMutex_Lock(m);
  aMutex_Lock(m);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
}

TEST(Mutex, ExcludesOtherThreads) {
  aMutex* m = aMutex_Create("counter");
  ASSERT_NE(m, nullptr);
  long counter = 0;  // guarded by m only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        aMutex_Lock(m);
        aMutex_Lock(m);
        const long seen = counter;
        aMutex_Unlock(m);
        counter = seen + 1;
        aMutex_Unlock(m);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

// What the logger procedure of these tests saw, shared with the test thread.
struct LogState {
  std::mutex lock;
  std::set<std::thread::id> threads;
  std::vector<int32_t> references;
  std::atomic<int> calls{0};
  std::atomic<aErr> selfDisable{aErrNone};
  aLogger* logger = nullptr;  // for the procedure that disables itself
};
LogState* gState = nullptr;

void writeLine(aFileRef file, int32_t reference) {
  const int n = gState->calls.fetch_add(1);
  aFile_Printf(file, "ref=%d call=%d\n", reference, n);
  {
    std::lock_guard<std::mutex> hold(gState->lock);
    gState->threads.insert(std::this_thread::get_id());
    gState->references.push_back(reference);
  }
  aTime_MSSleep(1);
}

// Waits (bounded by a number of polls) until the procedure ran at least n times.
bool waitForCalls(int n) {
  for (int i = 0; i < 20000 && gState->calls.load() < n; ++i) aTime_MSSleep(1);
  return gState->calls.load() >= n;
}

int countLines(const std::string& text, const std::string& prefix) {
  int lines = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, prefix.size(), prefix) == 0) ++lines;
    start = end + 1;
  }
  return lines;
}

class Logger : public testing::Test {
 protected:
  void SetUp() override { gState = &state_; }
  void TearDown() override { gState = nullptr; }
  LogState state_;
  cltest::TempDir dir_;
};

TEST_F(Logger, AppendsToAnExistingFileUntilDisabled) {
  const std::string path = dir_ / "packets.log";
  cltest::writeFile(path, "existing\n");
  aLogger* logger = aLogger_Create(7, writeLine, path.c_str());
  ASSERT_NE(logger, nullptr);
  aTime_MSSleep(5);
  EXPECT_EQ(state_.calls.load(), 0) << "a new logger starts disabled";

  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitForCalls(5));
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  const int calls = state_.calls.load();
  aTime_MSSleep(10);
  EXPECT_EQ(state_.calls.load(), calls) << "the procedure ran after Disable returned";
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);

  const std::string text = cltest::readFile(path);
  EXPECT_EQ(text.rfind("existing\nref=7 call=0\n", 0), 0u) << text.substr(0, 60);
  EXPECT_EQ(countLines(text, "ref=7 "), calls);
  for (int32_t reference : state_.references) EXPECT_EQ(reference, 7);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(Logger, EnableTwiceStartsOneThread) {
  aLogger* logger = aLogger_Create(1, writeLine, (dir_ / "once.log").c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitForCalls(10));
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(state_.threads.size(), 1u);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST_F(Logger, EveryEnabledPeriodWritesToTheSameFile) {
  const std::string path = dir_ / "periods.log";
  aLogger* logger = aLogger_Create(3, writeLine, path.c_str());
  ASSERT_NE(logger, nullptr);
  for (int period = 1; period <= 3; ++period) {
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(waitForCalls(period * 3));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  }
  const int calls = state_.calls.load();
  // Destroying an enabled logger stops its thread first.
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitForCalls(calls + 2));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(countLines(cltest::readFile(path), "ref=3 "), state_.calls.load());
}

TEST_F(Logger, RefusesWhatCannotLog) {
  EXPECT_EQ(aLogger_Create(1, writeLine, (dir_ / "missing/dir/x.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, writeLine, nullptr), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, (dir_ / "x.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, writeLine, dir_.path().c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

void disableSelf(aFileRef, int32_t) {
  if (gState->calls.fetch_add(1) == 0) gState->selfDisable.store(aLogger_Disable(gState->logger));
  aTime_MSSleep(1);
}

TEST_F(Logger, TheProcedureCannotDisableItsOwnThread) {
  aLogger* logger = aLogger_Create(1, disableSelf, (dir_ / "self.log").c_str());
  ASSERT_NE(logger, nullptr);
  state_.logger = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitForCalls(3)) << "the logger stopped running";
  EXPECT_EQ(state_.selfDisable.load(), aErrTimeout);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

}  // namespace
