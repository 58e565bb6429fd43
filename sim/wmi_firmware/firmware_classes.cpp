// The firmware's namespaces, classes and instances, and the little WQL the
// service sends: "SELECT a, b FROM Class [WHERE [(]Prop = 'text'[)]]".
#include <cwctype>

#include "sim/wmi_firmware/provider.h"

namespace wmisim {

namespace {

const wchar_t kBiosPath[] = L"root/XV/InstrumentedBIOS";
const wchar_t kWmiPath[] = L"root/WMI";
const wchar_t kPathPrefix[] = L"\\\\XVBLADE\\root\\XV\\InstrumentedBIOS:";
const wchar_t kSensorClass[] = L"XV_BIOSNumericSensor";
const wchar_t kSettingClass[] = L"XVBIOS_BIOSEnumeration";
const wchar_t kInterfaceClass[] = L"XV_BIOSSettingInterface";
const wchar_t kEventClass[] = L"XVBIOS_BIOSEvent";
const wchar_t kSensorName[] = L"Blade Dongle State";
const wchar_t kSettingName[] = L"Remote Session Protocol";

struct Token {
  enum Kind { word, text, symbol, end } kind;
  std::wstring value;
};

std::vector<Token> tokenize(const std::wstring& text, bool* ok) {
  std::vector<Token> tokens;
  *ok = true;
  std::size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (std::iswspace(c)) {
      ++i;
    } else if (std::iswalnum(c) || c == L'_') {
      std::size_t j = i;
      while (j < text.size() && (std::iswalnum(text[j]) || text[j] == L'_')) ++j;
      tokens.push_back({Token::word, text.substr(i, j - i)});
      i = j;
    } else if (c == L'\'' || c == L'"') {
      const std::size_t close = text.find(c, i + 1);
      if (close == std::wstring::npos) {
        *ok = false;
        return tokens;
      }
      tokens.push_back({Token::text, text.substr(i + 1, close - i - 1)});
      i = close + 1;
    } else if (c == L'*' || c == L',' || c == L'(' || c == L')' || c == L'=') {
      tokens.push_back({Token::symbol, std::wstring(1, c)});
      ++i;
    } else {
      *ok = false;
      return tokens;
    }
  }
  tokens.push_back({Token::end, L""});
  return tokens;
}

bool is_word(const Token& token, const wchar_t* word) {
  return token.kind == Token::word && equal_ignoring_case(token.value, word);
}

bool is_symbol(const Token& token, const wchar_t* symbol) {
  return token.kind == Token::symbol && token.value == symbol;
}

std::wstring instance_path(const std::wstring& class_name, const std::wstring& instance_name) {
  return kPathPrefix + class_name + L".InstanceName=\"" + instance_name + L"\"";
}

std::wstring numbered(const wchar_t* stem, int index) { return stem + std::to_wstring(index); }

// Every instance of the class with all its properties, system ones first.
std::vector<std::vector<Property>> all_instances(const std::wstring& class_name) {
  std::vector<std::vector<Property>> instances;
  FirmwareState& state = firmware_state();
  if (equal_ignoring_case(class_name, kSensorClass)) {
    int index = 0;
    for (const Value& value : state.sensors()) {
      const std::wstring name = numbered(L"XVBIOS_Sensor_", index++);
      const bool present = !value.null && value.text == L"Present";
      instances.push_back(
          {text_property(L"__CLASS", text_value(kSensorClass)),
           text_property(L"__PATH", text_value(instance_path(kSensorClass, name))),
           text_property(L"InstanceName", text_value(name)), text_property(L"Name", text_value(kSensorName)),
           text_property(L"CurrentState", value), number_property(L"CurrentReading", present ? 1 : 0)});
    }
  } else if (equal_ignoring_case(class_name, kSettingClass)) {
    // Every query of the setting counts as one read of it.
    const Value value = state.read_setting();
    const std::wstring name = L"XVBIOS_Setting_0";
    instances.push_back({text_property(L"__CLASS", text_value(kSettingClass)),
                         text_property(L"__PATH", text_value(instance_path(kSettingClass, name))),
                         text_property(L"InstanceName", text_value(name)),
                         text_property(L"Name", text_value(kSettingName)),
                         text_property(L"CurrentValue", value)});
  } else if (equal_ignoring_case(class_name, kInterfaceClass)) {
    const LONG count = state.interface_count();
    for (int index = 0; index < count; ++index) {
      const std::wstring name = numbered(L"XVBIOS_Interface_", index);
      instances.push_back({text_property(L"__CLASS", text_value(kInterfaceClass)),
                           text_property(L"__PATH", text_value(instance_path(kInterfaceClass, name))),
                           text_property(L"InstanceName", text_value(name))});
    }
  }
  return instances;
}

// The class's property names, as a projection or a condition may use them.
std::vector<std::wstring> class_properties(const std::wstring& class_name) {
  if (equal_ignoring_case(class_name, kSensorClass)) {
    return {L"__CLASS", L"__PATH", L"InstanceName", L"Name", L"CurrentState", L"CurrentReading"};
  }
  if (equal_ignoring_case(class_name, kSettingClass)) {
    return {L"__CLASS", L"__PATH", L"InstanceName", L"Name", L"CurrentValue"};
  }
  if (equal_ignoring_case(class_name, kInterfaceClass)) return {L"__CLASS", L"__PATH", L"InstanceName"};
  if (equal_ignoring_case(class_name, kEventClass)) return {L"__CLASS", L"Name", L"Description"};
  return {};
}

bool has_property(const std::vector<std::wstring>& names, const std::wstring& name) {
  for (const std::wstring& candidate : names) {
    if (equal_ignoring_case(candidate, name)) return true;
  }
  return false;
}

bool class_in(Namespace name_space, const std::wstring& class_name) {
  if (name_space == Namespace::wmi) return equal_ignoring_case(class_name, kEventClass);
  return equal_ignoring_case(class_name, kSensorClass) || equal_ignoring_case(class_name, kSettingClass) ||
         equal_ignoring_case(class_name, kInterfaceClass);
}

HRESULT check_names(const Query& query, const std::vector<std::wstring>& names) {
  for (const std::wstring& property : query.properties) {
    if (!has_property(names, property)) return WBEM_E_INVALID_QUERY;
  }
  if (query.filtered && !has_property(names, query.filter_property)) return WBEM_E_INVALID_QUERY;
  return WBEM_S_NO_ERROR;
}

// Keeps the selected properties and the system ones.
std::vector<Property> project(const Query& query, const std::vector<Property>& properties) {
  if (query.properties.empty()) return properties;
  std::vector<Property> kept;
  for (const Property& property : properties) {
    if (property.name.compare(0, 2, L"__") == 0 || has_property(query.properties, property.name)) {
      kept.push_back(property);
    }
  }
  return kept;
}

bool selected(const Query& query, const std::vector<Property>& properties) {
  if (!query.filtered) return true;
  for (const Property& property : properties) {
    if (equal_ignoring_case(property.name, query.filter_property)) {
      return property.type == VT_BSTR && equal_ignoring_case(property.text, query.filter_value);
    }
  }
  return false;
}

std::wstring normalised_path(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  // "//server/root/..." names the local machine as "." or by its name.
  if (path.compare(0, 2, L"//") == 0) {
    const std::size_t next = path.find(L'/', 2);
    path = next == std::wstring::npos ? L"" : path.substr(next + 1);
  }
  return path;
}

}  // namespace

HRESULT parse_query(const std::wstring& text, Query* query) {
  bool ok = false;
  const std::vector<Token> tokens = tokenize(text, &ok);
  if (!ok) return WBEM_E_INVALID_QUERY;
  std::size_t at = 0;
  if (!is_word(tokens[at++], L"select")) return WBEM_E_INVALID_QUERY;
  if (is_symbol(tokens[at], L"*")) {
    ++at;
  } else {
    for (;;) {
      if (tokens[at].kind != Token::word) return WBEM_E_INVALID_QUERY;
      query->properties.push_back(tokens[at++].value);
      if (!is_symbol(tokens[at], L",")) break;
      ++at;
    }
  }
  if (!is_word(tokens[at++], L"from") || tokens[at].kind != Token::word) return WBEM_E_INVALID_QUERY;
  query->class_name = tokens[at++].value;
  if (tokens[at].kind == Token::end) return WBEM_S_NO_ERROR;
  if (!is_word(tokens[at++], L"where")) return WBEM_E_INVALID_QUERY;
  int open = 0;
  while (is_symbol(tokens[at], L"(")) {
    ++open;
    ++at;
  }
  if (tokens[at].kind != Token::word || !is_symbol(tokens[at + 1], L"=") ||
      tokens[at + 2].kind != Token::text) {
    return WBEM_E_INVALID_QUERY;
  }
  query->filtered = true;
  query->filter_property = tokens[at].value;
  query->filter_value = tokens[at + 2].value;
  at += 3;
  for (; open > 0; --open) {
    if (!is_symbol(tokens[at++], L")")) return WBEM_E_INVALID_QUERY;
  }
  return tokens[at].kind == Token::end ? WBEM_S_NO_ERROR : WBEM_E_INVALID_QUERY;
}

bool namespace_by_path(const std::wstring& path, Namespace* name_space) {
  const std::wstring normal = normalised_path(path);
  if (equal_ignoring_case(normal, kBiosPath)) {
    *name_space = Namespace::bios;
    return true;
  }
  if (equal_ignoring_case(normal, kWmiPath)) {
    *name_space = Namespace::wmi;
    return true;
  }
  return false;
}

const wchar_t* namespace_path(Namespace name_space) {
  return name_space == Namespace::bios ? kBiosPath : kWmiPath;
}

HRESULT select_instances(Namespace name_space, const Query& query,
                         std::vector<ComPtr<SimObject>>* instances) {
  if (!class_in(name_space, query.class_name)) return WBEM_E_INVALID_CLASS;
  if (equal_ignoring_case(query.class_name, kEventClass)) return WBEM_E_INVALID_CLASS;
  const HRESULT names = check_names(query, class_properties(query.class_name));
  if (FAILED(names)) return names;
  for (const std::vector<Property>& properties : all_instances(query.class_name)) {
    if (!selected(query, properties)) continue;
    instances->push_back(
        adopt(new SimObject(ObjectKind::instance, query.class_name, project(query, properties))));
  }
  return WBEM_S_NO_ERROR;
}

HRESULT check_event_query(Namespace name_space, const Query& query, bool* matches) {
  if (name_space != Namespace::wmi || !class_in(name_space, query.class_name)) {
    return class_in(name_space, query.class_name) ? WBEM_E_NOT_EVENT_CLASS : WBEM_E_INVALID_CLASS;
  }
  const HRESULT names = check_names(query, class_properties(kEventClass));
  if (FAILED(names)) return names;
  // The firmware's events all carry the sensor's name; a condition on their
  // description cannot be known before they arrive.
  if (query.filtered && !equal_ignoring_case(query.filter_property, L"Name")) {
    return WBEM_E_INVALID_QUERY;
  }
  *matches = !query.filtered || equal_ignoring_case(query.filter_value, kSensorName);
  return WBEM_S_NO_ERROR;
}

ComPtr<SimObject> make_event(const Query& query, const Value& description) {
  return adopt(new SimObject(ObjectKind::event, kEventClass,
                             project(query, {text_property(L"__CLASS", text_value(kEventClass)),
                                             text_property(L"Name", text_value(kSensorName)),
                                             text_property(L"Description", description)})));
}

ComPtr<SimObject> make_setting_interface_class() {
  return adopt(new SimObject(
      ObjectKind::class_definition, kInterfaceClass,
      {text_property(L"__CLASS", text_value(kInterfaceClass)), null_property(L"InstanceName")}));
}

int setting_interface_index(const std::wstring& path) {
  // The full path or the part after the namespace.
  const std::size_t colon = path.find(L':');
  const std::wstring relative = colon == std::wstring::npos ? path : path.substr(colon + 1);
  const LONG count = firmware_state().interface_count();
  for (int index = 0; index < count; ++index) {
    const std::wstring full = instance_path(kInterfaceClass, numbered(L"XVBIOS_Interface_", index));
    if (equal_ignoring_case(relative, full.substr(full.find(L':') + 1))) {
      if (colon == std::wstring::npos || equal_ignoring_case(path, full)) return index;
    }
  }
  return -1;
}

ComPtr<SimObject> make_out_parameters(LONG return_value) {
  return adopt(
      new SimObject(ObjectKind::out_parameters, L"__PARAMETERS", {number_property(L"Return", return_value)}));
}

}  // namespace wmisim
