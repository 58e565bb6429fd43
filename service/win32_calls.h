// The Win32 calls of the service host that tests replace: status reports,
// control-handler registration, the posting of requests to the service
// thread (a thread id that Windows reuses cannot be arranged), the event log,
// message boxes, the calls that would change the machine's services or
// block (the dispatcher), and what /install reads about the executable's
// place: the token, the Windows version, the drive, and each folder of the
// path through a handle to the folder itself. Wine cannot show what these
// answer on Windows: its files all belong to the Wine account, whatever sets
// their owner; junctions, mount points and subst drives do not exist there;
// its token is neither XP's nor that of User Account Control.
// The process uses one table; its defaults are the real functions.
#pragma once

#include <windows.h>
#include <aclapi.h>
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
  decltype(&::GetVersionExA) get_version_ex = ::GetVersionExA;
  decltype(&::GetDriveTypeA) get_drive_type = ::GetDriveTypeA;
  decltype(&::QueryDosDeviceA) query_dos_device = ::QueryDosDeviceA;
  decltype(&::GetVolumeNameForVolumeMountPointA) get_volume_name_for_volume_mount_point =
      ::GetVolumeNameForVolumeMountPointA;
  decltype(&::GetVolumeInformationA) get_volume_information = ::GetVolumeInformationA;
  decltype(&::GetFileAttributesA) get_file_attributes = ::GetFileAttributesA;
  decltype(&::CreateFileA) create_file = ::CreateFileA;
  decltype(&::GetFileInformationByHandle) get_file_information_by_handle = ::GetFileInformationByHandle;
  decltype(&::GetSecurityInfo) get_security_info = ::GetSecurityInfo;
  decltype(&::CloseHandle) close_handle = ::CloseHandle;  // of the token and of what create_file opened
};

// The process's table. Tests assign a table of recorders and put
// Win32Calls{} back afterwards.
Win32Calls& win32_calls();
