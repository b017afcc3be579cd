// The kernel's registry: opening keys and every outcome of a
// KeyValuePartialInformation query.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr ULONG kHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

class RegistryTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;

    NTSTATUS Open(const char16_t* path, HANDLE* key, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, 0, root, nullptr);
        return ZwOpenKey(key, KEY_READ, &attributes);
    }

    NTSTATUS Query(HANDLE key, const char16_t* value, void* buffer, ULONG length, ULONG* needed) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value);
        return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, needed);
    }

    HANDLE OpenService() {
        HANDLE key = nullptr;
        EXPECT_EQ(Open(wrk::kDefaultServiceKey, &key), STATUS_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, OpensAnExistingKeyWhateverTheCase) {
    wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\registry\\machine\\SYSTEM\\currentcontrolset\\services\\WRENLOK", &key), STATUS_SUCCESS);
    EXPECT_NE(key, nullptr);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, MissingKeyIsNameNotFound) {
    HANDLE key = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Open(wrk::kDefaultServiceKey, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, reinterpret_cast<HANDLE>(0x1234));
    size_t before = wrk::OpenHandleCount();
    wrk::RegistryCreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM");
    EXPECT_EQ(Open(wrk::kDefaultServiceKey, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(wrk::OpenHandleCount(), before);
}

TEST_F(RegistryTest, MalformedPathsAreInvalidNames) {
    HANDLE key = nullptr;
    EXPECT_EQ(Open(u"REGISTRY\\MACHINE", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"\\REGISTRY\\\\MACHINE", &key), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, OpensRelativeToARootKey) {
    wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
    HANDLE services = nullptr;
    ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", &services), STATUS_SUCCESS);
    HANDLE key = nullptr;
    EXPECT_EQ(Open(u"Wrenlok", &key, services), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"Missing", &key, services), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    ZwClose(services);
}

TEST_F(RegistryTest, SizeQueryWithNoBufferIsBufferTooSmallWithTheNeededLength) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    HANDLE key = OpenService();
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"DebugLevel", nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, kHeader + 4);
    ZwClose(key);
}

TEST_F(RegistryTest, HeaderWithoutAllDataIsBufferOverflowWithTheHeaderFilled) {
    wrk::RegistrySetValue(wrk::kDefaultServiceKey, u"Blob", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    HANDLE key = OpenService();
    alignas(8) unsigned char buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"Blob", buffer, kHeader + 4, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, kHeader + 8);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(buffer[kHeader], 0xEE);  // no data copied
    // One byte short of the header is still "too small".
    EXPECT_EQ(Query(key, u"Blob", buffer, kHeader - 1, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, kHeader + 8);
    ZwClose(key);
}

TEST_F(RegistryTest, FullBufferReceivesTypeLengthAndData) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 0x12345678);
    HANDLE key = OpenService();
    alignas(8) unsigned char buffer[64] = {};
    ULONG needed = 0;
    ASSERT_EQ(Query(key, u"debuglevel", buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, kHeader + 4);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->TitleIndex, 0u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    ULONG value = 0;
    std::memcpy(&value, info->Data, 4);
    EXPECT_EQ(value, 0x12345678u);
    ZwClose(key);
}

TEST_F(RegistryTest, MissingValueIsNameNotFound) {
    wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
    HANDLE key = OpenService();
    ULONG needed = 0xDEAD;
    EXPECT_EQ(Query(key, u"DebugLevel", nullptr, 0, &needed), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(RegistryTest, EmptyValueNeedsOnlyTheHeader) {
    wrk::RegistrySetValue(wrk::kDefaultServiceKey, u"Empty", REG_BINARY, {});
    HANDLE key = OpenService();
    alignas(8) unsigned char buffer[kHeader];
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"Empty", buffer, kHeader, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, kHeader);
    ZwClose(key);
}

TEST_F(RegistryTest, ClosedOrUnknownHandlesAreRefused) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    HANDLE key = OpenService();
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"DebugLevel", nullptr, 0, &needed), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Query(reinterpret_cast<HANDLE>(0x4), u"DebugLevel", nullptr, 0, &needed), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, HostSideReadsWhatWasWrittenAndResetEmptiesTheTree) {
    wrk::RegistrySetValue(wrk::kDefaultServiceKey, u"Name", REG_SZ, {'a', 0, 0, 0});
    auto value = wrk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\WRENLOK", u"NAME");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data.size(), 4u);
    wrk::RegistryReset();
    EXPECT_FALSE(wrk::RegistryGetValue(wrk::kDefaultServiceKey, u"Name").has_value());
    HANDLE key = nullptr;
    EXPECT_EQ(Open(wrk::kDefaultServiceKey, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\REGISTRY", &key), STATUS_SUCCESS);
    ZwClose(key);
}

}  // namespace
