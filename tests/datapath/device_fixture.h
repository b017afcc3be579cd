// A started radio device behind the loaded driver image, opened as the host stack
// opens it: the whole data path from user requests down to the simulated bus.
#pragma once

#include <gtest/gtest.h>

#include <host/bus.h>
#include <host/io.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "wrenlok.h"

namespace datapath_test {

using usbsim::ScriptedRadio;

inline constexpr char16_t kDeviceName[] = u"\\DosDevices\\Wrenlok0";
inline constexpr ULONG kIrpTag = 0x20707249;  // "Irp "

struct ReadResult {
    NTSTATUS status;
    std::vector<uint8_t> bytes;
};

class DeviceFixture : public ::testing::Test {
protected:
    explicit DeviceFixture(double timeScale = 0.01) : kernel_(timeScale) {
        // Events come in interrupt packets of 16 bytes, whatever a transfer asks for.
        radio_.SetInChunk(ScriptedRadio::kEventEndpoint, 16);
    }

    void SetUp() override {
        image_ = wrk::DriverImage::Load(WRENLOK_IMAGE);
        ASSERT_EQ(image_->EntryStatus(), STATUS_SUCCESS);
        pdo_ = bus_.Plug(radio_);
        ASSERT_EQ(wrk::PnpAddDevice(image_->Object(), pdo_), STATUS_SUCCESS);
        ASSERT_EQ(wrk::PnpStart(pdo_), STATUS_SUCCESS);
        extension_ = static_cast<PDEVICE_EXTENSION>(wrk::TopOfStack(pdo_)->DeviceExtension);
        wrk::ClearDebugMessages();
    }

    void TearDown() override {
        wrk::ClearThreadFaults();
        wrk::PoolClearFaults();
        files_.clear();
        if (image_ == nullptr)
            return;
        if (pdo_ != nullptr)
            EXPECT_EQ(wrk::PnpRequestRemoval(pdo_), STATUS_SUCCESS);
        // A request whose waiter has already been woken may still be on its way to being
        // freed in the thread that completed it; a real leak outlasts this wait.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (wrk::LiveIrpCount() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        const std::vector<std::string> leaks = image_->UnloadReportingLeaks();
        EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
        image_.reset();
    }

    wrk::UserFile* Open() {
        std::unique_ptr<wrk::UserFile> file;
        const NTSTATUS status = wrk::UserFile::Open(kDeviceName, file);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (file == nullptr)
            return nullptr;
        files_.push_back(std::move(file));
        return files_.back().get();
    }

    static ReadResult Read(wrk::UserFile* file, ULONG length = 2048) {
        ReadResult r;
        r.bytes.resize(length);
        ULONG got = 0;
        r.status = file->Read(r.bytes.data(), length, &got);
        r.bytes.resize(got);
        return r;
    }

    // Reads are answered at once, with or without data: the host stack polls, and so do
    // these tests, until a packet comes or the (real-time) limit passes.
    static ReadResult ReadPacket(wrk::UserFile* file, ULONG length = 2048,
                                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            ReadResult r = Read(file, length);
            if (r.status != STATUS_SUCCESS || !r.bytes.empty() || std::chrono::steady_clock::now() > deadline)
                return r;
            std::this_thread::yield();
        }
    }

    static NTSTATUS Write(wrk::UserFile* file, const std::vector<uint8_t>& bytes, ULONG* written = nullptr) {
        ULONG done = 0;
        const NTSTATUS status = file->Write(bytes.data(), (ULONG)bytes.size(), &done);
        if (written != nullptr)
            *written = done;
        return status;
    }

    // Waits until the receive thread has put `count` bytes into its ring.
    static bool WaitForRing(ReceiveThreadContext& context, ULONG count,
                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (ReadCount(&context.Ring.Count) < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    static std::vector<uint8_t> Event(uint8_t code, uint8_t parameterLength, uint8_t seed = 1) {
        std::vector<uint8_t> e{code, parameterLength};
        for (int i = 0; i < parameterLength; i++)
            e.push_back(uint8_t(seed + i));
        return e;
    }
    static std::vector<uint8_t> Acl(uint16_t handle, uint16_t dataLength, uint8_t seed = 0) {
        std::vector<uint8_t> p{uint8_t(handle), uint8_t(handle >> 8), uint8_t(dataLength), uint8_t(dataLength >> 8)};
        for (int i = 0; i < dataLength; i++)
            p.push_back(uint8_t(seed + i));
        return p;
    }
    static std::vector<uint8_t> Typed(uint8_t type, const std::vector<uint8_t>& packet) {
        std::vector<uint8_t> v{type};
        v.insert(v.end(), packet.begin(), packet.end());
        return v;
    }

    size_t DriverPoolBlocks() { return wrk::PoolOutstandingByTag()[WRENLOK_POOL_TAG]; }

    wrk::ScopedKernelState kernel_;
    ScriptedRadio radio_;
    usbsim::Bus bus_;
    std::unique_ptr<wrk::DriverImage> image_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_EXTENSION extension_ = nullptr;
    std::vector<std::unique_ptr<wrk::UserFile>> files_;
};

}  // namespace datapath_test
