// The class objects of the stand-in: instances, the setting interface's
// class, method parameters and events.
#include <cstdio>

#include "sim/wmi_firmware/provider.h"

namespace wmisim {

namespace {

LONG g_module_objects = 0;

std::string describe(const VARIANT* value) {
  if (value == nullptr) return "null";
  switch (V_VT(value)) {
    case VT_BSTR:
      return "VT_BSTR:" + text_or_null(V_BSTR(value));
    case VT_I4:
      return "VT_I4:" + std::to_string(V_I4(value));
    case VT_NULL:
      return "VT_NULL";
    case VT_EMPTY:
      return "VT_EMPTY";
    default:
      return "VT_" + std::to_string(V_VT(value));
  }
}

const char* kind_name(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::class_definition:
      return "class";
    case ObjectKind::instance:
      return "instance";
    case ObjectKind::parameters_definition:
      return "parameters definition";
    case ObjectKind::parameters:
      return "parameters";
    case ObjectKind::out_parameters:
      return "out parameters";
    case ObjectKind::event:
      return "event";
  }
  return "object";
}

}  // namespace

// {6E0D8C61-3B3F-4F5C-9D1B-2C6A4F0E7A11}
const IID IID_SimObject = {0x6e0d8c61, 0x3b3f, 0x4f5c, {0x9d, 0x1b, 0x2c, 0x6a, 0x4f, 0x0e, 0x7a, 0x11}};

LONG module_objects() { return g_module_objects; }
void lock_module(bool lock) {
  if (lock) {
    InterlockedIncrement(&g_module_objects);
  } else {
    InterlockedDecrement(&g_module_objects);
  }
}

Counted::Counted(std::string kind) : kind_(std::move(kind)) {
  lock_module(true);
  firmware_state().object_created();
}

Counted::~Counted() {
  log_call("Release " + kind_);
  firmware_state().object_destroyed();
  lock_module(false);
}

ULONG Counted::release_ref() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string text_or_null(const wchar_t* text) {
  return text == nullptr ? "null" : "\"" + to_utf8(text) + "\"";
}

std::string pointer_or_null(const void* pointer, const char* given) {
  return pointer == nullptr ? "null" : given;
}

void log_call(const std::string& line) { firmware_state().log(line); }

void crash_in_provider() {
  log_call("crash");
  // The pointer is volatile too, so the compiler cannot see the null and
  // put a trap instruction in place of the faulting write.
  static volatile int* volatile nowhere = nullptr;
  *nowhere = 1;  // NOLINT(clang-analyzer-core.NullDereference): the fault is the purpose
}

namespace {

// Each frame is kept: its bytes are used after the call returns.
int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth < 0) return 0;
  return recurse(depth + 1) + frame[0];
}

}  // namespace

void overflow_in_provider() {
  log_call("overflow");
  recurse(0);
}

bool equal_ignoring_case(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

Property text_property(const std::wstring& name, const Value& value) {
  Property property;
  property.name = name;
  property.type = value.null ? VT_NULL : VT_BSTR;
  property.text = value.text;
  return property;
}

Property number_property(const std::wstring& name, LONG number) {
  Property property;
  property.name = name;
  property.type = VT_I4;
  property.number = number;
  return property;
}

Property null_property(const std::wstring& name) {
  Property property;
  property.name = name;
  return property;
}

SimObject::SimObject(ObjectKind kind, std::wstring class_name, std::vector<Property> properties)
    : Counted(std::string("Object ") + to_utf8(class_name) + " " + kind_name(kind)),
      kind_(kind),
      class_name_(std::move(class_name)),
      properties_(std::move(properties)) {}

HRESULT STDMETHODCALLTYPE SimObject::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemClassObject) ||
      IsEqualIID(iid, IID_SimObject)) {
    *object = static_cast<IWbemClassObject*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

bool SimObject::property(const std::wstring& name, Property* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Property& property : properties_) {
    if (equal_ignoring_case(property.name, name)) {
      *value = property;
      return true;
    }
  }
  return false;
}

HRESULT STDMETHODCALLTYPE SimObject::Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                         LONG* flavor) {
  log_call("Get " + text_or_null(name) + " flags=" + std::to_string(flags) +
           " value=" + pointer_or_null(value) + " type=" + pointer_or_null(type) +
           " flavor=" + pointer_or_null(flavor) + " on " + to_utf8(class_name_));
  Fault fault;
  if (firmware_state().take_fault(Step::get, &fault)) {
    if (!fault.null_result) return fault.result;
    if (value != nullptr) V_VT(value) = VT_NULL;
    return WBEM_S_NO_ERROR;
  }
  if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
  Property found;
  if (!property(name, &found)) return WBEM_E_NOT_FOUND;
  if (value != nullptr) {
    VariantInit(value);
    V_VT(value) = found.type;
    if (found.type == VT_BSTR) V_BSTR(value) = SysAllocString(found.text.c_str());
    if (found.type == VT_I4) V_I4(value) = found.number;
  }
  if (type != nullptr) *type = found.type == VT_I4 ? CIM_UINT32 : CIM_STRING;
  if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
  return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE SimObject::Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) {
  log_call("Put " + text_or_null(name) + " flags=" + std::to_string(flags) + " type=" + std::to_string(type) +
           " value=" + describe(value) + " on " + to_utf8(class_name_));
  if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
  const std::wstring wanted = name;
  Fault fault;
  if (wanted == L"Name" && firmware_state().take_fault(Step::put_name, &fault)) return fault.result;
  if (wanted == L"Value" && firmware_state().take_fault(Step::put_value, &fault)) return fault.result;
  if (kind_ != ObjectKind::instance && kind_ != ObjectKind::parameters) return WBEM_E_READ_ONLY;
  VARTYPE vartype = value == nullptr ? static_cast<VARTYPE>(VT_NULL) : V_VT(value);
  if (vartype == VT_EMPTY) vartype = VT_NULL;
  if (vartype != VT_NULL && vartype != VT_BSTR && vartype != VT_I4) return WBEM_E_TYPE_MISMATCH;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Property& property : properties_) {
    if (!equal_ignoring_case(property.name, wanted)) continue;
    property.type = vartype;
    property.text = vartype == VT_BSTR && V_BSTR(value) != nullptr ? V_BSTR(value) : L"";
    property.number = vartype == VT_I4 ? V_I4(value) : 0;
    return WBEM_S_NO_ERROR;
  }
  return WBEM_E_NOT_FOUND;
}

HRESULT STDMETHODCALLTYPE SimObject::GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                                               IWbemClassObject** out_signature) {
  log_call("GetMethod " + text_or_null(name) + " flags=" + std::to_string(flags) +
           " in=" + pointer_or_null(in_signature, "asked") +
           " out=" + pointer_or_null(out_signature, "asked") + " on " + to_utf8(class_name_));
  if (in_signature != nullptr) *in_signature = nullptr;
  if (out_signature != nullptr) *out_signature = nullptr;
  Fault fault;
  if (firmware_state().take_fault(Step::get_method, &fault)) {
    return fault_result(fault);
  }
  if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
  if (kind_ != ObjectKind::class_definition || std::wstring(name) != L"SetBIOSSetting") {
    return WBEM_E_NOT_FOUND;
  }
  if (in_signature != nullptr) {
    *in_signature = new SimObject(ObjectKind::parameters_definition, L"__PARAMETERS",
                                  {null_property(L"Name"), null_property(L"Value")});
  }
  if (out_signature != nullptr) {
    *out_signature =
        new SimObject(ObjectKind::parameters_definition, L"__PARAMETERS", {null_property(L"Return")});
  }
  return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE SimObject::SpawnInstance(LONG flags, IWbemClassObject** instance) {
  log_call("SpawnInstance flags=" + std::to_string(flags) + " on " + to_utf8(class_name_) + " " +
           kind_name(kind_));
  if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
  *instance = nullptr;
  Fault fault;
  if (firmware_state().take_fault(Step::spawn_instance, &fault)) {
    return fault_result(fault);
  }
  if (kind_ != ObjectKind::class_definition && kind_ != ObjectKind::parameters_definition) {
    return WBEM_E_INCOMPLETE_CLASS;
  }
  const ObjectKind spawned =
      kind_ == ObjectKind::parameters_definition ? ObjectKind::parameters : ObjectKind::instance;
  std::vector<Property> properties;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Property& property : properties_) properties.push_back(null_property(property.name));
  }
  *instance = new SimObject(spawned, class_name_, std::move(properties));
  return WBEM_S_NO_ERROR;
}

HRESULT SimObject::unsupported(const char* method) {
  log_call(std::string("unsupported IWbemClassObject::") + method);
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT STDMETHODCALLTYPE SimObject::GetQualifierSet(IWbemQualifierSet**) {
  return unsupported("GetQualifierSet");
}
HRESULT STDMETHODCALLTYPE SimObject::Delete(LPCWSTR) { return unsupported("Delete"); }
HRESULT STDMETHODCALLTYPE SimObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) {
  return unsupported("GetNames");
}
HRESULT STDMETHODCALLTYPE SimObject::BeginEnumeration(LONG) { return unsupported("BeginEnumeration"); }
HRESULT STDMETHODCALLTYPE SimObject::Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) {
  return unsupported("Next");
}
HRESULT STDMETHODCALLTYPE SimObject::EndEnumeration() { return unsupported("EndEnumeration"); }
HRESULT STDMETHODCALLTYPE SimObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return unsupported("GetPropertyQualifierSet");
}
HRESULT STDMETHODCALLTYPE SimObject::Clone(IWbemClassObject**) { return unsupported("Clone"); }
HRESULT STDMETHODCALLTYPE SimObject::GetObjectText(LONG, BSTR*) { return unsupported("GetObjectText"); }
HRESULT STDMETHODCALLTYPE SimObject::SpawnDerivedClass(LONG, IWbemClassObject**) {
  return unsupported("SpawnDerivedClass");
}
HRESULT STDMETHODCALLTYPE SimObject::CompareTo(LONG, IWbemClassObject*) { return unsupported("CompareTo"); }
HRESULT STDMETHODCALLTYPE SimObject::GetPropertyOrigin(LPCWSTR, BSTR*) {
  return unsupported("GetPropertyOrigin");
}
HRESULT STDMETHODCALLTYPE SimObject::InheritsFrom(LPCWSTR) { return unsupported("InheritsFrom"); }
HRESULT STDMETHODCALLTYPE SimObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
  return unsupported("PutMethod");
}
HRESULT STDMETHODCALLTYPE SimObject::DeleteMethod(LPCWSTR) { return unsupported("DeleteMethod"); }
HRESULT STDMETHODCALLTYPE SimObject::BeginMethodEnumeration(LONG) {
  return unsupported("BeginMethodEnumeration");
}
HRESULT STDMETHODCALLTYPE SimObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) {
  return unsupported("NextMethod");
}
HRESULT STDMETHODCALLTYPE SimObject::EndMethodEnumeration() { return unsupported("EndMethodEnumeration"); }
HRESULT STDMETHODCALLTYPE SimObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return unsupported("GetMethodQualifierSet");
}
HRESULT STDMETHODCALLTYPE SimObject::GetMethodOrigin(LPCWSTR, BSTR*) {
  return unsupported("GetMethodOrigin");
}

}  // namespace wmisim
