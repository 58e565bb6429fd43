// The stand-in for the blade firmware's WMI provider: the objects handed out
// from the WBEM locator's class factory down to the class objects.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/scoped.h"
#include "sim/wmi_firmware/firmware_state.h"

namespace wmisim {

// The objects of this module still alive in this process (DllCanUnloadNow).
LONG module_objects();
void lock_module(bool lock);

// Takes over the one reference a new object starts with.
template <typename T>
ComPtr<T> adopt(T* object) {
  ComPtr<T> owner;
  *owner.put() = object;
  return owner;
}

// Reference count, live-object count and a call-log line when the object
// goes. Every object the provider hands out derives from it.
class Counted {
 public:
  explicit Counted(std::string kind);
  virtual ~Counted();
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 protected:
  ULONG add_ref() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG release_ref();

 private:
  LONG references_ = 1;
  std::string kind_;
};

// A property value of a class object: text, number or null.
struct Property {
  std::wstring name;
  VARTYPE type = VT_NULL;  // VT_NULL, VT_BSTR or VT_I4
  std::wstring text;
  LONG number = 0;
};
Property text_property(const std::wstring& name, const Value& value);
Property number_property(const std::wstring& name, LONG number);
Property null_property(const std::wstring& name);

// Which of the objects of a WMI class this is.
enum class ObjectKind {
  class_definition,
  instance,
  parameters_definition,
  parameters,
  out_parameters,
  event
};

// The private interface through which the provider reads its own objects.
// {6E0D8C61-3B3F-4F5C-9D1B-2C6A4F0E7A11}
extern const IID IID_SimObject;

class SimObject : public IWbemClassObject, public Counted {
 public:
  SimObject(ObjectKind kind, std::wstring class_name, std::vector<Property> properties);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release_ref(); }

  // IWbemClassObject: what the service calls.
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                                      IWbemClassObject** out_signature) override;
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** instance) override;

  // IWbemClassObject: the rest is not offered.
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override;
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override;
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override;
  HRESULT STDMETHODCALLTYPE EndEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override;
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override;
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override;
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override;
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override;
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override;

  // The provider's own access, without logging or failures.
  bool property(const std::wstring& name, Property* value) const;
  const std::wstring& class_name() const { return class_name_; }

 private:
  HRESULT unsupported(const char* method);

  ObjectKind kind_;
  std::wstring class_name_;
  mutable std::mutex mutex_;
  std::vector<Property> properties_;
};

// The provider's answer to a WQL query: the objects, or an error HRESULT.
struct Query {
  std::wstring class_name;
  std::vector<std::wstring> properties;  // empty: "*"
  bool filtered = false;
  std::wstring filter_property;
  std::wstring filter_value;
};
HRESULT parse_query(const std::wstring& text, Query* query);

// The firmware's namespaces, as ConnectServer names them.
enum class Namespace { bios, wmi };
bool namespace_by_path(const std::wstring& path, Namespace* name_space);
const wchar_t* namespace_path(Namespace name_space);

// The instances a query selects, projected to its properties.
HRESULT select_instances(Namespace name_space, const Query& query, std::vector<ComPtr<SimObject>>* instances);
// Whether an event query names the firmware's event class and selects its
// events; WBEM_E_* when it is not a valid event query here.
HRESULT check_event_query(Namespace name_space, const Query& query, bool* matches);
ComPtr<SimObject> make_event(const Query& query, const Value& description);
ComPtr<SimObject> make_setting_interface_class();
// The index of the setting interface the path names, or -1.
int setting_interface_index(const std::wstring& path);
ComPtr<SimObject> make_out_parameters(LONG return_value);

// An access violation: a write through a null pointer.
void crash_in_provider();
// A stack overflow: a recursion that never ends, on the calling thread.
void overflow_in_provider();

// What a step returns when its failure fires: the HRESULT, or success with
// no object; a crash does not return.
inline HRESULT fault_result(const Fault& fault) {
  if (fault.crash) crash_in_provider();
  if (fault.overflow) overflow_in_provider();
  return fault.null_result ? S_OK : fault.result;
}

// Call-log helpers.
std::string hex(DWORD value);
std::string text_or_null(const wchar_t* text);
std::string pointer_or_null(const void* pointer, const char* given = "given");
void log_call(const std::string& line);
bool equal_ignoring_case(const std::wstring& a, const std::wstring& b);

// The top of the provider: the object the class factory creates.
HRESULT create_locator(REFIID iid, void** object);

}  // namespace wmisim
