#include "transport/tcp/thread_pool.h"

#include <algorithm>

#include "platform/diagnostics.h"

class TDSThreadPool::TWorker {
 public:
  std::thread Thread;
  std::function<void()> Task;  // guarded by the pool's lock
  bool Quit = false;           // guarded by the pool's lock
  std::condition_variable Wake;
};

TDSThreadPool::TDSThreadPool(int AMaxThreads, int APoolSize)
    : FMaxThreads(std::max(AMaxThreads, 0)), FPoolSize(std::max(APoolSize, 0)) {
  try {
    std::lock_guard lock(FLock);
    for (int i = 0; i < FPoolSize; ++i) FIdle.push_back(MakeWorker());
  } catch (...) {
    Shutdown();  // the threads already made must be joined before the pool goes
    throw;
  }
}

TDSThreadPool::~TDSThreadPool() { Shutdown(); }

TDSThreadPool::TWorker* TDSThreadPool::MakeWorker() {
  auto worker = std::make_unique<TWorker>();
  TWorker* raw = worker.get();
  FWorkers.push_back(std::move(worker));
  try {
    raw->Thread = std::thread([this, raw] { Run(raw); });
  } catch (...) {
    FWorkers.pop_back();
    throw;
  }
  return raw;
}

void TDSThreadPool::Run(TWorker* AWorker) {
  std::unique_lock lock(FLock);
  for (;;) {
    AWorker->Wake.wait(lock, [&] { return AWorker->Quit || AWorker->Task; });
    if (AWorker->Quit) break;
    std::function<void()> task = std::move(AWorker->Task);
    AWorker->Task = nullptr;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // a connection's failure ends that connection only
      diagnostics::ReportCurrentException(tcp_messages::kDiagnosticsSource);
    }
    task = nullptr;  // release what the task holds before the thread is counted free
    lock.lock();
    --FBusy;
    if (!FStopping && static_cast<int>(FIdle.size()) < FPoolSize) {
      FIdle.push_back(AWorker);
      FChanged.notify_all();
      continue;
    }
    break;
  }
  // Leave the pool; whoever reaps next joins this thread.
  const auto self = std::find_if(FWorkers.begin(), FWorkers.end(),
                                 [&](const auto& w) { return w.get() == AWorker; });
  FEnded.push_back(std::move((*self)->Thread));
  FWorkers.erase(self);
  FChanged.notify_all();
}

void TDSThreadPool::Reap() {
  for (std::thread& ended : FEnded) {
    if (ended.joinable()) ended.join();
  }
  FEnded.clear();
}

TDSThreadPool::TWorker* TDSThreadPool::Acquire() {
  std::lock_guard lock(FLock);
  Reap();
  if (FStopping) throw Exception(tcp_messages::kPoolStopping);
  if (FMaxThreads > 0 && FBusy + FReserved >= FMaxThreads) throw EThreadLimit();
  TWorker* worker;
  if (!FIdle.empty()) {
    worker = FIdle.back();
    FIdle.pop_back();
  } else {
    worker = MakeWorker();
  }
  ++FReserved;
  return worker;
}

void TDSThreadPool::Start(TWorker* AWorker, std::function<void()> ATask) {
  std::lock_guard lock(FLock);
  --FReserved;
  ++FBusy;
  AWorker->Task = std::move(ATask);
  AWorker->Wake.notify_one();
  FChanged.notify_all();
}

void TDSThreadPool::Release(TWorker* AWorker) {
  std::lock_guard lock(FLock);
  --FReserved;
  FIdle.push_back(AWorker);
  FChanged.notify_all();
}

void TDSThreadPool::WaitForRoom() {
  std::unique_lock lock(FLock);
  FChanged.wait(lock,
                [&] { return FStopping || FMaxThreads == 0 || FBusy + FReserved < FMaxThreads; });
}

void TDSThreadPool::Interrupt() {
  std::lock_guard lock(FLock);
  FStopping = true;
  FChanged.notify_all();
}

void TDSThreadPool::Shutdown() {
  std::unique_lock lock(FLock);
  FStopping = true;
  FChanged.notify_all();
  // Running connections were told to end by the transport; wait for their disconnect steps.
  FChanged.wait(lock, [&] { return FBusy == 0; });
  for (const auto& worker : FWorkers) {
    worker->Quit = true;
    worker->Wake.notify_one();
  }
  FIdle.clear();
  FChanged.wait(lock, [&] { return FWorkers.empty(); });
  Reap();
}

TDSThreadPool::TState TDSThreadPool::StateLocked() const {
  return {static_cast<int>(FIdle.size()), FBusy, static_cast<int>(FWorkers.size())};
}

TDSThreadPool::TState TDSThreadPool::State() {
  std::lock_guard lock(FLock);
  return StateLocked();
}
