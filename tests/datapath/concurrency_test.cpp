// Opens, closes, reads and writes from several threads at once while the radio keeps
// sending: threads start and stop once per context, every packet is delivered exactly
// once, and a close never pulls a ring away from a read.
#include <atomic>
#include <latch>
#include <map>
#include <set>
#include <thread>

#include "device_fixture.h"

namespace datapath_test {
namespace {

using ConcurrencyTest = DeviceFixture;

TEST_F(ConcurrencyTest, SimultaneousOpensStartTheThreadsOnceAndSimultaneousClosesStopThemOnce) {
    const size_t pool = DriverPoolBlocks();
    constexpr int kHandles = 6;
    std::vector<std::unique_ptr<wrk::UserFile>> files(kHandles);
    std::vector<NTSTATUS> opened(kHandles);
    {
        std::latch go(kHandles);
        std::vector<std::thread> openers;
        for (int i = 0; i < kHandles; i++)
            openers.emplace_back([&, i] {
                go.arrive_and_wait();
                opened[i] = wrk::UserFile::Open(kDeviceName, files[i]);
            });
        for (auto& t : openers)
            t.join();
    }
    for (NTSTATUS s : opened)
        EXPECT_EQ(s, STATUS_SUCCESS);
    EXPECT_EQ(extension_->OpenHandles, kHandles);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);
    EXPECT_EQ(wrk::DebugCount("TranspStartThread: Completed\n"), 2u);

    {
        std::latch go(kHandles);
        std::vector<std::thread> closers;
        for (int i = 0; i < kHandles; i++)
            closers.emplace_back([&, i] {
                go.arrive_and_wait();
                files[i]->Close();
            });
        for (auto& t : closers)
            t.join();
    }
    EXPECT_EQ(extension_->OpenHandles, 0);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(wrk::DebugCount("TranspThread: Terminate\n"), 2u);
    EXPECT_EQ(DriverPoolBlocks(), pool);
}

// Packets carry their sequence number, so each can be checked whole and counted.
std::vector<uint8_t> NumberedEvent(uint16_t seq) {
    const uint8_t length = uint8_t(2 + seq % 60);
    std::vector<uint8_t> e{0x3E, length, uint8_t(seq), uint8_t(seq >> 8)};
    for (int i = 2; i < length; i++)
        e.push_back(uint8_t(seq + i));
    return e;
}
std::vector<uint8_t> NumberedAcl(uint16_t seq) {
    const uint16_t length = uint16_t(seq * 37 % 900);
    std::vector<uint8_t> p{uint8_t(seq), uint8_t(seq >> 8), uint8_t(length), uint8_t(length >> 8)};
    for (int i = 0; i < length; i++)
        p.push_back(uint8_t(seq + i));
    return p;
}

TEST_F(ConcurrencyTest, ReadersAndWritersOnSeveralHandlesGetEveryPacketExactlyOnce) {
    constexpr uint16_t kPackets = 150;
    constexpr int kReaders = 4;
    std::vector<wrk::UserFile*> handles;
    for (int i = 0; i < kReaders; i++)
        handles.push_back(Open());

    std::atomic<int> delivered{0};
    std::atomic<bool> corrupt{false};
    std::mutex seenMutex;
    std::map<uint8_t, std::multiset<uint16_t>> seen;

    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; r++)
        threads.emplace_back([&, r] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (delivered.load() < 2 * kPackets && std::chrono::steady_clock::now() < deadline) {
                const ReadResult got = Read(handles[r], 1000);
                if (got.status != STATUS_SUCCESS) {
                    corrupt = true;
                    return;
                }
                if (got.bytes.empty()) {
                    std::this_thread::yield();
                    continue;
                }
                const std::vector<uint8_t> packet(got.bytes.begin() + 1, got.bytes.end());
                const uint16_t seq = got.bytes[0] == 0x04 ? uint16_t(packet[2] | packet[3] << 8)
                                                          : uint16_t(packet[0] | packet[1] << 8);
                const auto expected = got.bytes[0] == 0x04 ? NumberedEvent(seq) : NumberedAcl(seq);
                if (packet != expected)
                    corrupt = true;
                std::lock_guard lock(seenMutex);
                seen[got.bytes[0]].insert(seq);
                delivered++;
            }
        });
    std::atomic<int> writeFailures{0};
    for (int w = 0; w < 2; w++)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 40; i++) {
                const auto bytes = w == 0 ? std::vector<uint8_t>{0x01, 0x01, 0x10, 0x00}
                                          : Typed(0x02, Acl(0x2001, uint16_t(i * 13)));
                if (Write(handles[i % kReaders], bytes) != STATUS_SUCCESS)
                    writeFailures++;
            }
        });
    for (uint16_t seq = 0; seq < kPackets; seq++) {
        radio_.QueueEvent(NumberedEvent(seq));
        radio_.QueueAcl(NumberedAcl(seq));
    }
    for (auto& t : threads)
        t.join();

    EXPECT_FALSE(corrupt.load());
    EXPECT_EQ(writeFailures.load(), 0);
    EXPECT_EQ(radio_.Commands().size(), 40u);
    EXPECT_EQ(radio_.AclReceived().size(), 40u);
    for (uint8_t type : {uint8_t(0x04), uint8_t(0x02)}) {
        ASSERT_EQ(seen[type].size(), kPackets) << int(type);
        for (uint16_t seq = 0; seq < kPackets; seq++)
            EXPECT_EQ(seen[type].count(seq), 1u) << int(type) << " " << seq;
    }
}

TEST_F(ConcurrencyTest, ClosesOnOneHandleNeverPullARingFromUnderAReadOnAnother) {
    wrk::UserFile* reader = Open();
    const size_t pool = DriverPoolBlocks();
    std::atomic<bool> quit{false};
    std::atomic<int> badReads{0};
    std::atomic<int> packets{0};

    std::thread feeder([&] {
        for (uint16_t seq = 0; !quit.load(); seq++) {
            if (radio_.QueuedInBytes(ScriptedRadio::kEventEndpoint) < 2000)
                radio_.QueueEvent(NumberedEvent(seq));
            if (radio_.QueuedInBytes(ScriptedRadio::kAclInEndpoint) < 8000)
                radio_.QueueAcl(NumberedAcl(seq));
            std::this_thread::yield();
        }
    });
    std::thread reads([&] {
        while (!quit.load()) {
            const ReadResult got = Read(reader, 5000);
            if (got.status != STATUS_SUCCESS)
                badReads++;
            else if (!got.bytes.empty())
                packets++;
        }
    });
    for (int round = 0; round < 40; round++) {
        std::unique_ptr<wrk::UserFile> other;
        ASSERT_EQ(wrk::UserFile::Open(kDeviceName, other), STATUS_SUCCESS);
        // Give the threads a chance to fill the rings and the reader to take from them.
        const int target = packets.load() + 2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (packets.load() < target && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        other->Close();
    }
    quit = true;
    reads.join();
    feeder.join();

    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(packets.load(), 40);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_LE(DriverPoolBlocks(), pool);
}

}  // namespace
}  // namespace datapath_test
