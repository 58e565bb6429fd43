// Watches the COM task allocator, through which every BSTR is allocated and
// freed, and tells which blocks allocated since a mark are still held.
// Automation's string cache would hide both ends from it, so the cache is
// switched off for the process when the spy is first installed.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <mutex>
#include <set>

class TaskMemorySpy : public IMallocSpy {
 public:
  // The process's one spy, registered with COM on first use and kept until
  // the process ends.
  static TaskMemorySpy& installed();

  // Forgets every block allocated so far.
  void mark();
  // Blocks allocated since the mark and not freed yet.
  std::size_t held() const;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override;
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL spied) override;
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** new_block, BOOL spied) override;
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL spied) override;
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int allocated) override { return allocated; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}

 private:
  TaskMemorySpy() = default;
  void add(void* block);
  void remove(void* block);

  mutable std::mutex mutex_;
  std::set<void*> held_;
};
