#pragma once
// A private bus with one running service thread; torn down in order (the
// service leaves the bus before the bus is killed), also after a failure.

#include <gtest/gtest.h>
#include <memory>

#include "servicethread.h"

class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogCapture::Install();
        LogCapture::Clear();
        LogSetLevel(7);
        ASSERT_TRUE(bus.Start());
        service = std::make_unique<ServiceThread>();
        ASSERT_EQ(CThread::Start(service.get()), 0);
        ASSERT_EQ(service->WaitRunning(), RET_OK) << [this] {
            std::string s = "init result " + std::to_string(service->GetInitResult()) + "\n";
            for (const auto& l : LogCapture::Lines())
                s += l + "\n";
            return s;
        }();
    }
    void TearDown() override
    {
        if (service != nullptr) {
            if (service->Running())
                service->SendCmd(CMD_STOP, 0, 0);
            service->Stop();
            service.reset();
        }
        bus.Stop();
        LogSetLevel(6);
    }

    PrivateBus bus;
    std::unique_ptr<ServiceThread> service;
};
