// Small scoped owners for everything the service acquires from Windows.
// Each one releases its resource on every way out of the scope, errors
// included. They are move-only; release() hands the resource back to the
// caller without closing it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winsvc.h>

#include <utility>

// The generic owner: Traits names the empty value and how to close one.
template <typename Traits>
class Scoped {
 public:
  using Value = typename Traits::Value;

  Scoped() = default;
  explicit Scoped(Value value) : value_(value) {}
  ~Scoped() { reset(); }
  Scoped(Scoped&& other) noexcept : value_(other.release()) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

  Value get() const { return value_; }
  bool valid() const { return value_ != Traits::empty(); }
  explicit operator bool() const { return valid(); }

  Value release() {
    Value value = value_;
    value_ = Traits::empty();
    return value;
  }
  void reset(Value value = Traits::empty()) {
    if (valid()) Traits::close(value_);
    value_ = value;
  }

 private:
  Value value_ = Traits::empty();
};

struct HandleTraits {
  using Value = HANDLE;
  static Value empty() { return nullptr; }
  static void close(Value value) { CloseHandle(value); }
};
// A kernel object handle (thread, event, file mapping, mutex).
using ScopedHandle = Scoped<HandleTraits>;

struct LocalMemoryTraits {
  using Value = HLOCAL;
  static Value empty() { return nullptr; }
  static void close(Value value) { LocalFree(value); }
};
// Memory that Windows allocated for the caller with LocalAlloc.
using ScopedLocalMemory = Scoped<LocalMemoryTraits>;

struct SidTraits {
  using Value = PSID;
  static Value empty() { return nullptr; }
  static void close(Value value) { FreeSid(value); }
};
// A SID from AllocateAndInitializeSid.
using ScopedSid = Scoped<SidTraits>;

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value empty() { return nullptr; }
  static void close(Value value) { CloseServiceHandle(value); }
};
// A handle of the service control manager or of one service.
using ScopedServiceHandle = Scoped<ServiceHandleTraits>;

struct RegistryKeyTraits {
  using Value = HKEY;
  static Value empty() { return nullptr; }
  static void close(Value value) { RegCloseKey(value); }
};
// An open registry key.
using ScopedRegistryKey = Scoped<RegistryKeyTraits>;

// An owner whose closing function is chosen at run time, for resources that
// are opened and closed through a replaceable function table (device
// contexts, desktops): the owner calls the same table's closer.
template <typename T>
class ScopedClosedBy {
 public:
  using Closer = BOOL(WINAPI*)(T);

  ScopedClosedBy(T value, Closer closer) : value_(value), closer_(closer) {}
  ~ScopedClosedBy() { reset(); }
  ScopedClosedBy(const ScopedClosedBy&) = delete;
  ScopedClosedBy& operator=(const ScopedClosedBy&) = delete;

  T get() const { return value_; }
  bool valid() const { return value_ != nullptr; }
  explicit operator bool() const { return valid(); }
  void reset() {
    if (value_ != nullptr) closer_(value_);
    value_ = nullptr;
  }

 private:
  T value_;
  Closer closer_;
};
using ScopedDC = ScopedClosedBy<HDC>;
using ScopedDesktop = ScopedClosedBy<HDESK>;

// One COM initialisation of the calling thread; uninitialised only when it
// succeeded.
class ScopedComInit {
 public:
  explicit ScopedComInit(DWORD model) : result_(CoInitializeEx(nullptr, model)) {}
  ~ScopedComInit() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;

  HRESULT result() const { return result_; }
  bool succeeded() const { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

// A COM interface pointer that owns one reference.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(ComPtr&& other) noexcept : pointer_(other.pointer_) { other.pointer_ = nullptr; }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = other.pointer_;
      other.pointer_ = nullptr;
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // For out-parameters: releases what is held and gives the slot.
  T** put() {
    reset();
    return &pointer_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  void reset() {
    if (pointer_ != nullptr) pointer_->Release();
    pointer_ = nullptr;
  }

 private:
  T* pointer_ = nullptr;
};

// A BSTR allocated with SysAllocString.
class ScopedBstr {
 public:
  ScopedBstr() = default;
  explicit ScopedBstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~ScopedBstr() { SysFreeString(value_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;

  BSTR get() const { return value_; }
  BSTR* put() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }

 private:
  BSTR value_ = nullptr;
};

// A VARIANT, initialised on construction and cleared on every way out.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  VARIANT* get() { return &value_; }
  const VARIANT& value() const { return value_; }
  void clear() { VariantClear(&value_); }

 private:
  VARIANT value_;
};
