// Small test drivers: each device's dispatch routine is a handler the test
// writes, called through one plain dispatch function.
#pragma once

#include <host/io.h>
#include <host/kernel.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kio {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (**static_cast<Handler**>(device->DeviceExtension))(device, irp);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS SkipDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

// A driver object with every major function going to the handler of the
// device it is sent to, and the devices made for it.
class TestDriver {
public:
    explicit TestDriver(std::u16string name = u"\\Driver\\Test") : driver_(wrk::CreateDriverObject(std::move(name))) {
        for (PDRIVER_DISPATCH& dispatch : driver_->MajorFunction) dispatch = Dispatch;
    }
    ~TestDriver() {
        while (driver_->DeviceObject != nullptr) {
            PDEVICE_OBJECT device = driver_->DeviceObject;
            if (device->AttachedDevice != nullptr) IoDetachDevice(device);
            if (wrk::LowerDevice(device) != nullptr) IoDetachDevice(wrk::LowerDevice(device));
            IoDeleteDevice(device);
        }
        wrk::DeleteDriverObject(driver_);
    }
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Object() const { return driver_; }

    // A device whose requests go to `handler`; named when `name` is given.
    PDEVICE_OBJECT AddDevice(Handler handler, const char16_t* name = nullptr) {
        handlers_.push_back(std::make_unique<Handler>(std::move(handler)));
        UNICODE_STRING unicode{};
        if (name != nullptr) RtlInitUnicodeString(&unicode, name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, sizeof(Handler*), name ? &unicode : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                         FALSE, &device);
        if (!NT_SUCCESS(status)) return nullptr;
        *static_cast<Handler**>(device->DeviceExtension) = handlers_.back().get();
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

private:
    PDRIVER_OBJECT driver_;
    std::vector<std::unique_ptr<Handler>> handlers_;
};

inline NTSTATUS NTAPI KeepTheIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Runs `work` in the calling thread inside a test device's dispatch routine,
// as a user request's thread runs a driver's; the request's status.
inline NTSTATUS RunInsideDispatchRoutine(const std::function<void()>& work) {
    TestDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice([&work](PDEVICE_OBJECT, PIRP irp) {
        work();
        return Complete(irp, STATUS_SUCCESS);
    });
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepTheIrp, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS status = IofCallDriver(device, irp);
    IoFreeIrp(irp);
    return status;
}

inline UNICODE_STRING Unicode(const char16_t* text) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, text);
    return unicode;
}

}  // namespace kio
