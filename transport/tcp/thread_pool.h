#pragma once

// The connection threads of the TCP transport. PoolSize threads are made at once and wait,
// blocked, for a connection; the listener reserves one before it accepts (a new thread when
// none waits) and hands it the accepted connection. A thread that has served its connection goes
// back to the pool while fewer than PoolSize threads wait there, and ends otherwise.
//
// Acquire, Start and Release are called by the listener thread; State by anyone;
// Shutdown by the thread that stops the server.

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "transport/tcp/tcp_messages.h"

class TDSThreadPool {
 public:
  struct TState {
    int Idle = 0;     // threads waiting in the pool
    int Busy = 0;     // threads serving a connection
    int Threads = 0;  // threads alive (waiting, reserved, serving)
  };
  class TWorker;

  // AMaxThreads 0: no limit.
  TDSThreadPool(int AMaxThreads, int APoolSize);
  ~TDSThreadPool();
  TDSThreadPool(const TDSThreadPool&) = delete;
  TDSThreadPool& operator=(const TDSThreadPool&) = delete;

  // A thread reserved for the next connection. Throws "The maximum number of threads for this
  // scheduler is exceeded." when MaxThreads threads are busy.
  TWorker* Acquire();
  // Runs ATask on the reserved thread.
  void Start(TWorker* AWorker, std::function<void()> ATask);
  // Gives back a reserved thread that got no connection.
  void Release(TWorker* AWorker);
  // Waits until fewer than MaxThreads threads are busy or the pool stops.
  void WaitForRoom();
  // Wakes WaitForRoom and refuses further acquisitions.
  void Interrupt();
  // Waits for every running connection to end, then ends and joins every thread.
  void Shutdown();

  TState State();

 private:
  TWorker* MakeWorker();  // FLock held
  void Run(TWorker* AWorker);
  void Reap();  // joins threads that have ended; FLock held
  TState StateLocked() const;

  const int FMaxThreads;
  const int FPoolSize;
  std::mutex FLock;
  std::condition_variable FChanged;              // any change of the counts below
  std::list<std::unique_ptr<TWorker>> FWorkers;  // guarded by FLock
  std::vector<TWorker*> FIdle;                   // guarded by FLock
  std::vector<std::thread> FEnded;               // ended, not yet joined; guarded by FLock
  int FBusy = 0;                                 // guarded by FLock
  int FReserved = 0;                             // guarded by FLock
  bool FStopping = false;                        // guarded by FLock
};

// Raised by Acquire when MaxThreads threads are busy.
class EThreadLimit : public Exception {
 public:
  EThreadLimit() : Exception(tcp_messages::kMaxThreadsExceeded) {}
};
