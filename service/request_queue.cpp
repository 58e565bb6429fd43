#include "service/request_queue.h"

TRequestQueue::TRequestQueue() { InitializeSListHead(&arrived_); }

TRequestQueue::~TRequestQueue() { clear(); }

void TRequestQueue::add(DWORD code, DWORD event_type) {
  auto* record = new TRecord{{}, {code, event_type}};
  InterlockedPushEntrySList(&arrived_, &record->entry);
}

void TRequestQueue::collect() {
  // The list gives the newest first: turned round, it gives arrival order.
  SLIST_ENTRY* oldest = nullptr;
  for (SLIST_ENTRY* entry = InterlockedFlushSList(&arrived_); entry != nullptr;) {
    SLIST_ENTRY* const next = entry->Next;
    entry->Next = oldest;
    oldest = entry;
    entry = next;
  }
  while (oldest != nullptr) {
    auto* record = reinterpret_cast<TRecord*>(oldest);
    oldest = oldest->Next;
    waiting_.push_back(record->request);
    delete record;
  }
}

std::optional<TRequest> TRequestQueue::take() {
  collect();
  if (waiting_.empty()) return std::nullopt;
  const TRequest oldest = waiting_.front();
  waiting_.pop_front();
  return oldest;
}

bool TRequestQueue::empty() {
  collect();
  return waiting_.empty();
}

void TRequestQueue::clear() {
  collect();
  waiting_.clear();
}
