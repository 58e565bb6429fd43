#include "wmi/wmi.h"

#include "common/errors.h"
#include "trace/trace_log.h"

namespace {

const wchar_t kQueryLanguage[] = L"WQL";
const char kSelectAllFrom[] = "SELECT * FROM ";
const wchar_t kNameParameter[] = L"Name";
const wchar_t kValueParameter[] = L"Value";
const char kPathProperty[] = "__PATH";
// Forward-only enumerators that hand back control before the results are in.
const LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
const LONG kWaitForever = static_cast<LONG>(WBEM_INFINITE);

const char kListError[] = "Error in WMI property list.";

std::wstring to_utf16(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string to_ansi(const wchar_t* text, UINT length) {
  if (text == nullptr || length == 0) return std::string();
  const int size = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, size, &narrow[0], bytes, nullptr, nullptr);
  return narrow;
}

// Strings as they are; null and empty as ""; anything else as the text
// the automation conversion gives it, or "" when it has none.
std::string variant_text(const VARIANT& value) {
  if (V_VT(&value) == VT_BSTR) return to_ansi(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
  if (V_VT(&value) == VT_NULL || V_VT(&value) == VT_EMPTY) return std::string();
  ScopedVariant converted;
  if (FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
    return std::string();
  }
  return to_ansi(V_BSTR(converted.get()), SysStringLen(V_BSTR(converted.get())));
}

// Makes the variant a VT_BSTR that owns a copy of the text.
void set_text(ScopedVariant* variant, const std::string& text) {
  variant->clear();
  V_VT(variant->get()) = VT_BSTR;
  V_BSTR(variant->get()) = SysAllocString(to_utf16(text).c_str());
}

// Closes the connection on every way out of an operation, after the
// operation's own objects (declared later) are gone.
class ConnectionCloser {
 public:
  explicit ConnectionCloser(WmiConnection* connection) : connection_(connection) {}
  ~ConnectionCloser() {
    // Should tracing itself fail here, the connection's owners still
    // release everything when it goes.
    try {
      release_WMI_connection(connection_);
    } catch (...) {
    }
  }
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;

 private:
  WmiConnection* connection_;
};

void exec_query(const WmiConnection& connection, const std::string& query,
                ComPtr<IEnumWbemClassObject>* enumerator) {
  ScopedBstr language(kQueryLanguage);
  ScopedBstr text(to_utf16(query).c_str());
  const HRESULT result =
      connection.services->ExecQuery(language.get(), text.get(), kQueryFlags, nullptr, enumerator->put());
  if (FAILED(result) || !*enumerator) throw Exception("Error querying WMI.");
}

void exec_notification_query(const WmiConnection& connection, const std::string& query,
                             ComPtr<IEnumWbemClassObject>* enumerator) {
  ScopedBstr language(kQueryLanguage);
  ScopedBstr text(to_utf16(query).c_str());
  const HRESULT result = connection.services->ExecNotificationQuery(language.get(), text.get(), kQueryFlags,
                                                                    nullptr, enumerator->put());
  if (FAILED(result) || !*enumerator) throw Exception("Error querying WMI.");
}

// The next object, or none at the end; a failing Next raises.
void next_object(IEnumWbemClassObject* enumerator, ComPtr<IWbemClassObject>* object) {
  ULONG returned = 0;
  if (FAILED(enumerator->Next(kWaitForever, 1, object->put(), &returned))) {
    throw Exception(kListError);
  }
  if (returned == 0) object->reset();
}

std::string read_values(const std::string& name_space, const std::string& query,
                        const std::string& property_name) {
  std::string result;
  WmiConnection connection;
  ConnectionCloser closer(&connection);
  setup_WMI_connection(&connection, name_space);
  ComPtr<IEnumWbemClassObject> enumerator;
  exec_query(connection, query, &enumerator);
  for (;;) {
    ComPtr<IWbemClassObject> object;
    next_object(enumerator.get(), &object);
    if (!object) break;
    result += get_string_value(object.get(), property_name);
  }
  return result;
}

std::string wait_for_event(const std::string& name_space, const std::string& event_query,
                           const std::string& property_name) {
  WmiConnection connection;
  ConnectionCloser closer(&connection);
  setup_WMI_connection(&connection, name_space);
  ComPtr<IEnumWbemClassObject> enumerator;
  exec_notification_query(connection, event_query, &enumerator);
  ComPtr<IWbemClassObject> event;
  next_object(enumerator.get(), &event);
  if (!event) throw Exception(kListError);
  return get_string_value(event.get(), property_name);
}

// One method call on one instance. The objects are fetched anew for every
// instance and released, newest first, when this returns or raises.
void call_method_on_instance(const WmiConnection& connection, IWbemClassObject* instance,
                             const std::string& class_name, const std::string& method_name,
                             const std::string& setting_name, const std::string& setting_value,
                             ScopedVariant* name, ScopedVariant* value) {
  ComPtr<IWbemClassObject> class_definition;
  ComPtr<IWbemClassObject> in_definition;
  ComPtr<IWbemClassObject> in_parameters;
  ComPtr<IWbemClassObject> out_parameters;

  ScopedBstr class_path(to_utf16(class_name).c_str());
  HRESULT result =
      connection.services->GetObject(class_path.get(), 0, nullptr, class_definition.put(), nullptr);
  if (FAILED(result) || !class_definition) throw Exception("Error getting WMI object.");

  const std::wstring method = to_utf16(method_name);
  result = class_definition->GetMethod(method.c_str(), 0, in_definition.put(), nullptr);
  if (FAILED(result) || !in_definition) {
    throw Exception("Error getting definitions of input parameter for WMI method.");
  }

  result = in_definition->SpawnInstance(0, in_parameters.put());
  if (FAILED(result) || !in_parameters) {
    throw Exception("Error creating an instance of the input parameters for WMI method.");
  }

  set_text(name, setting_name);
  if (FAILED(in_parameters->Put(kNameParameter, 0, name->get(), 0))) {
    throw Exception("Error setting name property for WMI method.");
  }
  set_text(value, setting_value);
  if (FAILED(in_parameters->Put(kValueParameter, 0, value->get(), 0))) {
    throw Exception("Error setting value properties for WMI method.");
  }

  ScopedBstr instance_path(to_utf16(get_string_value(instance, kPathProperty)).c_str());
  ScopedBstr method_bstr(method.c_str());
  result = connection.services->ExecMethod(instance_path.get(), method_bstr.get(), 0, nullptr,
                                           in_parameters.get(), out_parameters.put(), nullptr);
  if (FAILED(result) || !out_parameters) {
    throw Exception("Error calling WMI method to set property.");
  }
  name->clear();
  value->clear();
}

void write_to_instances(const std::string& name_space, const std::string& class_name,
                        const std::string& method_name, const std::string& setting_name,
                        const std::string& setting_value) {
  WmiConnection connection;
  ConnectionCloser closer(&connection);
  // Initialised before anything can fail; cleared after the interfaces are
  // released and before the connection is closed.
  ScopedVariant name;
  ScopedVariant value;
  setup_WMI_connection(&connection, name_space);
  ComPtr<IEnumWbemClassObject> enumerator;
  exec_query(connection, kSelectAllFrom + class_name, &enumerator);
  for (;;) {
    ComPtr<IWbemClassObject> instance;
    next_object(enumerator.get(), &instance);
    if (!instance) break;
    call_method_on_instance(connection, instance.get(), class_name, method_name, setting_name, setting_value,
                            &name, &value);
  }
}

}  // namespace

std::string WMI_read_property(const std::string& name_space, const std::string& query,
                              const std::string& property_name) {
  trace(">> WMI_read_property", 2);
  std::string result = read_values(name_space, query, property_name);
  trace("<< WMI_read_property", 2);
  return result;
}

std::string WMI_wait_for_notification(const std::string& name_space, const std::string& event_query,
                                      const std::string& property_name) {
  trace(">> WMI_wait_for_notification", 2);
  std::string result = wait_for_event(name_space, event_query, property_name);
  trace("<< WMI_wait_for_notification", 2);
  return result;
}

void WMI_write_property(const std::string& name_space, const std::string& class_name,
                        const std::string& method_name, const std::string& setting_name,
                        const std::string& setting_value) {
  trace(">> WMI_write_property", 2);
  write_to_instances(name_space, class_name, method_name, setting_name, setting_value);
  trace("<< WMI_write_property", 2);
}

void setup_WMI_connection(WmiConnection* connection, const std::string& name_space) {
  trace(">> setup_WMI_connection", 2);
  connection->com.emplace(COINIT_MULTITHREADED);
  if (!connection->com->succeeded()) throw Exception("Error initializing COM interface.");

  // Fails harmlessly once the process's security is set; made on every setup.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                       nullptr, EOAC_NONE, nullptr);

  HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    connection->locator.put_void());
  if (FAILED(result) || !connection->locator) throw Exception("Error creating the COM instance.");

  // The caller's own identity: no user, password, locale or authority.
  ScopedBstr path(to_utf16(name_space).c_str());
  result = connection->locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                              connection->services.put());
  if (FAILED(result) || !connection->services) {
    throw Exception("Error connecting to WMI namespace.");
  }

  result = CoSetProxyBlanket(connection->services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(result)) throw Exception("Error setting COM proxy security.");
  trace("<< setup_WMI_connection", 2);
}

void release_WMI_connection(WmiConnection* connection) {
  trace(">> release_WMI_connection", 2);
  connection->services.reset();
  connection->locator.reset();
  // CoUninitialize only when the initialisation succeeded.
  connection->com.reset();
  trace("<< release_WMI_connection", 2);
}

std::string get_string_value(IWbemClassObject* object, const std::string& property_name) {
  trace(">> get_string_value", 2);
  if (object == nullptr) throw TextError("Null property.");
  ScopedVariant value;
  const std::wstring name = to_utf16(property_name);
  if (FAILED(object->Get(name.c_str(), 0, value.get(), nullptr, nullptr))) {
    throw Exception("Error getting WMI property.");
  }
  std::string text = variant_text(value.value());
  value.clear();
  trace("<< get_string_value", 2);
  return text;
}
