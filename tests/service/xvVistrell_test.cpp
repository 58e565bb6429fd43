// The service application: switches, installation and removal through the
// service control manager seam, the connection to the dispatcher, and the
// process-exit clean-up.
#include "service/xvVistrell.h"
#include "common/format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "service/main.h"
#include "tests/service/fake_win32.h"
#include "trace/trace_log.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

std::vector<std::string>* destruction_log = nullptr;

class TestModule : public TService {
 public:
  explicit TestModule(TServiceHost* owner) : TService(owner, "TestModule") {
    DisplayName = "Test Module";
    Description = "A module for tests.";
  }
  ~TestModule() override {
    if (destruction_log != nullptr) destruction_log->push_back("module " + Name);
  }

 protected:
  LPHANDLER_FUNCTION_EX GetServiceController() override { return handler; }

 private:
  static DWORD WINAPI handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
};

struct FrameworkComponent {
  ~FrameworkComponent() {
    if (destruction_log != nullptr) destruction_log->push_back("component");
  }
};

std::string exe_file_name() { return file_name_part(executable_path()); }

// --- Switches -----------------------------------------------------------------

struct SwitchRow {
  const char* name;
  std::vector<std::string> arguments;
  const char* outcome;  // "install", "uninstall" or "connect"
  const char* dialog;   // the success dialog's text, "" for none
};

void PrintTo(const SwitchRow& row, std::ostream* out) { *out << row.name; }

class SwitchTest : public ::testing::TestWithParam<SwitchRow> {};

TEST_P(SwitchTest, ArgumentsSelectTheMode) {
  const SwitchRow row = GetParam();
  FakeWin32 fake;
  fake.fail_create_key = ERROR_ACCESS_DENIED;  // leaves the registry alone
  fake.fail_dispatcher = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  TServiceApplication application(row.arguments);
  TestModule* module = nullptr;
  application.CreateForm(&module);
  application.Run();

  const std::string outcome = !fake.creates.empty()                                             ? "install"
                              : fake.deleted_services > 0                                       ? "uninstall"
                              : fake.dispatcher_table == std::vector<std::string>{"TestModule"} ? "connect"
                                                                                                : "nothing";
  EXPECT_EQ(outcome, row.outcome);
  const std::vector<RecordedDialog> dialogs = fake.dialogs();
  if (*row.dialog == '\0') {
    EXPECT_TRUE(dialogs.empty());
  } else {
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, row.dialog);
    EXPECT_EQ(dialogs[0].caption, "Information");
    EXPECT_EQ(dialogs[0].flags, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
  }
  EXPECT_EQ(application.Installing(), outcome != "connect");
  const std::vector<RecordedEvent> events = fake.events();
  if (outcome == "connect") {
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, exe_file_name());
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].text, system_error_text(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  } else {
    EXPECT_TRUE(events.empty());
  }
  EXPECT_EQ(fake.service_handles_open, 0);
}

const char kInstalled[] = "Service installed successfully";
const char kUninstalled[] = "Service uninstalled successfully";

INSTANTIATE_TEST_SUITE_P(
    Table, SwitchTest,
    ::testing::Values(SwitchRow{"SlashInstall", {"/install"}, "install", kInstalled},
                      SwitchRow{"DashMixedCaseInstall", {"-Install"}, "install", kInstalled},
                      SwitchRow{"SlashUpperCaseUninstall", {"/UNINSTALL"}, "uninstall", kUninstalled},
                      SwitchRow{"NoLeadingCharacter", {"install"}, "connect", ""},
                      SwitchRow{"TwoDashes", {"--install"}, "connect", ""},
                      SwitchRow{"InstallBeforeUninstall", {"/install", "/uninstall"}, "install", kInstalled},
                      SwitchRow{"InstallAfterUninstall", {"/uninstall", "-INSTALL"}, "install", kInstalled},
                      SwitchRow{"SilentInstall", {"/install", "/silent"}, "install", ""},
                      SwitchRow{"SilentUninstall", {"-Silent", "-uninstall"}, "uninstall", ""},
                      SwitchRow{"LongerWord", {"/installs"}, "connect", ""},
                      SwitchRow{"SilentAlone", {"/silent"}, "connect", ""},
                      SwitchRow{"NoArguments", {}, "connect", ""}),
    [](const ::testing::TestParamInfo<SwitchRow>& row) { return std::string(row.param.name); });

TEST(IsSwitchTest, LeadingDashOrSlashAndTheWholeNameInAnyCase) {
  EXPECT_TRUE(is_switch("/install", "INSTALL"));
  EXPECT_TRUE(is_switch("-iNsTaLl", "INSTALL"));
  EXPECT_FALSE(is_switch("install", "INSTALL"));
  EXPECT_FALSE(is_switch("--install", "INSTALL"));
  EXPECT_FALSE(is_switch("/instal", "INSTALL"));
  EXPECT_FALSE(is_switch("\\install", "INSTALL"));
  EXPECT_FALSE(is_switch("", "INSTALL"));
  EXPECT_FALSE(is_switch("/", "INSTALL"));
}

// --- Installation -------------------------------------------------------------

class InstallTest : public ::testing::Test {
 protected:
  // Runs an application holding the xvVistrell module with the arguments.
  static void run_module(std::vector<std::string> arguments) {
    TServiceApplication application(std::move(arguments));
    TxvVistrell* module = nullptr;
    application.CreateForm(&module);
    application.Run();
  }
  void TearDown() override {
    remove_event_source("xvVistrell");
    remove_event_source(exe_file_name());
  }
  FakeWin32 fake;
};

TEST_F(InstallTest, CreateServiceReceivesTheModuleRegistrationValues) {
  fake.fail_create_key = ERROR_ACCESS_DENIED;
  run_module({"/install"});

  ASSERT_EQ(fake.creates.size(), 1u);
  const RecordedCreate& create = fake.creates[0];
  EXPECT_EQ(create.name, "xvVistrell");
  EXPECT_EQ(create.display_name, "XV Vistrell");
  EXPECT_EQ(create.access, 0xF01FFu);
  EXPECT_EQ(create.type, 0x110u);
  EXPECT_EQ(create.start, 2u);
  EXPECT_EQ(create.error_control, 1u);
  EXPECT_EQ(create.path, service_image_path(executable_path()));
  EXPECT_EQ(create.group, "");
  EXPECT_FALSE(create.tag_given);
  EXPECT_EQ(create.dependencies, "tlvsender\0\0"s);
  EXPECT_FALSE(create.account_given);
  EXPECT_EQ(create.password, "");
  EXPECT_EQ(fake.descriptions, Lines{kServiceDescription});
  // Restart after a minute, twice, then nothing; the count resets after a day.
  EXPECT_EQ(fake.failure_actions,
            Lines{"reset=86400 reboot=<null> command=<null> restart/60000 restart/60000 none/0"});
  ASSERT_EQ(fake.dialogs().size(), 1u);
  EXPECT_EQ(fake.dialogs()[0].caption, "Information");
  EXPECT_EQ(fake.dialogs()[0].text, "Service installed successfully");
  EXPECT_EQ(fake.dialogs()[0].flags, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
  EXPECT_EQ(fake.service_handles_open, 0);
}

TEST_F(InstallTest, RefusedFailureActionsDoNotFailTheInstallation) {
  fake.fail_create_key = ERROR_ACCESS_DENIED;
  fake.fail_failure_actions = ERROR_ACCESS_DENIED;
  run_module({"/install"});
  EXPECT_EQ(fake.failure_actions.size(), 1u);
  EXPECT_EQ(fake.deleted_services, 0);
  ASSERT_EQ(fake.dialogs().size(), 1u);
  EXPECT_EQ(fake.dialogs()[0].text, "Service installed successfully");
  EXPECT_EQ(fake.service_handles_open, 0);
}

TEST_F(InstallTest, TwoModulesShareTheProcess) {
  fake.fail_create_key = ERROR_ACCESS_DENIED;
  TServiceApplication application({"/install", "/silent"});
  TxvVistrell* first = nullptr;
  TestModule* second = nullptr;
  application.CreateForm(&first);
  application.CreateForm(&second);
  second->SetInteractive(true);
  EXPECT_EQ(first->service_type_value(),
            static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  application.Run();
  ASSERT_EQ(fake.creates.size(), 2u);
  EXPECT_EQ(fake.creates[0].type, 0x120u);
  EXPECT_EQ(fake.creates[1].type, 0x120u);
  EXPECT_EQ(fake.creates[1].dependencies, ""s);
}

TEST_F(InstallTest, AnExistingServiceShowsTheFailureEvenWhenSilent) {
  fake.fail_create_service = ERROR_SERVICE_EXISTS;
  run_module({"/install", "/silent"});
  ASSERT_EQ(fake.dialogs().size(), 1u);
  const RecordedDialog dialog = fake.dialogs()[0];
  EXPECT_EQ(dialog.caption, "Error");
  EXPECT_EQ(dialog.flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_EQ(dialog.text,
            "Service \"XV Vistrell\" failed to install with error: \"System Error.  Code: 1073.\r\n" +
                system_error_text(ERROR_SERVICE_EXISTS) + "\"");
  EXPECT_TRUE(fake.descriptions.empty());
  EXPECT_TRUE(fake.failure_actions.empty());
  EXPECT_EQ(fake.service_handles_open, 0);
}

TEST_F(InstallTest, RemovingAMissingServiceShowsTheUninstallFailure) {
  fake.fail_open_service = ERROR_SERVICE_DOES_NOT_EXIST;
  run_module({"-UNINSTALL"});
  ASSERT_EQ(fake.dialogs().size(), 1u);
  EXPECT_EQ(fake.dialogs()[0].text,
            "Service \"XV Vistrell\" failed to uninstall with error: \"System Error.  Code: 1060.\r\n" +
                system_error_text(ERROR_SERVICE_DOES_NOT_EXIST) + "\"");
  EXPECT_EQ(fake.deleted_services, 0);
}

TEST_F(InstallTest, AFailedDeleteShowsTheUninstallFailureAndClosesTheHandles) {
  fake.fail_delete_service = ERROR_SERVICE_MARKED_FOR_DELETE;
  run_module({"/uninstall", "/silent"});
  ASSERT_EQ(fake.dialogs().size(), 1u);
  EXPECT_EQ(fake.dialogs()[0].caption, "Error");
  EXPECT_EQ(fake.opened_services, Lines{"xvVistrell"});
  EXPECT_EQ(fake.service_handles_open, 0);
}

TEST_F(InstallTest, AManagerThatCannotBeOpenedRaisesWithoutADialog) {
  fake.fail_open_manager = ERROR_ACCESS_DENIED;
  TServiceApplication application({"/install"});
  TxvVistrell* module = nullptr;
  application.CreateForm(&module);
  try {
    application.Run();
    FAIL() << "no error raised";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_TRUE(fake.dialogs().empty());
}

TEST_F(InstallTest, AfterInstallErrorDeletesTheNewServiceAgain) {
  fake.fail_create_key = ERROR_ACCESS_DENIED;
  TServiceApplication application({"/install"});
  TestModule* module = nullptr;
  application.CreateForm(&module);
  module->BeforeInstall = [this](TService*) { fake.note("before install"); };
  module->AfterInstall = [](TService*) { throw Exception("post-install step failed"); };
  application.Run();
  EXPECT_EQ(fake.journal(), (Lines{"before install", "create TestModule", "delete", "dialog Error"}));
  EXPECT_EQ(fake.dialogs()[0].text,
            "Service \"Test Module\" failed to install with error: \"post-install step failed\"");
  EXPECT_EQ(fake.service_handles_open, 0);
}

TEST_F(InstallTest, UninstallHooksRunAroundTheDeletion) {
  TServiceApplication application({"/uninstall", "/silent"});
  TestModule* module = nullptr;
  application.CreateForm(&module);
  module->BeforeUninstall = [this](TService*) { fake.note("before uninstall"); };
  module->AfterUninstall = [this](TService*) { fake.note("after uninstall"); };
  application.Run();
  EXPECT_EQ(fake.journal(), (Lines{"before uninstall", "open TestModule", "delete", "after uninstall"}));
}

bool event_source_registered(const std::string& source, std::string* message_file, DWORD* types) {
  HKEY raw_key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, event_source_key(source).c_str(), 0, KEY_QUERY_VALUE, &raw_key) !=
      ERROR_SUCCESS)
    return false;
  const ScopedRegistryKey key(raw_key);
  char file[MAX_PATH + 1] = "";
  DWORD size = sizeof file - 1;
  RegQueryValueExA(key.get(), "EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE*>(file), &size);
  *message_file = file;
  size = sizeof *types;
  RegQueryValueExA(key.get(), "TypesSupported", nullptr, nullptr, reinterpret_cast<BYTE*>(types), &size);
  return true;
}

TEST_F(InstallTest, InstallationRegistersBothEventSourcesAndRemovalDeletesThem) {
  run_module({"/install", "/silent"});
  for (const std::string& source : {"xvVistrell"s, exe_file_name()}) {
    std::string message_file;
    DWORD types = 0;
    ASSERT_TRUE(event_source_registered(source, &message_file, &types)) << source;
    EXPECT_EQ(message_file, executable_path());
    EXPECT_EQ(types, 7u);
  }
  run_module({"/uninstall", "/silent"});
  std::string message_file;
  DWORD types = 0;
  EXPECT_FALSE(event_source_registered("xvVistrell", &message_file, &types));
  EXPECT_FALSE(event_source_registered(exe_file_name(), &message_file, &types));
}

TEST_F(InstallTest, AFailedEventSourceRegistrationDoesNotFailTheInstallation) {
  fake.fail_create_key = ERROR_ACCESS_DENIED;
  run_module({"/install"});
  ASSERT_EQ(fake.dialogs().size(), 1u);
  EXPECT_EQ(fake.dialogs()[0].text, "Service installed successfully");
}

TEST(ServiceImagePathTest, QuotedOnlyWhenThePathHasABlank) {
  EXPECT_EQ(service_image_path("C:\\Program Files\\XV Vistrell\\xvVistrell.exe"),
            "\"C:\\Program Files\\XV Vistrell\\xvVistrell.exe\"");
  EXPECT_EQ(service_image_path("C:\\XV\\xvVistrell.exe"), "C:\\XV\\xvVistrell.exe");
}

// --- Service mode -----------------------------------------------------------

TEST(DispatchServiceMainTest, FindsTheModuleByNameWithoutRegardToCase) {
  FakeWin32 fake;
  fake.fail_register_handler = ERROR_SERVICE_DOES_NOT_EXIST;  // Main returns at once
  TServiceApplication application({});
  TestModule* first = nullptr;
  TestModule* second = nullptr;
  application.CreateForm(&first);
  application.CreateForm(&second);
  second->Name = "Other";
  char name[] = "OTHER";
  char* argv[] = {name};
  application.DispatchServiceMain(1, argv);
  EXPECT_EQ(fake.handler_name, "Other");
  EXPECT_EQ(second->Params, Lines{"OTHER"});
  EXPECT_TRUE(first->Params.empty());

  char unknown[] = "nobody";
  argv[0] = unknown;
  application.DispatchServiceMain(1, argv);
  application.DispatchServiceMain(0, nullptr);
  EXPECT_EQ(fake.events().size(), 1u);
}

TEST(ApplicationTest, HandledExceptionsGoToTheApplicationEventSource) {
  FakeWin32 fake;
  TServiceApplication application({});
  application.DoHandleException(Exception("window message failed"));
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, exe_file_name());
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].text, "window message failed");
}

TEST(ApplicationTest, ApplicationErrorTextNamesClassModuleAddressAndMessage) {
  const std::string text = application_error_text(EOSError(ERROR_ACCESS_DENIED), "xvVistrell.exe");
  EXPECT_EQ(text.rfind("Exception EOSError in module xvVistrell.exe at ", 0), 0u) << text;
  EXPECT_NE(text.find(".\r\nSystem Error.  Code: 5.\r\n"), std::string::npos) << text;
}

// What leaves the steps of the process entry is shown in the task-modal
// "Application Error" box; an error that is not an Exception is shown as an
// Exception with an empty message.
struct EntryErrorRow {
  const char* name;
  void (*raise)();
  const char* shown_class;
  std::string shown_message;
};

void PrintTo(const EntryErrorRow& row, std::ostream* out) { *out << row.name; }

class ProcessEntryErrorTest : public ::testing::TestWithParam<EntryErrorRow> {};

TEST_P(ProcessEntryErrorTest, ShownInTheApplicationErrorBox) {
  const EntryErrorRow& row = GetParam();
  FakeWin32 fake;
  run_process_entry(row.raise);
  char address[16];
  std::snprintf(address, sizeof address, "%08X",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&WinMain)));
  const std::vector<RecordedDialog> dialogs = fake.dialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].caption, "Application Error");
  EXPECT_EQ(dialogs[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR | MB_TASKMODAL));
  EXPECT_EQ(dialogs[0].text, "Exception "s + row.shown_class + " in module " + exe_file_name() + " at " +
                                 address + ".\r\n" + row.shown_message);
  EXPECT_TRUE(fake.events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ProcessEntryErrorTest,
    ::testing::Values(
        EntryErrorRow{"OperatingSystemError", [] { throw EOSError(ERROR_ACCESS_DENIED); }, "EOSError",
                      os_error_message(ERROR_ACCESS_DENIED)},
        EntryErrorRow{"Exception", [] { throw Exception("no module"); }, "Exception", "no module"},
        EntryErrorRow{"TextError", [] { throw TextError("not shown"); }, "Exception", ""},
        EntryErrorRow{"StandardError", [] { throw std::runtime_error("not shown"); }, "Exception", ""}),
    [](const ::testing::TestParamInfo<EntryErrorRow>& row) { return std::string(row.param.name); });

TEST(ProcessEntryTest, StepsThatEndNormallyShowNothing) {
  FakeWin32 fake;
  bool ran = false;
  run_process_entry([&ran] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(fake.dialogs().empty());
}

// A user logging off the interactive desktop must not end the service
// process: the application window takes the end of the session and neither
// ends the message loop nor the process.
TEST(ApplicationWindowTest, EndOfTheSessionIsIgnored) {
  for (const WPARAM ending : {WPARAM{TRUE}, WPARAM{FALSE}}) {
    EXPECT_EQ(application_window_procedure(nullptr, WM_ENDSESSION, ending, ENDSESSION_LOGOFF), 0);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << ending;
  }
}

TEST(ApplicationTest, InitializeOnlyOnce) {
  TServiceApplication application({});
  EXPECT_FALSE(application.Initialized());
  EXPECT_FALSE(application.DelayInitialize());
  application.Initialize();
  application.Initialize();
  EXPECT_TRUE(application.Initialized());
}

TEST(ApplicationTest, ExitCleanUpDestroysFrameworkComponentsThenModules) {
  std::vector<std::string> log;
  destruction_log = &log;
  {
    TServiceApplication application({});
    TestModule* module = nullptr;
    FrameworkComponent* component = nullptr;
    application.CreateForm(&module);
    application.CreateForm(&component);
    EXPECT_EQ(application.ServiceCount(), 1);
    application.DestroyComponents();
    EXPECT_EQ(log, (Lines{"component", "module TestModule"}));
    EXPECT_EQ(application.ServiceCount(), 0);
  }
  destruction_log = nullptr;
}

}  // namespace
