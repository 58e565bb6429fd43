// The locator, the namespace services (with the client-security interface a
// WMI proxy carries on Windows) and the enumerators.
#include <memory>

#include "sim/wmi_firmware/provider.h"

namespace wmisim {

namespace {

std::string context_text(const IWbemContext* context) { return pointer_or_null(context); }

// What both enumerators share: identity, references, the start of Next and
// the calls not offered.
class Enumerator : public IEnumWbemClassObject, public Counted {
 public:
  explicit Enumerator(const char* kind) : Counted(kind), kind_(kind) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumWbemClassObject)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IEnumWbemClassObject*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release_ref(); }

  HRESULT STDMETHODCALLTYPE Reset() override { return unsupported("Reset"); }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return unsupported("NextAsync"); }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return unsupported("Clone"); }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return unsupported("Skip"); }

 protected:
  // Logs the call, clears the outputs and applies a switched-on failure.
  // Returns false with `result` set when Next must return at once.
  bool begin_next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned, HRESULT* result) {
    log_call("Next timeout=" + hex(static_cast<DWORD>(timeout)) + " count=" + std::to_string(count) +
             (kind_ == "EventEnum" ? " (events)" : ""));
    *result = WBEM_E_INVALID_PARAMETER;
    if (objects == nullptr || returned == nullptr) return false;
    *returned = 0;
    for (ULONG i = 0; i < count; ++i) objects[i] = nullptr;
    Fault fault;
    if (!firmware_state().take_fault(Step::next, &fault)) return true;
    if (fault.null_result) *returned = count;  // counted, but no object
    *result = fault_result(fault);
    return false;
  }

 private:
  HRESULT unsupported(const char* method) const {
    log_call("unsupported IEnumWbemClassObject::" + std::string(method) + " on " + kind_);
    return WBEM_E_NOT_SUPPORTED;
  }

  std::string kind_;
};

// The enumerator of a query's instances.
class InstanceEnum : public Enumerator {
 public:
  explicit InstanceEnum(std::vector<ComPtr<SimObject>> objects)
      : Enumerator("InstanceEnum"), objects_(std::move(objects)) {}

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    HRESULT result;
    if (!begin_next(timeout, count, objects, returned, &result)) return result;
    // Forward only: the reference goes to the caller, so the object lives
    // exactly as long as the caller holds it.
    std::lock_guard<std::mutex> lock(mutex_);
    while (*returned < count && position_ < objects_.size()) {
      ComPtr<SimObject>& next = objects_[position_++];
      next->AddRef();
      objects[(*returned)++] = next.get();
      next.reset();
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  std::mutex mutex_;
  std::vector<ComPtr<SimObject>> objects_;
  std::size_t position_ = 0;
};

// The enumerator of an event subscription: Next blocks until an event is
// raised for it.
class EventEnum : public Enumerator {
 public:
  EventEnum(Query query, bool matches)
      : Enumerator("EventEnum"), query_(std::move(query)), subscription_(&firmware_state(), matches) {}

  bool subscribed() const { return subscription_.valid(); }

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    HRESULT result;
    if (!begin_next(timeout, count, objects, returned, &result)) return result;
    if (count == 0) return WBEM_S_NO_ERROR;
    Value description;
    const DWORD wait = timeout < 0 ? INFINITE : static_cast<DWORD>(timeout);
    if (!subscription_.next(wait, &description)) return WBEM_S_TIMEDOUT;
    ComPtr<SimObject> event = make_event(query_, description);
    event->AddRef();
    objects[0] = event.get();
    *returned = 1;
    return count == 1 ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  Query query_;
  EventSubscription subscription_;
};

class Services : public IWbemServices, public IClientSecurity, public Counted {
 public:
  explicit Services(Namespace name_space)
      : Counted(std::string("Services ") + to_utf8(namespace_path(name_space))), name_space_(name_space) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemServices)) {
      *object = static_cast<IWbemServices*>(this);
    } else if (IsEqualIID(iid, IID_IClientSecurity)) {
      *object = static_cast<IClientSecurity*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release_ref(); }

  // IClientSecurity
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown* proxy, DWORD authentication, DWORD authorisation,
                                       OLECHAR* principal, DWORD level, DWORD impersonation, void* identity,
                                       DWORD capabilities) override {
    log_call("SetBlanket proxy=" + pointer_or_null(proxy) + " authn=" + std::to_string(authentication) +
             " authz=" + std::to_string(authorisation) + " principal=" + text_or_null(principal) +
             " level=" + std::to_string(level) + " impersonation=" + std::to_string(impersonation) +
             " identity=" + pointer_or_null(identity) + " capabilities=" + std::to_string(capabilities));
    Fault fault;
    if (firmware_state().take_fault(Step::blanket, &fault)) return fault.result;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authentication, DWORD* authorisation,
                                         OLECHAR** principal, DWORD* level, DWORD* impersonation,
                                         void** identity, DWORD* capabilities) override {
    if (authentication != nullptr) *authentication = RPC_C_AUTHN_WINNT;
    if (authorisation != nullptr) *authorisation = RPC_C_AUTHZ_NONE;
    if (principal != nullptr) *principal = nullptr;
    if (level != nullptr) *level = RPC_C_AUTHN_LEVEL_CALL;
    if (impersonation != nullptr) *impersonation = RPC_C_IMP_LEVEL_IMPERSONATE;
    if (identity != nullptr) *identity = nullptr;
    if (capabilities != nullptr) *capabilities = EOAC_NONE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown** copy) override {
    if (copy != nullptr) *copy = nullptr;
    return unsupported("CopyProxy");
  }

  // IWbemServices: what the service calls.
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext* context, IEnumWbemClassObject** result) override {
    log_call("ExecQuery " + text_or_null(language) + " " + text_or_null(query) +
             " flags=" + std::to_string(flags) + " context=" + context_text(context));
    if (result == nullptr) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    Fault fault;
    if (firmware_state().take_fault(Step::query, &fault)) {
      return fault_result(fault);
    }
    Query parsed;
    const HRESULT checked = check_query(language, query, &parsed);
    if (FAILED(checked)) return checked;
    std::vector<ComPtr<SimObject>> instances;
    const HRESULT selected = select_instances(name_space_, parsed, &instances);
    if (FAILED(selected)) return selected;
    *result = new InstanceEnum(std::move(instances));
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR language, const BSTR query, LONG flags,
                                                  IWbemContext* context,
                                                  IEnumWbemClassObject** result) override {
    log_call("ExecNotificationQuery " + text_or_null(language) + " " + text_or_null(query) +
             " flags=" + std::to_string(flags) + " context=" + context_text(context));
    if (result == nullptr) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    Fault fault;
    if (firmware_state().take_fault(Step::notification_query, &fault)) {
      return fault_result(fault);
    }
    // Event queries are semisynchronous only, as on Windows.
    const LONG required = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
    if ((flags & required) != required) return WBEM_E_INVALID_PARAMETER;
    Query parsed;
    const HRESULT checked = check_query(language, query, &parsed);
    if (FAILED(checked)) return checked;
    bool matches = false;
    const HRESULT valid = check_event_query(name_space_, parsed, &matches);
    if (FAILED(valid)) return valid;
    ComPtr<EventEnum> events = adopt(new EventEnum(parsed, matches));
    if (!events->subscribed()) return WBEM_E_QUOTA_VIOLATION;
    events->AddRef();
    *result = events.get();
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context,
                                      IWbemClassObject** object, IWbemCallResult** call_result) override {
    log_call("GetObject " + text_or_null(path) + " flags=" + std::to_string(flags) +
             " context=" + context_text(context) + " object=" + pointer_or_null(object, "asked") +
             " result=" + pointer_or_null(call_result, "asked"));
    if (object != nullptr) *object = nullptr;
    if (call_result != nullptr) *call_result = nullptr;
    Fault fault;
    if (firmware_state().take_fault(Step::get_object, &fault)) {
      return fault_result(fault);
    }
    if (object == nullptr || path == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (name_space_ != Namespace::bios || !equal_ignoring_case(path, L"XV_BIOSSettingInterface")) {
      return WBEM_E_NOT_FOUND;
    }
    ComPtr<SimObject> definition = make_setting_interface_class();
    definition->AddRef();
    *object = definition.get();
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                                       IWbemClassObject* in_parameters, IWbemClassObject** out_parameters,
                                       IWbemCallResult** call_result) override {
    Property name;
    Property value;
    ComPtr<SimObject> in;
    if (in_parameters != nullptr) {
      in_parameters->QueryInterface(IID_SimObject, in.put_void());
      if (in) {
        in->property(L"Name", &name);
        in->property(L"Value", &value);
      }
    }
    log_call("ExecMethod " + text_or_null(path) + " " + text_or_null(method) +
             " flags=" + std::to_string(flags) + " context=" + context_text(context) + " in=" +
             (in ? "{Name=" + describe(name) + " Value=" + describe(value) + "}"
                 : pointer_or_null(in_parameters, "foreign")) +
             " out=" + pointer_or_null(out_parameters, "asked") +
             " result=" + pointer_or_null(call_result, "asked"));
    if (out_parameters != nullptr) *out_parameters = nullptr;
    if (call_result != nullptr) *call_result = nullptr;
    Fault fault;
    if (firmware_state().take_fault(Step::exec_method, &fault)) {
      return fault_result(fault);
    }
    if (path == nullptr || method == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (name_space_ != Namespace::bios) return WBEM_E_INVALID_OBJECT_PATH;
    if (std::wstring(method) != L"SetBIOSSetting") return WBEM_E_INVALID_METHOD;
    if (setting_interface_index(path) < 0) return WBEM_E_NOT_FOUND;
    if (!in || name.type != VT_BSTR || value.type != VT_BSTR) {
      return WBEM_E_INVALID_METHOD_PARAMETERS;
    }
    const LONG status = firmware_state().apply_setting(name.text, text_value(value.text));
    if (out_parameters != nullptr) {
      ComPtr<SimObject> out = make_out_parameters(status);
      out->AddRef();
      *out_parameters = out.get();
    }
    return WBEM_S_NO_ERROR;
  }

  // IWbemServices: the rest is not offered.
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return unsupported("OpenNamespace");
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
    return unsupported("CancelAsyncCall");
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
    return unsupported("QueryObjectSink");
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return unsupported("GetObjectAsync");
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return unsupported("PutClass");
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return unsupported("PutClassAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return unsupported("DeleteClass");
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return unsupported("DeleteClassAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                            IEnumWbemClassObject**) override {
    return unsupported("CreateClassEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return unsupported("CreateClassEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return unsupported("PutInstance");
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return unsupported("PutInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return unsupported("DeleteInstance");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return unsupported("DeleteInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                               IEnumWbemClassObject**) override {
    return unsupported("CreateInstanceEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*) override {
    return unsupported("CreateInstanceEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return unsupported("ExecQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) override {
    return unsupported("ExecNotificationQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return unsupported("ExecMethodAsync");
  }

 private:
  static std::string describe(const Property& property) {
    if (property.type == VT_BSTR) return "\"" + to_utf8(property.text) + "\"";
    if (property.type == VT_I4) return std::to_string(property.number);
    return "null";
  }

  static HRESULT check_query(const BSTR language, const BSTR query, Query* parsed) {
    if (language == nullptr || !equal_ignoring_case(language, L"WQL")) {
      return WBEM_E_INVALID_QUERY_TYPE;
    }
    if (query == nullptr) return WBEM_E_INVALID_PARAMETER;
    return parse_query(query, parsed);
  }

  static HRESULT unsupported(const char* method) {
    log_call(std::string("unsupported IWbemServices::") + method);
    return WBEM_E_NOT_SUPPORTED;
  }

  Namespace name_space_;
};

class Locator : public IWbemLocator, public Counted {
 public:
  Locator() : Counted("Locator") {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IWbemLocator)) return E_NOINTERFACE;
    *object = static_cast<IWbemLocator*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release_ref(); }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR path, const BSTR user, const BSTR password,
                                          const BSTR locale, LONG security_flags, const BSTR authority,
                                          IWbemContext* context, IWbemServices** services) override {
    log_call("ConnectServer " + text_or_null(path) + " user=" + text_or_null(user) +
             " password=" + text_or_null(password) + " locale=" + text_or_null(locale) +
             " flags=" + std::to_string(security_flags) + " authority=" + text_or_null(authority) +
             " context=" + context_text(context));
    if (services == nullptr) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    Fault fault;
    if (firmware_state().take_fault(Step::connect, &fault)) {
      return fault_result(fault);
    }
    Namespace name_space;
    if (path == nullptr || !namespace_by_path(path, &name_space)) return WBEM_E_INVALID_NAMESPACE;
    *services = new Services(name_space);
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace

HRESULT create_locator(REFIID iid, void** object) {
  ComPtr<Locator> locator = adopt(new Locator());
  return locator->QueryInterface(iid, object);
}

}  // namespace wmisim
