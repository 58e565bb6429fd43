// The control requests waiting for the service thread, in the order they
// came. Any process on the desktop can post a message to the service thread,
// so a message carries no request of its own: it only wakes the thread, which
// then takes the requests queued here, oldest first. A forged message can at
// most have a real request served before that request's own message arrives;
// it can neither reorder requests nor serve one twice. A request whose
// message never arrives (its post failed, or another loop on the thread took
// the message) waits here for the next wake-up.
//
// Any thread adds without waiting for another: each request becomes a record
// on an interlocked list. Only the service thread takes; it moves the records
// that have arrived behind those it already holds, so it never waits for a
// thread that adds.
#pragma once

#include <windows.h>

#include <deque>
#include <optional>

struct TRequest {
  DWORD code;
  DWORD event_type;
};

class alignas(MEMORY_ALLOCATION_ALIGNMENT) TRequestQueue {
 public:
  TRequestQueue();
  ~TRequestQueue();
  TRequestQueue(const TRequestQueue&) = delete;
  TRequestQueue& operator=(const TRequestQueue&) = delete;

  // Any thread. Requests that one thread adds keep their order; callers that
  // must keep an order between threads add under a lock of their own.
  void add(DWORD code, DWORD event_type);

  // The service thread only.
  // The oldest request, taken off the queue; none when the queue is empty.
  std::optional<TRequest> take();
  bool empty();
  void clear();

 private:
  struct alignas(MEMORY_ALLOCATION_ALIGNMENT) TRecord {
    SLIST_ENTRY entry;  // first: the list hands back this address
    TRequest request;
  };

  // Moves the records added since the last call behind the waiting ones.
  void collect();

  SLIST_HEADER arrived_;  // newest first
  std::deque<TRequest> waiting_;
};
