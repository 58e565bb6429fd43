// The module xvVistrell: its registration values, the control-request entry
// and a whole run in service mode through the application object, with the
// service control manager replaced at the Win32 seam.
#include "service/main.h"

#include <gtest/gtest.h>

#include <thread>

#include "service/xvVistrell.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

class ExposedModule : public TxvVistrell {
 public:
  ExposedModule() : TxvVistrell(nullptr) {}
  using TxvVistrell::DoCustomControl;
  using TxvVistrell::GetServiceController;
};

TEST(ModuleTest, PropertiesOfTheModule) {
  FakeWin32 fake;
  ExposedModule module;
  EXPECT_EQ(module.Name, "xvVistrell");
  EXPECT_EQ(module.DisplayName, "XV Vistrell");
  EXPECT_EQ(module.Description,
            "Enables the graphics controller to support horizontally and vertically doubled desktop "
            "resolutions when "
            "the Telvane Sender service is running and the diagnostic adapter is not connected.");
  EXPECT_EQ(module.ServiceType, stWin32);
  EXPECT_EQ(module.StartType, stAuto);
  EXPECT_EQ(module.ErrorSeverity, esNormal);
  EXPECT_TRUE(module.Interactive());
  EXPECT_TRUE(module.AllowStop);
  EXPECT_FALSE(module.AllowPause);
  ASSERT_EQ(module.Dependencies.size(), 1u);
  EXPECT_EQ(module.Dependencies[0].Name, "tlvsender");
  EXPECT_FALSE(module.Dependencies[0].IsGroup);
  EXPECT_EQ(module.LoadGroup, "");
  EXPECT_EQ(module.ServiceStartName(), "");
  EXPECT_EQ(module.Password(), "");
  EXPECT_EQ(module.TagID, 0u);
  EXPECT_EQ(module.WaitHint, 5000u);
  EXPECT_TRUE(module.OnStart);
  EXPECT_TRUE(module.OnExecute);
  EXPECT_TRUE(module.OnStop);
  EXPECT_FALSE(module.OnPause);
  EXPECT_FALSE(module.OnContinue);
  EXPECT_FALSE(module.OnShutdown);
  EXPECT_FALSE(module.BeforeInstall);
  EXPECT_FALSE(module.AfterUninstall);
  EXPECT_EQ(module.notify, nullptr);
  EXPECT_FALSE(module.user_logged_in);
  EXPECT_EQ(module.service_type_value(), 0x110u);
  EXPECT_EQ(module.start_type_value(), 2u);
  EXPECT_EQ(module.error_control_value(), 1u);
  EXPECT_EQ(dependency_list(module.Dependencies), "tlvsender\0\0"s);
  EXPECT_EQ(module.GetServiceController(), &ServiceController);
}

TEST(ModuleTest, AdapterCodesAndAnyOtherCodeAreHandled) {
  FakeWin32 fake;
  FakeNeighbours neighbours;
  ExposedModule module;
  for (DWORD code : {CONTROL_ADAPTER_ATTACHED, CONTROL_ADAPTER_DETACHED, 200ul, 0ul})
    EXPECT_TRUE(module.DoCustomControl(code, 0)) << code;
  EXPECT_EQ(CONTROL_ADAPTER_ATTACHED, 1034u);
  EXPECT_EQ(CONTROL_ADAPTER_DETACHED, 1035u);
}

TEST(WindowsVersionTest, XpOrLaterQualifies) {
  struct Row {
    DWORD major, minor;
    bool qualifies;
  };
  for (Row row : {Row{4, 10, false}, Row{5, 0, false}, Row{5, 1, true}, Row{5, 2, true}, Row{6, 0, true},
                  Row{10, 0, true}})
    EXPECT_EQ(windows_version_qualifies(row.major, row.minor), row.qualifies)
        << row.major << "." << row.minor;
}

TEST(WindowsVersionTest, VersionBlockForTheTraceLog) {
  OSVERSIONINFOA version = {};
  version.dwMajorVersion = 5;
  version.dwMinorVersion = 1;
  version.dwBuildNumber = 2600;
  lstrcpyA(version.szCSDVersion, "Service Pack 3");
  EXPECT_EQ(windows_version_block(version),
            "Windows:\n  Major version: 5\n  Minor version: 1\n  Build: 2600\n  CSD version: Service Pack 3");
  version.szCSDVersion[0] = '\0';
  EXPECT_EQ(windows_version_block(version),
            "Windows:\n  Major version: 5\n  Minor version: 1\n  Build: 2600\n  CSD version: ");
}

// The control-request entry reaches the module through the process-wide
// reference; without a module, or without a running service, the request is
// dropped.
TEST(ServiceControllerTest, RequestsWithoutModuleOrServiceThreadAreDropped) {
  FakeWin32 fake;
  ASSERT_EQ(xvVistrell, nullptr);
  EXPECT_EQ(ServiceController(CONTROL_ADAPTER_DETACHED, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  {
    TServiceApplication application({});
    application.CreateForm(&xvVistrell);
    ASSERT_NE(xvVistrell, nullptr);
    EXPECT_EQ(ServiceController(CONTROL_ADAPTER_ATTACHED, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    application.DestroyComponents();
    EXPECT_EQ(xvVistrell, nullptr);
  }
  EXPECT_EQ(ServiceController(CONTROL_ADAPTER_DETACHED, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(fake.journal().empty());
}

// A watcher thread that keeps calling the entry while the module is destroyed
// never reaches the destroyed module.
TEST(ServiceControllerTest, ConcurrentCallsDuringDestructionAreSafe) {
  FakeWin32 fake;
  for (int round = 0; round < 20; ++round) {
    TServiceApplication application({});
    application.CreateForm(&xvVistrell);
    std::atomic<bool> done{false};
    std::thread watcher([&] {
      while (!done) ServiceController(CONTROL_ADAPTER_DETACHED, 0, nullptr, nullptr);
    });
    Sleep(1);
    application.DestroyComponents();
    done = true;
    watcher.join();
    EXPECT_EQ(xvVistrell, nullptr);
  }
}

// The whole service mode: the dispatcher (replaced) calls the service main
// function; the test stops the service through the registered entry like the
// service control manager; the dispatcher returns and Run ends.
TEST(ServiceModeTest, StartRunStopThroughTheApplication) {
  FakeWin32 fake;
  FakeNeighbours neighbours;
  neighbours.library_loaded = true;
  fake.dispatcher_arguments = {"XVVISTRELL", "-d"};
  TServiceApplication application({});
  application.CreateForm(&xvVistrell);

  std::thread control_manager([&] {
    if (!fake.wait_for_state(SERVICE_RUNNING)) return;
    fake.handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
    fake.handler(CONTROL_ADAPTER_ATTACHED, 0, nullptr, nullptr);
    fake.handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
  });
  application.Run();
  control_manager.join();

  EXPECT_EQ(fake.dispatcher_table, Lines{"xvVistrell"});
  EXPECT_EQ(fake.handler_name, "xvVistrell");
  EXPECT_EQ(xvVistrell->Params, (Lines{"XVVISTRELL", "-d"}));
  EXPECT_EQ(fake.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 4 cp 0",
                                        "status 3 cp 0", "status 1 cp 0"}));
  for (const RecordedStatus& status : fake.statuses()) {
    EXPECT_EQ(status.type, 0x110u);
    EXPECT_EQ(status.controls, status.state == SERVICE_START_PENDING ? 0u : 0xFDu);
    EXPECT_EQ(status.wait_hint, 5000u);
  }
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].source, "xvVistrell");
  EXPECT_EQ(events[0].text, "Started XV Vistrell");
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[1].text, "Stopped XV Vistrell");
  EXPECT_EQ(events[1].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(fake.dialogs().empty());

  application.DestroyComponents();
  EXPECT_EQ(xvVistrell, nullptr);
  EXPECT_EQ(fake.event_sources_open, 0);
}

}  // namespace
