// The DLL entry points: the class factory for CLSID_WbemLocator.
#include <stdexcept>

#include "sim/wmi_firmware/provider.h"

namespace wmisim {
namespace {

std::string iid_name(REFIID iid) {
  if (IsEqualIID(iid, IID_IWbemLocator)) return "IID_IWbemLocator";
  if (IsEqualIID(iid, IID_IUnknown)) return "IID_IUnknown";
  wchar_t text[40] = L"";
  StringFromGUID2(iid, text, 40);
  return to_utf8(text);
}

// One static factory; its references only keep the module loaded.
class LocatorFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    lock_module(true);
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    lock_module(false);
    return 1;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    try {
      log_call("CreateInstance CLSID_WbemLocator " + iid_name(iid) + " outer=" + pointer_or_null(outer));
      Fault fault;
      if (firmware_state().take_fault(Step::create, &fault)) {
        return fault_result(fault);
      }
      if (outer != nullptr) return CLASS_E_NOAGGREGATION;
      return create_locator(iid, object);
    } catch (const std::exception&) {
      return E_UNEXPECTED;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock_module(lock != FALSE);
    return S_OK;
  }
};

LocatorFactory g_factory;

}  // namespace
}  // namespace wmisim

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  try {
    wmisim::firmware_state();  // the shared state must open before anything is handed out
  } catch (const std::exception&) {
    return E_UNEXPECTED;
  }
  return wmisim::g_factory.QueryInterface(iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return wmisim::module_objects() == 0 ? S_OK : S_FALSE; }
