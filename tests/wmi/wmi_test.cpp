// The WMI layer through real COM against the stand-in firmware provider,
// which the test prefix registers as the WBEM locator.
#include "wmi/wmi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "sim/wmi_firmware/firmware_state.h"
#include "tests/wmi/task_memory_spy.h"
#include "trace/trace_log.h"

namespace {

using wmisim::Fault;
using wmisim::FirmwareState;
using wmisim::Step;

const char kBios[] = "root/XV/InstrumentedBIOS";
const char kWmi[] = "root/WMI";
const char kSensorQuery[] = "SELECT CurrentState FROM XV_BIOSNumericSensor WHERE Name = 'Blade Dongle State'";
const char kSettingQuery[] =
    "select CurrentValue from XVBIOS_BIOSEnumeration where (Name = 'Remote Session Protocol')";
const char kEventQuery[] = "select Description from XVBIOS_BIOSEvent where Name = 'Blade Dongle State'";
const char kInterfaceClass[] = "XV_BIOSSettingInterface";
const char kMethod[] = "SetBIOSSetting";
const char kSetting[] = "Remote Session Protocol";
const DWORD kSubscribeTimeout = 20000;

FirmwareState& firmware() { return wmisim::firmware_state(); }

std::string read_sensor() { return WMI_read_property(kBios, kSensorQuery, "CurrentState"); }
std::string read_setting() { return WMI_read_property(kBios, kSettingQuery, "CurrentValue"); }
void write_setting(const std::string& value) {
  WMI_write_property(kBios, kInterfaceClass, kMethod, kSetting, value);
}
std::string wait_for_event() { return WMI_wait_for_notification(kWmi, kEventQuery, "Description"); }

// The message of the Exception the call raises; a TextError passes through.
std::string exception_message(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& error) {
    return error.message();
  }
  return "(nothing raised)";
}

// What the calling thread's COM state is, found by initialising it once
// more and undoing that.
enum class ComState { uninitialised, multithreaded, apartment };
ComState com_state() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (result == RPC_E_CHANGED_MODE) return ComState::apartment;
  CoUninitialize();
  return result == S_OK ? ComState::uninitialised : ComState::multithreaded;
}

void fail(Step step, HRESULT result = static_cast<HRESULT>(WBEM_E_FAILED), LONG skip = 0) {
  Fault fault;
  fault.result = result;
  fault.skip = skip;
  fault.times = -1;
  firmware().set_fault(step, fault);
}

void fail_null(Step step) {
  Fault fault;
  fault.null_result = true;
  fault.times = -1;
  firmware().set_fault(step, fault);
}

std::vector<std::string> log_lines_starting(const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : firmware().call_log()) {
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> releases() { return log_lines_starting("Release "); }

std::string ansi(const std::wstring& text) {
  BOOL lossy = FALSE;
  char buffer[64] = "";
  const int length =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), buffer,
                          sizeof buffer, nullptr, &lossy);
  return lossy ? std::string() : std::string(buffer, static_cast<std::size_t>(length));
}

// Runs a wait on a thread of its own and hands back its text or message.
std::future<std::string> start_wait() {
  return std::async(std::launch::async, [] {
    try {
      return wait_for_event();
    } catch (const Exception& error) {
      return "raised: " + error.message();
    }
  });
}

TaskMemorySpy& task_memory() { return TaskMemorySpy::installed(); }

class WmiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    firmware().reset();
    task_memory().mark();
  }
  void TearDown() override {
    EXPECT_EQ(0, firmware().live_objects(GetCurrentProcessId())) << "objects still held";
    EXPECT_EQ(0u, task_memory().held()) << "strings or other task memory still held";
    EXPECT_EQ(0, firmware().subscriptions());
    EXPECT_EQ(ComState::uninitialised, com_state());
    firmware().reset();
  }
};

TEST_F(WmiTest, ReadsTheSensorsValue) {
  firmware().set_sensors({wmisim::text_value(L"Present")});
  EXPECT_EQ("Present", read_sensor());
}

// The string checks above see nothing unless every string passes the spy.
TEST_F(WmiTest, AStringLeftUnfreedIsSeen) {
  BSTR text = SysAllocString(L"Present");
  EXPECT_EQ(1u, task_memory().held());
  SysFreeString(text);
  EXPECT_EQ(0u, task_memory().held());
}

TEST_F(WmiTest, ReadWithoutMatchingInstanceGivesEmptyText) {
  firmware().set_sensors({});
  EXPECT_EQ("", read_sensor());
  EXPECT_EQ("", WMI_read_property(kBios, "SELECT CurrentState FROM XV_BIOSNumericSensor WHERE Name = 'Other'",
                                  "CurrentState"));
}

TEST_F(WmiTest, ReadJoinsTheValuesOfAllInstancesInOrder) {
  firmware().set_sensors({wmisim::text_value(L"Present"), wmisim::text_value(L"Absent")});
  EXPECT_EQ("PresentAbsent", read_sensor());
}

TEST_F(WmiTest, NullValueReadsAsEmptyText) {
  firmware().set_sensors({wmisim::null_value(), wmisim::text_value(L"Absent")});
  EXPECT_EQ("Absent", read_sensor());
  firmware().set_setting(wmisim::null_value());
  EXPECT_EQ("", read_setting());
}

TEST_F(WmiTest, NumberValueReadsAsItsDecimalText) {
  firmware().set_sensors({wmisim::text_value(L"Present")});
  EXPECT_EQ("1",
            WMI_read_property(kBios, "SELECT CurrentReading FROM XV_BIOSNumericSensor", "CurrentReading"));
}

TEST_F(WmiTest, ReadOfAPropertyTheQueryDidNotSelectFails) {
  EXPECT_EQ("Error getting WMI property.",
            exception_message([] { WMI_read_property(kBios, kSensorQuery, "Name"); }));
}

TEST_F(WmiTest, UnknownNamespaceFailsToConnectAndLeavesNothingBehind) {
  EXPECT_EQ("Error connecting to WMI namespace.", exception_message([] {
              WMI_read_property("root/XV/NoSuchNamespace", kSensorQuery, "CurrentState");
            }));
  EXPECT_EQ(ComState::uninitialised, com_state());
  EXPECT_EQ(0, firmware().live_objects(GetCurrentProcessId()));
  EXPECT_EQ(std::vector<std::string>{"Release Locator"}, releases());
  EXPECT_TRUE(log_lines_starting("ExecQuery").empty());
}

TEST_F(WmiTest, MakesEveryCallOfAReadWithItsArguments) {
  firmware().set_sensors({wmisim::text_value(L"Present")});
  read_sensor();
  const std::vector<std::string> expected = {
      "CreateInstance CLSID_WbemLocator IID_IWbemLocator outer=null",
      "ConnectServer \"root/XV/InstrumentedBIOS\" user=null password=null locale=null flags=0 "
      "authority=null context=null",
      "SetBlanket proxy=given authn=10 authz=0 principal=null level=3 impersonation=3 "
      "identity=null capabilities=0",
      std::string("ExecQuery \"WQL\" \"") + kSensorQuery + "\" flags=48 context=null",
      "Next timeout=0xFFFFFFFF count=1",
      "Get \"CurrentState\" flags=0 value=given type=null flavor=null on XV_BIOSNumericSensor",
      "Release Object XV_BIOSNumericSensor instance",
      "Next timeout=0xFFFFFFFF count=1",
      "Release InstanceEnum",
      "Release Services root/XV/InstrumentedBIOS",
      "Release Locator"};
  EXPECT_EQ(expected, firmware().call_log());
}

TEST_F(WmiTest, WriteCallsTheMethodOnEveryInstanceWithNameAndValue) {
  firmware().set_interface_count(2);
  write_setting("RDP");
  EXPECT_EQ("RDP", read_setting());
  const std::string path =
      "\"\\\\XVBLADE\\root\\XV\\InstrumentedBIOS:XV_BIOSSettingInterface.InstanceName=\"XVBIOS_Interface_";
  // The definitions are fetched again for each instance.
  EXPECT_EQ(2u, log_lines_starting(
                    "GetObject \"XV_BIOSSettingInterface\" flags=0 context=null object=asked result=null")
                    .size());
  EXPECT_EQ(2u, log_lines_starting("GetMethod \"SetBIOSSetting\" flags=0 in=asked out=null").size());
  EXPECT_EQ(2u, log_lines_starting("SpawnInstance flags=0 on __PARAMETERS parameters definition").size());
  EXPECT_EQ(
      2u, log_lines_starting("Put \"Name\" flags=0 type=0 value=VT_BSTR:\"Remote Session Protocol\"").size());
  EXPECT_EQ(2u, log_lines_starting("Put \"Value\" flags=0 type=0 value=VT_BSTR:\"RDP\"").size());
  EXPECT_EQ(2u, log_lines_starting("Get \"__PATH\" flags=0").size());
  std::vector<std::string> method_calls;
  for (const std::string& line : log_lines_starting("ExecMethod ")) {
    method_calls.push_back(line);
  }
  ASSERT_EQ(2u, method_calls.size());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ("ExecMethod " + path + std::to_string(i) +
                  "\"\" \"SetBIOSSetting\" flags=0 context=null "
                  "in={Name=\"Remote Session Protocol\" Value=\"RDP\"} out=asked result=null",
              method_calls[i]);
  }
}

// What a write releases after the in-parameter instance, in order.
const std::vector<std::string> kWriteReleasesFromInParameters = {
    "Release Object __PARAMETERS parameters",
    "Release Object __PARAMETERS parameters definition",
    "Release Object XV_BIOSSettingInterface class",
    "Release Object XV_BIOSSettingInterface instance",
    "Release InstanceEnum",
    "Release Services root/XV/InstrumentedBIOS",
    "Release Locator"};

TEST_F(WmiTest, WriteReleasesEachInstancesObjectsNewestFirst) {
  write_setting("TLV");
  std::vector<std::string> expected = {"Release Object __PARAMETERS out parameters"};
  expected.insert(expected.end(), kWriteReleasesFromInParameters.begin(),
                  kWriteReleasesFromInParameters.end());
  EXPECT_EQ(expected, releases());
}

TEST_F(WmiTest, WriteToAClassWithoutInstancesCallsNothing) {
  firmware().set_interface_count(0);
  write_setting("RDP");
  EXPECT_TRUE(log_lines_starting("GetObject").empty());
  EXPECT_TRUE(log_lines_starting("ExecMethod").empty());
  EXPECT_EQ("TLV", read_setting());
}

TEST_F(WmiTest, MethodRefusalInReturnRaisesNothing) {
  firmware().set_return_value(5);
  write_setting("RDP");
  EXPECT_EQ(1u, log_lines_starting("ExecMethod").size());
  EXPECT_EQ("TLV", read_setting());  // the firmware refused it
}

TEST_F(WmiTest, WrittenSettingReadsBackOnceTheFirmwareAppliesIt) {
  firmware().set_apply_delay(2);
  write_setting("RDP");
  EXPECT_EQ("TLV", read_setting());
  EXPECT_EQ("TLV", read_setting());
  EXPECT_EQ("RDP", read_setting());
  firmware().set_apply_delay(wmisim::kNever);
  write_setting("TLV");
  for (int i = 0; i < 3; ++i) EXPECT_EQ("RDP", read_setting());
}

TEST_F(WmiTest, FailingPutOfValueMidWriteLeavesNothingHeld) {
  firmware().set_interface_count(2);
  fail(Step::put_value, static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH), 1);
  EXPECT_EQ("Error setting value properties for WMI method.",
            exception_message([] { write_setting("RDP"); }));
  // The first instance's call stands; the second was never made.
  EXPECT_EQ(1u, log_lines_starting("ExecMethod").size());
  EXPECT_EQ(L"RDP", firmware().setting().text);
  std::vector<std::string> tail = releases();
  tail.erase(tail.begin(), tail.begin() + 5);  // the first instance's objects
  // No out-parameters: the method was not called for the second instance.
  EXPECT_EQ(kWriteReleasesFromInParameters, tail);
}

TEST_F(WmiTest, ValueOutsideAsciiSurvivesTheRoundTrip) {
  const std::string value = ansi(L"Pr\u00e9sent \u00a7");
  if (value.empty()) GTEST_SKIP() << "the ANSI code page has no e acute";
  write_setting(value);
  EXPECT_EQ(L"Pr\u00e9sent \u00a7", firmware().setting().text);  // UTF-16 at the boundary
  EXPECT_EQ(value, read_setting());
  firmware().set_sensors({wmisim::text_value(L"\u00c9tat")});
  EXPECT_EQ(ansi(L"\u00c9tat"), read_sensor());
}

TEST_F(WmiTest, RepeatedCallsOnOneThreadEachBalanceCom) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ("Absent", read_sensor());
    write_setting(i % 2 == 0 ? "RDP" : "TLV");
    EXPECT_EQ(i % 2 == 0 ? "RDP" : "TLV", read_setting());
    EXPECT_EQ(ComState::uninitialised, com_state());
  }
  EXPECT_EQ(9u, log_lines_starting("CreateInstance").size());
}

TEST_F(WmiTest, ThreadAlreadyInTheMultithreadedApartmentStaysIn) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ("Absent", read_sensor());
  EXPECT_EQ("Absent", read_sensor());
  EXPECT_EQ(ComState::multithreaded, com_state());
  CoUninitialize();
}

TEST_F(WmiTest, ThreadInASingleThreadedApartmentCannotInitialiseCom) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ("Error initializing COM interface.", exception_message([] { read_sensor(); }));
  EXPECT_EQ("Error initializing COM interface.", exception_message([] { write_setting("RDP"); }));
  // Nothing was uninitialised on the layer's behalf: the apartment is still ours.
  EXPECT_EQ(ComState::apartment, com_state());
  CoUninitialize();
  EXPECT_TRUE(firmware().call_log().empty());
}

TEST_F(WmiTest, NullObjectIsATextErrorNotAnException) {
  EXPECT_THROW(get_string_value(nullptr, "CurrentState"), TextError);
  try {
    get_string_value(nullptr, "CurrentState");
  } catch (const TextError& error) {
    EXPECT_EQ("Null property.", error.text());
  }
}

TEST_F(WmiTest, ReleaseOfAnEmptyConnectionDoesNothing) {
  WmiConnection connection;
  release_WMI_connection(&connection);
  EXPECT_EQ(ComState::uninitialised, com_state());
}

TEST_F(WmiTest, TraceShowsEntryAndExitLinesAndNoExitAfterAnError) {
  char folder[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, folder);
  const std::string probe = std::string(folder) + "wmi_trace_probe.exe";
  close_trace_log();
  open_trace_log(probe);
  std::vector<std::string> options = {"-t"};
  parse_trace_options(&options);
  read_sensor();
  exception_message([] { WMI_read_property("root/none", kSensorQuery, "CurrentState"); });
  close_trace_log();

  std::ifstream file(trace_log_file_name(probe));
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  const std::vector<std::string> expected = {
      ">> WMI_read_property", ">> setup_WMI_connection", "<< setup_WMI_connection", ">> get_string_value",
      "<< get_string_value", ">> release_WMI_connection", "<< release_WMI_connection", "<< WMI_read_property",
      // The failed read: no exit lines for the setup or the read.
      ">> WMI_read_property", ">> setup_WMI_connection", ">> release_WMI_connection",
      "<< release_WMI_connection"};
  EXPECT_EQ(expected, lines);
}

// Every failure the layer reports, provoked in the stand-in.
enum class Operation { read, wait, write };
struct FailureCase {
  const char* name;
  Operation operation;
  Step step;
  bool null_result;
  HRESULT result;
  const char* message;  // nullptr: no error, the read ends empty
};

// Names the case in test listings.
void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.name; }

class WmiFailureTest : public WmiTest, public ::testing::WithParamInterface<FailureCase> {};

const HRESULT kFailed = static_cast<HRESULT>(WBEM_E_FAILED);

const FailureCase kFailures[] = {
    {"CreateFails", Operation::read, Step::create, false, REGDB_E_CLASSNOTREG,
     "Error creating the COM instance."},
    {"CreateGivesNoLocator", Operation::write, Step::create, true, S_OK, "Error creating the COM instance."},
    {"ConnectFails", Operation::wait, Step::connect, false, static_cast<HRESULT>(WBEM_E_ACCESS_DENIED),
     "Error connecting to WMI namespace."},
    {"ConnectGivesNoServices", Operation::read, Step::connect, true, S_OK,
     "Error connecting to WMI namespace."},
    {"ProxyBlanketFails", Operation::read, Step::blanket, false, E_ACCESSDENIED,
     "Error setting COM proxy security."},
    {"QueryFails", Operation::read, Step::query, false, static_cast<HRESULT>(WBEM_E_INVALID_QUERY),
     "Error querying WMI."},
    {"QueryGivesNoEnumerator", Operation::write, Step::query, true, S_OK, "Error querying WMI."},
    {"NotificationQueryFails", Operation::wait, Step::notification_query, false, kFailed,
     "Error querying WMI."},
    {"NotificationQueryGivesNoEnumerator", Operation::wait, Step::notification_query, true, S_OK,
     "Error querying WMI."},
    {"NextFailsInRead", Operation::read, Step::next, false, kFailed, "Error in WMI property list."},
    {"NextFailsInWrite", Operation::write, Step::next, false, kFailed, "Error in WMI property list."},
    {"NextFailsInWait", Operation::wait, Step::next, false, kFailed, "Error in WMI property list."},
    {"NextGivesNoEventInWait", Operation::wait, Step::next, false, WBEM_S_FALSE,
     "Error in WMI property list."},
    {"NextGivesNullEventInWait", Operation::wait, Step::next, true, S_OK, "Error in WMI property list."},
    {"NextGivesNoObjectInRead", Operation::read, Step::next, false, WBEM_S_FALSE, nullptr},
    {"NextGivesNullObjectInRead", Operation::read, Step::next, true, S_OK, nullptr},
    {"NextGivesNullObjectInWrite", Operation::write, Step::next, true, S_OK, nullptr},
    {"GetFailsInRead", Operation::read, Step::get, false, kFailed, "Error getting WMI property."},
    {"GetOfPathFailsInWrite", Operation::write, Step::get, false, static_cast<HRESULT>(WBEM_E_NOT_FOUND),
     "Error getting WMI property."},
    {"GetObjectFails", Operation::write, Step::get_object, false, static_cast<HRESULT>(WBEM_E_NOT_FOUND),
     "Error getting WMI object."},
    {"GetObjectGivesNoObject", Operation::write, Step::get_object, true, S_OK, "Error getting WMI object."},
    {"GetMethodFails", Operation::write, Step::get_method, false, static_cast<HRESULT>(WBEM_E_NOT_FOUND),
     "Error getting definitions of input parameter for WMI method."},
    {"GetMethodGivesNoDefinition", Operation::write, Step::get_method, true, S_OK,
     "Error getting definitions of input parameter for WMI method."},
    {"SpawnInstanceFails", Operation::write, Step::spawn_instance, false, kFailed,
     "Error creating an instance of the input parameters for WMI method."},
    {"SpawnInstanceGivesNoInstance", Operation::write, Step::spawn_instance, true, S_OK,
     "Error creating an instance of the input parameters for WMI method."},
    {"PutOfNameFails", Operation::write, Step::put_name, false, static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH),
     "Error setting name property for WMI method."},
    {"PutOfValueFails", Operation::write, Step::put_value, false, static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH),
     "Error setting value properties for WMI method."},
    {"ExecMethodFails", Operation::write, Step::exec_method, false,
     static_cast<HRESULT>(WBEM_E_INVALID_METHOD), "Error calling WMI method to set property."},
    {"ExecMethodGivesNoOutParameters", Operation::write, Step::exec_method, true, S_OK,
     "Error calling WMI method to set property."},
};

TEST_P(WmiFailureTest, RaisesItsMessageAndReleasesEverything) {
  const FailureCase& failure = GetParam();
  firmware().set_sensors({wmisim::text_value(L"Present")});
  if (failure.null_result) {
    fail_null(failure.step);
  } else {
    fail(failure.step, failure.result);
  }
  std::function<void()> call;
  switch (failure.operation) {
    case Operation::read:
      call = [] { EXPECT_EQ("", read_sensor()); };
      break;
    case Operation::wait:
      call = [] { wait_for_event(); };
      break;
    case Operation::write:
      call = [] { write_setting("RDP"); };
      break;
  }
  EXPECT_EQ(failure.message != nullptr ? failure.message : "(nothing raised)", exception_message(call));
  EXPECT_EQ(ComState::uninitialised, com_state());
  EXPECT_EQ(0, firmware().live_objects(GetCurrentProcessId()));
  EXPECT_TRUE(log_lines_starting("ExecMethod").empty() || failure.step == Step::exec_method);
}

INSTANTIATE_TEST_SUITE_P(Steps, WmiFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& test) {
                           return std::string(test.param.name);
                         });

TEST_F(WmiTest, WaitReturnsTheDescriptionOfAnEventRaisedByAnotherThread) {
  // Raised while nobody waits: lost.
  EXPECT_EQ(0, firmware().raise_event(wmisim::text_value(L"Early")));
  std::future<std::string> waiter = start_wait();
  ASSERT_TRUE(firmware().wait_for_subscription(kSubscribeTimeout));
  EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::seconds(0)));
  EXPECT_EQ(1, firmware().raise_event(wmisim::text_value(L"Present")));
  EXPECT_EQ("Present", waiter.get());
  // The event and its enumerator go before the connection they came from.
  EXPECT_EQ(releases(),
            (std::vector<std::string>{"Release Object XVBIOS_BIOSEvent event", "Release EventEnum",
                                      "Release Services root/WMI", "Release Locator"}));
  EXPECT_EQ(1u, log_lines_starting("ExecNotificationQuery \"WQL\" \"" + std::string(kEventQuery) +
                                   "\" flags=48 context=null")
                    .size());
  EXPECT_EQ(1u, log_lines_starting("Next timeout=0xFFFFFFFF count=1 (events)").size());
}

TEST_F(WmiTest, WaitReturnsTheDescriptionOfAnEventRaisedByAnotherProcess) {
  std::future<std::string> waiter = start_wait();
  ASSERT_TRUE(firmware().wait_for_subscription(kSubscribeTimeout));
  std::string command = std::string("\"") + WMISIM_EXE + "\" raise Absent";
  std::replace(command.begin(), command.end(), '/', '\\');
  command = "\"Z:" + command.substr(1);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      << command;
  ScopedHandle process_handle(process.hProcess);
  ScopedHandle thread_handle(process.hThread);
  WaitForSingleObject(process_handle.get(), INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(process_handle.get(), &exit_code);
  EXPECT_EQ(0u, exit_code);
  EXPECT_EQ("Absent", waiter.get());
}

TEST_F(WmiTest, WaitReturnsAnyTextTheFirmwareSends) {
  std::future<std::string> waiter = start_wait();
  ASSERT_TRUE(firmware().wait_for_subscription(kSubscribeTimeout));
  firmware().raise_event(wmisim::null_value());
  EXPECT_EQ("", waiter.get());
}

TEST_F(WmiTest, ReadsOnOneThreadWhileAnotherWaits) {
  std::future<std::string> waiter = start_wait();
  ASSERT_TRUE(firmware().wait_for_subscription(kSubscribeTimeout));
  firmware().set_sensors({wmisim::text_value(L"Present")});
  EXPECT_EQ("Present", read_sensor());
  write_setting("RDP");
  EXPECT_EQ("RDP", read_setting());
  EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::seconds(0)));
  firmware().raise_event(wmisim::text_value(L"Present"));
  EXPECT_EQ("Present", waiter.get());
}

TEST_F(WmiTest, EachWaitIsASubscriptionOfItsOwn) {
  for (const wchar_t* text : {L"Present", L"Absent"}) {
    std::future<std::string> waiter = start_wait();
    ASSERT_TRUE(firmware().wait_for_subscription(kSubscribeTimeout));
    firmware().raise_event(wmisim::text_value(text));
    EXPECT_EQ(wmisim::to_utf8(text), waiter.get());
    EXPECT_EQ(0, firmware().subscriptions());
  }
}

}  // namespace
