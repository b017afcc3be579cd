// A system thread that a test starts and then waits for on its object.
#pragma once

#include <host/kernel.h>

#include <gtest/gtest.h>

namespace wtest {

class SystemThread {
public:
    SystemThread(PKSTART_ROUTINE routine, PVOID context) {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object_, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
    ~SystemThread() { Join(); }
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;

    PKTHREAD Thread() const { return static_cast<PKTHREAD>(object_); }
    // Waits until the thread has ended.
    void Join() {
        if (object_ == nullptr) return;
        EXPECT_EQ(KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObfDereferenceObject(object_);
        object_ = nullptr;
    }

private:
    PVOID object_ = nullptr;
};

}  // namespace wtest
