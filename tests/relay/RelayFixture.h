#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "relay/MonitorRelayAdaptor.h"
#include "relay/RelayTestSupport.h"

namespace relaytest {

// One emulated unit at 127.0.0.2 and an adaptor with short waits, in a
// scratch working directory.
class RelayFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureLoopbackResolves();
        MonitorRelayAdaptor::LastConnectedIP.clear();
        unit_ = std::make_unique<relayunit::RelayUnitEmulator>(unitOptions());
        unit_->start();
        adaptor_ = std::make_unique<MonitorRelayAdaptor>(fastTimings());
    }
    void TearDown() override {
        adaptor_.reset();
        unit_.reset();
    }

    virtual relayunit::EmulatorOptions unitOptions() {
        relayunit::EmulatorOptions o;
        o.serial = "SN-0042";
        return o;
    }

    // Finds, associates and enables the unit.
    void connectAndEnable() {
        ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3)) << "the unit was never found";
        adaptor_->enable();
        ASSERT_TRUE(adaptor_->isEnabled()) << "the unit was never enabled";
        fence();  // the watchdog's trailing commands have landed
    }

    // The datagrams the unit received after the first `skip` ones.
    std::vector<std::string> datagramsAfter(std::size_t skip) const {
        std::vector<std::string> texts;
        const auto all = unit_->datagrams();
        for (std::size_t i = skip; i < all.size(); ++i) {
            texts.push_back(all[i].text);
        }
        return texts;
    }

    // Sends a request as a fence: when the unit has it, everything sent
    // earlier has arrived too (one socket, in order, on loopback).
    void fence() {
        const std::size_t before = unit_->datagramCount();
        adaptor_->sendRequest("GET_BATT", "");
        ASSERT_TRUE(unit_->waitForDatagrams(before + 1, std::chrono::seconds(2)))
            << "the fence request never arrived";
    }

    ScratchDir scratch_;
    std::unique_ptr<relayunit::RelayUnitEmulator> unit_;
    std::unique_ptr<MonitorRelayAdaptor> adaptor_;
};

}  // namespace relaytest
