#include "tests/wmi/task_memory_spy.h"

#include <stdexcept>

TaskMemorySpy& TaskMemorySpy::installed() {
  static TaskMemorySpy* spy = [] {
    // Freed strings would go to the cache and new ones come from it, out of
    // the allocator's sight.
    using SetOaNoCacheFunction = void(WINAPI*)();
    HMODULE automation = LoadLibraryA("oleaut32.dll");
    const auto no_cache = reinterpret_cast<SetOaNoCacheFunction>(
        reinterpret_cast<void*>(GetProcAddress(automation, "SetOaNoCache")));
    if (no_cache == nullptr) throw std::runtime_error("oleaut32 has no SetOaNoCache");
    no_cache();
    auto* created = new TaskMemorySpy();
    if (FAILED(CoRegisterMallocSpy(created))) throw std::runtime_error("CoRegisterMallocSpy failed");
    return created;
  }();
  return *spy;
}

void TaskMemorySpy::mark() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.clear();
}

std::size_t TaskMemorySpy::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

HRESULT STDMETHODCALLTYPE TaskMemorySpy::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
    *object = static_cast<IMallocSpy*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PostAlloc(void* block) {
  add(block);
  return block;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PreFree(void* block, BOOL) {
  remove(block);
  return block;
}

SIZE_T STDMETHODCALLTYPE TaskMemorySpy::PreRealloc(void* block, SIZE_T size, void** new_block, BOOL) {
  remove(block);
  *new_block = block;
  return size;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PostRealloc(void* block, BOOL) {
  add(block);
  return block;
}

void TaskMemorySpy::add(void* block) {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  held_.insert(block);
}

void TaskMemorySpy::remove(void* block) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.erase(block);
}
