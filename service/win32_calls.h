// The Win32 calls of the service host that tests replace: status reports,
// control-handler registration, the posting of requests to the service
// thread (a thread id that Windows reuses cannot be arranged), the event log,
// message boxes, the calls that would change the machine's services or
// block (the dispatcher), and the token query of /install (Wine's token has a
// linked token as under User Account Control, but no limited one; Windows XP
// knows no linked tokens at all).
// The process uses one table; its defaults are the real functions.
#pragma once

#include <windows.h>
#include <winsvc.h>

struct Win32Calls {
  decltype(&::SetServiceStatus) set_service_status = ::SetServiceStatus;
  decltype(&::RegisterServiceCtrlHandlerExA) register_service_ctrl_handler_ex =
      ::RegisterServiceCtrlHandlerExA;
  decltype(&::StartServiceCtrlDispatcherA) start_service_ctrl_dispatcher = ::StartServiceCtrlDispatcherA;
  decltype(&::PostThreadMessageA) post_thread_message = ::PostThreadMessageA;

  decltype(&::RegisterEventSourceA) register_event_source = ::RegisterEventSourceA;
  decltype(&::ReportEventA) report_event = ::ReportEventA;
  decltype(&::DeregisterEventSource) deregister_event_source = ::DeregisterEventSource;

  decltype(&::MessageBoxA) message_box = ::MessageBoxA;

  decltype(&::OpenSCManagerA) open_sc_manager = ::OpenSCManagerA;
  decltype(&::CreateServiceA) create_service = ::CreateServiceA;
  decltype(&::ChangeServiceConfig2A) change_service_config2 = ::ChangeServiceConfig2A;
  decltype(&::OpenServiceA) open_service = ::OpenServiceA;
  decltype(&::DeleteService) delete_service = ::DeleteService;
  decltype(&::CloseServiceHandle) close_service_handle = ::CloseServiceHandle;

  decltype(&::RegCreateKeyExA) reg_create_key_ex = ::RegCreateKeyExA;

  decltype(&::GetTokenInformation) get_token_information = ::GetTokenInformation;
};

// The process's table. Tests assign a table of recorders and put
// Win32Calls{} back afterwards.
Win32Calls& win32_calls();
