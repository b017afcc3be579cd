// The two-machine session against the controller emulator, and the emulator
// dying under a transfer.
#include "btvirt.h"
#include "echo_session.h"
#include "machine_fixture.h"
#include "run_command.h"
#include "socket_transport.h"

#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

using wtest::Count;
using wtest::RunCommand;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/wrenlok-e2e.XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

TEST(Session, TwoMachinesEchoEveryPayloadAndCapturesDecode) {
    TempDir captures;
    auto demo = RunCommand(std::string(WRENLOK_SIM_PATH) + " --demo --btsnoop-dir " + captures.Path());
    ASSERT_EQ(demo.exitCode, 0) << demo.text;
    EXPECT_NE(demo.text.find("B summary: 8 of 8 echoes matched"), std::string::npos) << demo.text;
    EXPECT_NE(demo.text.find("A summary: 8 echo requests answered"), std::string::npos) << demo.text;
    EXPECT_EQ(Count(demo.text, "pool left at unload: 0 block(s) with the driver's tag, nothing else left behind"), 2u)
        << demo.text;
    EXPECT_NE(demo.text.find("read on the open handle after removal: status 0xC000009D"), std::string::npos);

    for (const char* name : {"/a.btsnoop", "/b.btsnoop"}) {
        SCOPED_TRACE(name);
        auto decoded = RunCommand("btmon -r " + captures.Path() + name);
        ASSERT_EQ(decoded.exitCode, 0) << decoded.text;
        EXPECT_EQ(Count(decoded.text, "L2CAP: Echo Request"), 8u);
        EXPECT_EQ(Count(decoded.text, "L2CAP: Echo Response"), 8u);
        EXPECT_EQ(Count(decoded.text, "Read BD ADDR"), 2u); // command and its Command Complete
        for (const char* complaint : {"invalid", "Invalid", "malformed", "Malformed", "too short", "truncated"})
            EXPECT_EQ(decoded.text.find(complaint), std::string::npos) << complaint << "\n" << decoded.text;
    }
}

class EmulatorDies : public e2e::MachineTest {};

TEST_F(EmulatorDies, MidTransferTheDriverStaysConsistentAndUnloadsClean) {
    auto btvirt = wsim::Btvirt::Start();
    Plug(usbsim::H4Radio::Connect(btvirt->SocketPath()));
    wrk::SetTimeScale(1.0); // the emulator keeps real time

    // A behind the driver, B straight on the emulator's socket.
    wsim::DriverTransport aTransport(*file, machine->InTransfers());
    wsim::PacketLog aLog("A", nullptr), bLog("B", nullptr);
    wsim::HostStack a(aTransport, aLog);
    std::string aOutcome;
    std::thread acceptor([&] {
        try {
            wsim::RunAcceptor(a, wsim::EchoOptions{});
            aOutcome = "ended normally";
        } catch (const wsim::HostError& e) {
            aOutcome = e.what();
        }
    });

    wsim::SocketTransport bTransport(btvirt->SocketPath());
    wsim::HostStack b(bTransport, bLog);
    wsim::EchoOptions options;
    options.payloadSizes.assign(50, 1021);
    options.onEcho = [&](unsigned sequence) {
        if (sequence == 5) btvirt->Kill();
    };
    EXPECT_THROW(wsim::RunInitiator(b, options, [] { return 0.0; }), wsim::HostError);
    acceptor.join();
    EXPECT_NE(aOutcome, "ended normally");
    EXPECT_GE(a.Counters().aclPacketsReceived, 5u * 6);
    EXPECT_EQ(aTransport.Failure(), STATUS_DEVICE_NOT_CONNECTED);
    ExpectCleanExitAfterRadioLeft();
}

} // namespace
