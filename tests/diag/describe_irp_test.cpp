// What %I prints for hand-built IRPs: the major name, and for power, WMI and
// PnP requests the minor name with its parameters.
#include <gtest/gtest.h>

#include "format_helpers.h"

namespace {

// An IRP whose current stack location is the one the test fills in.
struct HandBuiltIrp {
    IRP irp{};
    IO_STACK_LOCATION stack{};

    HandBuiltIrp(UCHAR major, UCHAR minor) {
        stack.MajorFunction = major;
        stack.MinorFunction = minor;
        irp.StackCount = 1;
        irp.CurrentLocation = 1;
        irp.Tail.Overlay.CurrentStackLocation = &stack;
    }
    std::string Describe() { return FORMAT("%I", &irp); }
};

// Stores a 32-bit value into an enumeration field, in or out of its range.
template <typename Field>
void StoreRaw(Field& field, ULONG value) {
    static_assert(sizeof(Field) == sizeof(ULONG));
    memcpy(&field, &value, sizeof value);
}

HandBuiltIrp Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    HandBuiltIrp built(IRP_MJ_POWER, minor);
    built.stack.Parameters.Power.Type = type;
    StoreRaw(built.stack.Parameters.Power.State, state);
    return built;
}

TEST(DescribeIrp, PowerRequestsNameActionAndState) {
    EXPECT_EQ(Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).Describe(),
              "IRP_MJ_POWER:IRP_MN_SET_POWER Set Power PowerDeviceD3");
    EXPECT_EQ(Power(IRP_MN_QUERY_POWER, SystemPowerState, 5).Describe(),
              "IRP_MJ_POWER:IRP_MN_QUERY_POWER Query Power PowerSystemHibernate");
    EXPECT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking).Describe(),
              "IRP_MJ_POWER:IRP_MN_SET_POWER Set Power PowerSystemWorking");
    EXPECT_EQ(Power(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceUnspecified).Describe(),
              "IRP_MJ_POWER:IRP_MN_QUERY_POWER Query Power PowerDeviceUnspecified");
}

TEST(DescribeIrp, PowerStateOutOfRangeHasNoName) {
    EXPECT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, 9).Describe(), "IRP_MJ_POWER:IRP_MN_SET_POWER Set Power");
    EXPECT_EQ(Power(IRP_MN_SET_POWER, SystemPowerState, 7).Describe(), "IRP_MJ_POWER:IRP_MN_SET_POWER Set Power");
    // Device states stop at D3: the system table's longer range does not apply.
    EXPECT_EQ(Power(IRP_MN_QUERY_POWER, DevicePowerState, 5).Describe(),
              "IRP_MJ_POWER:IRP_MN_QUERY_POWER Query Power");
}

TEST(DescribeIrp, OtherPowerMinors) {
    EXPECT_EQ(Power(IRP_MN_WAIT_WAKE, SystemPowerState, 1).Describe(), "IRP_MJ_POWER:IRP_MN_WAIT_WAKE");
    EXPECT_EQ(Power(IRP_MN_POWER_SEQUENCE, SystemPowerState, 1).Describe(), "IRP_MJ_POWER:IRP_MN_POWER_SEQUENCE");
    EXPECT_EQ(Power(7, SystemPowerState, 1).Describe(), "IRP_MJ_POWER");
}

TEST(DescribeIrp, PnpRelationsQueryNamesTheRelation) {
    HandBuiltIrp removal(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    removal.stack.Parameters.QueryDeviceRelations.Type = RemovalRelations;
    EXPECT_EQ(removal.Describe(), "IRP_MJ_PNP:IRP_MN_QUERY_DEVICE_RELATIONS RemovalRelations");

    HandBuiltIrp target(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    target.stack.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    EXPECT_EQ(target.Describe(), "IRP_MJ_PNP:IRP_MN_QUERY_DEVICE_RELATIONS TargetDeviceRelation");

    HandBuiltIrp unknown(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    StoreRaw(unknown.stack.Parameters.QueryDeviceRelations.Type, 9);
    EXPECT_EQ(unknown.Describe(), "IRP_MJ_PNP:IRP_MN_QUERY_DEVICE_RELATIONS");
}

TEST(DescribeIrp, PnpMinorsByTable) {
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_PNP, IRP_MN_START_DEVICE).Describe(), "IRP_MJ_PNP:IRP_MN_START_DEVICE");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_PNP, 0x0E).Describe(), "IRP_MJ_PNP:Nowt");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_PNP, 0x18).Describe(), "IRP_MJ_PNP:IRP_MN_QUERY_LEGACY_BUS_INFORMATION");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_PNP, 0x20).Describe(), "IRP_MJ_PNP:00000020");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_PNP, 0xFF).Describe(), "IRP_MJ_PNP:000000FF");
}

TEST(DescribeIrp, WmiMinors) {
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_SYSTEM_CONTROL, IRP_MN_EXECUTE_METHOD).Describe(),
              "IRP_MJ_SYSTEM_CONTROL:IRP_MN_EXECUTE_METHOD");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_SYSTEM_CONTROL, 0x0B).Describe(), "IRP_MJ_SYSTEM_CONTROL");
}

TEST(DescribeIrp, OtherMajorsNameOnly) {
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_READ, 5).Describe(), "IRP_MJ_READ");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_CREATE, 0).Describe(), "IRP_MJ_CREATE");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_CLEANUP, 0).Describe(), "IRP_MJ_CLEANUP");
    EXPECT_EQ(HandBuiltIrp(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0).Describe(), "IRP_MJ_INTERNAL_DEVICE_CONTROL");
}

TEST(DescribeIrp, UnknownMajorPrintsNothing) {
    HandBuiltIrp beyond(0x1C, 0);
    EXPECT_EQ(FORMAT("[%I]", &beyond.irp), "[]");
    HandBuiltIrp highest(0xFF, 0);
    EXPECT_EQ(FORMAT("[%I]", &highest.irp), "[]");
}

TEST(DescribeIrp, ReadsWithoutChangingTheStackLocation) {
    HandBuiltIrp built = Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    IO_STACK_LOCATION before = built.stack;
    built.Describe();
    EXPECT_EQ(memcmp(&before, &built.stack, sizeof before), 0);
    EXPECT_EQ(built.irp.Tail.Overlay.CurrentStackLocation, &built.stack);
}

TEST(DescribeIrp, FullBufferStopsTheDescriptionAndTheFormat) {
    HandBuiltIrp built = Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(FormatWithCapacity(16, "%I%d", &built.irp, 5), "IRP_MJ_POWER:IR");
    std::string pad(1000, '.');
    EXPECT_EQ(FORMAT("%s%I", pad.c_str(), &built.irp),
              pad + std::string("IRP_MJ_POWER:IRP_MN_SET_POWER Set Power PowerDeviceD3").substr(0, 23));
}

}  // namespace
