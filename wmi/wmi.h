// The only place where the service talks to Windows Management
// Instrumentation. Each operation opens its own connection on the calling
// thread (COM initialised as a multithreaded apartment for the span of the
// call), does its work and closes everything before it returns or raises.
// Nothing is kept between calls, so the operations may run on several threads
// at once.
//
// Texts are narrow strings in the ANSI code page; UTF-16 is used only for the
// COM calls. Failures are raised as Exception objects with fixed messages,
// except "Null property.", which is a TextError.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <optional>
#include <string>

#include "common/scoped.h"

// The property's values over all instances the WQL query matches, joined
// without separator; empty when nothing matches.
std::string WMI_read_property(const std::string& name_space, const std::string& query,
                              const std::string& property_name);

// Blocks until the first event of the WQL event query arrives and returns its
// property. There is no timeout and no way to cancel the wait.
std::string WMI_wait_for_notification(const std::string& name_space, const std::string& event_query,
                                      const std::string& property_name);

// Calls the method with the in-parameters "Name" and "Value" on every instance
// of the class. The method's own "Return" decides nothing.
void WMI_write_property(const std::string& name_space, const std::string& class_name,
                        const std::string& method_name, const std::string& setting_name,
                        const std::string& setting_value);

// The layer's inner steps, declared for its tests.

// A WMI connection: the calling thread's COM initialisation (empty until it
// is attempted; its result is the mark of whether it succeeded), the WBEM
// locator and the services of one namespace.
struct WmiConnection {
  std::optional<ScopedComInit> com;
  ComPtr<IWbemLocator> locator;
  ComPtr<IWbemServices> services;
};

// Fills the connection step by step. What it obtained before it raises stays
// in the connection for release_WMI_connection.
void setup_WMI_connection(WmiConnection* connection, const std::string& name_space);

// Releases the services, then the locator, then balances the COM
// initialisation when it succeeded. Safe on a connection that is partly or
// not at all set up.
void release_WMI_connection(WmiConnection* connection);

// The property of the object as narrow text: "" for an empty or null value.
// A null object raises the TextError "Null property.".
std::string get_string_value(IWbemClassObject* object, const std::string& property_name);
