// Power policy on the loaded driver image: system requests turned into the
// driver's own device requests, threads stopped before power-down and
// restarted after power-up, whatever IRQL the bus completes power requests at.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <future>

namespace lifecycle_test {
namespace {

void ExpectClean(DriverHarness& harness) {
    const std::vector<std::string> leaks = harness.RemoveAndUnload();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
}

std::vector<usbsim::PowerRequest> RequestsSince(DriverHarness& harness, size_t before) {
    std::vector<usbsim::PowerRequest> all = harness.bus.PowerRequests(harness.pdo);
    return {all.begin() + std::ptrdiff_t(before), all.end()};
}

void NTAPI SignalOutcome(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    static_cast<std::promise<NTSTATUS>*>(context)->set_value(status->Status);
}

// A device power request of the kind the driver never sends itself.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
    std::promise<NTSTATUS> outcome;
    POWER_STATE power;
    power.DeviceState = state;
    const NTSTATUS sent = PoRequestPowerIrp(pdo, minor, power, SignalOutcome, &outcome, nullptr);
    if (!NT_SUCCESS(sent)) return sent;
    return outcome.get_future().get();
}

class SleepAndWakeTest : public ::testing::TestWithParam<bool> {
protected:
    SleepAndWakeTest() : harness(usbsim::BusOptions{.completePowerAtDispatch = GetParam()}) {}
    DriverHarness harness;
};

TEST_P(SleepAndWakeTest, SleepWithAHandleOpenStopsTheThreadsAndWakeRestartsThem) {
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    ASSERT_TRUE(ExchangeTraffic(harness, *file));
    ASSERT_EQ(wrk::LiveThreadCount(), 2u);

    size_t before = harness.bus.PowerRequests(harness.pdo).size();
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(wrk::RecordedDevicePowerState(harness.Fdo()), PowerDeviceD3);
    std::vector<usbsim::PowerRequest> sleep = RequestsSince(harness, before);
    ASSERT_EQ(sleep.size(), 3u) << "the system query, one device request, then the system request";
    EXPECT_EQ(sleep[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sleep[0].type, SystemPowerState);
    EXPECT_EQ(sleep[1].type, DevicePowerState);
    EXPECT_EQ(sleep[1].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(sleep[2].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(sleep[2].type, SystemPowerState);
    EXPECT_EQ(sleep[2].state.SystemState, PowerSystemSleeping3);

    before = harness.bus.PowerRequests(harness.pdo).size();
    const size_t created = wrk::ThreadCreations().size();
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u) << "restarted before the system request completed";
    const std::vector<wrk::ThreadCreation> restarted = wrk::ThreadCreations();
    ASSERT_EQ(restarted.size(), created + 2);
    EXPECT_TRUE(restarted[created].fromSystemProcess && restarted[created + 1].fromSystemProcess);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(wrk::RecordedDevicePowerState(harness.Fdo()), PowerDeviceD0);
    std::vector<usbsim::PowerRequest> wake = RequestsSince(harness, before);
    ASSERT_EQ(wake.size(), 2u) << "the system request first, then the driver's D0";
    EXPECT_EQ(wake[0].type, SystemPowerState);
    EXPECT_EQ(wake[1].type, DevicePowerState);
    EXPECT_EQ(wake[1].state.DeviceState, PowerDeviceD0);
    EXPECT_TRUE(wrk::WaitForWorkItems());
    EXPECT_EQ(wrk::LiveWorkItemCount(), 0u);
    EXPECT_EQ(wrk::DebugCount("SetPowerState IRQL"), 0u);

    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    ExpectClean(harness);
}

TEST_P(SleepAndWakeTest, WakeWithNoHandleOpenStartsNoThread) {
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(wrk::DebugCount("TranspStopThread"), 0u);
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(wrk::LiveWorkItemCount(), 0u);
    ExpectClean(harness);
}

INSTANTIATE_TEST_SUITE_P(PowerCompletion, SleepAndWakeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "AtDispatchLevel" : "AtPassiveLevel";
                         });

class PowerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS); }
    void TearDown() override { ExpectClean(harness); }
    DriverHarness harness;
};

TEST_F(PowerTest, WorkingWhileInD0GoesStraightDown) {
    const size_t before = harness.bus.PowerRequests(harness.pdo).size();
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = RequestsSince(harness, before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, SystemPowerState);
    EXPECT_EQ(wrk::DebugCount("DevicePowerState to"), 0u);
}

TEST_F(PowerTest, HibernateWhileInD3GoesStraightDown) {
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    const size_t before = harness.bus.PowerRequests(harness.pdo).size();
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemHibernate), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = RequestsSince(harness, before);
    ASSERT_EQ(sent.size(), 2u) << "the system query, then the system request";
    EXPECT_EQ(sent[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sent[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(sent[1].state.SystemState, PowerSystemHibernate);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD3);
}

TEST_F(PowerTest, DeviceD2IsHonouredLikeAnyLowerState) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    ASSERT_EQ(wrk::LiveThreadCount(), 2u);
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD2);
    EXPECT_EQ(wrk::RecordedDevicePowerState(harness.Fdo()), PowerDeviceD2);

    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);
    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
}

TEST_F(PowerTest, DeviceD3WithNoHandleOpenRecordsD3WithoutStoppingThreads) {
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(wrk::DebugCount("Decrease device power to 4\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("TranspStopThread"), 0u);
}

TEST_F(PowerTest, QueryPowerIsPassedDown) {
    const size_t before = harness.bus.PowerRequests(harness.pdo).size();
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = RequestsSince(harness, before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(wrk::DebugCount("DefaultPowerHandler\n"), 1u);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD0);
}

TEST_F(PowerTest, PowerRequestsDuringAPendingQueryStopArePassedDownUntouched) {
    ASSERT_EQ(wrk::PnpQueryStop(harness.pdo), STATUS_SUCCESS);
    const size_t before = harness.bus.PowerRequests(harness.pdo).size();
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = RequestsSince(harness, before);
    // The system queries sleep before it sets it; the driver acts on neither.
    ASSERT_EQ(sent.size(), 3u) << "no device request of the driver's own";
    EXPECT_EQ(sent[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sent[1].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sent[1].type, SystemPowerState);
    EXPECT_EQ(sent[2].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(sent[2].type, SystemPowerState);
    EXPECT_EQ(sent[2].state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD0) << "not acted on";
    ASSERT_EQ(wrk::PnpCancelStop(harness.pdo), STATUS_SUCCESS);
}

TEST(PowerBeforeStartTest, PowerRequestBeforeTheStartIsPassedDownWithoutBeingActedOn) {
    DriverHarness harness;
    ASSERT_EQ(harness.Add(), STATUS_SUCCESS);
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = harness.bus.PowerRequests(harness.pdo);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(wrk::DebugCount("SetPowerState"), 0u);
    ExpectClean(harness);
}

// The demo's end: a host stack keeps its handle on a radio that was pulled out.
// Standby and hibernation must still go through.
TEST(PowerAfterSurpriseRemovalTest, SleepIsNeitherVetoedNorFailedWhileAHandleStaysOpen) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    ASSERT_EQ(wrk::PnpSurpriseRemoval(harness.pdo), STATUS_SUCCESS);
    ASSERT_NE(harness.Fdo(), nullptr);

    const size_t before = harness.bus.PowerRequests(harness.pdo).size();
    EXPECT_EQ(RequestDevicePower(harness.pdo, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
    std::vector<usbsim::PowerRequest> sent = RequestsSince(harness, before);
    ASSERT_EQ(sent.size(), 4u) << "each passed down once, no device request of the driver's own";
    EXPECT_EQ(sent[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sent[1].minor, IRP_MN_QUERY_POWER) << "hibernation is queried first, and not vetoed";
    EXPECT_EQ(sent[1].state.SystemState, PowerSystemHibernate);
    EXPECT_EQ(sent[2].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(sent[2].state.SystemState, PowerSystemHibernate);
    EXPECT_EQ(sent[3].state.SystemState, PowerSystemWorking);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);

    file->Close();  // the remove request follows the last close
    EXPECT_EQ(harness.Fdo(), nullptr);
    ExpectClean(harness);
}

TEST(PowerUpFailureTest, ThreadsThatCannotRestartLeaveThePowerUpSucceeded) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping1), STATUS_SUCCESS);

    wrk::FailNextThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(harness.Extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(wrk::DebugCount("OnCompleteIncreaseDevicePower: cannot start thread.\n"), 1u);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    file->Close();
    ExpectClean(harness);
}

}  // namespace
}  // namespace lifecycle_test
