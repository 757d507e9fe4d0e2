#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/core/CSClientProtocol.h"

namespace com_nax {

// Engine of the SIM connection: subscriptions to simulator values, output
// registrations, value updates, publishing and the simulator id.
class SimulatorProtocol : public CSClientProtocol {
  public:
    // The id is stored unchecked; setSimulatorId enforces the 15-bit range.
    SimulatorProtocol(unsigned int simulatorId, unsigned int options);
    ~SimulatorProtocol() override;

    unsigned int getSimulatorId() const { return simulatorId_.load(); }
    // Ids above 0x7FFF are refused. Takes effect with the next request; nothing
    // is re-registered.
    CSClient::Result setSimulatorId(unsigned int id);

    void handleReceivedMessage(const RawMessage& message) override;

    CSClient::Result requestSimulatorVersion() override;
    CSClient::Result sendInputSubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) override REQUIRES(registryLock_);
    CSClient::Result sendInputUnsubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) override EXCLUDES(registryLock_);
    CSClient::Result sendOutputSubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) override REQUIRES(registryLock_);
    CSClient::Result sendOutputUnsubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) override EXCLUDES(registryLock_);
    CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                 PublishMode mode) override REQUIRES(registryLock_);

  private:
    // A codec's request builder for items of type Item.
    template <typename Item>
    using BuildFor = Bytes (*)(std::uint32_t simulatorId, const std::vector<Item>& items);
    // Both subscription requests, an item made of each entry by `make`; and both
    // unsubscription requests. No request for no entries.
    template <typename Entry, typename Item>
    CSClient::Result sendRegistration(const std::vector<Entry*>& entries, BuildFor<Item> build,
                                      Item (*make)(const Entry&));
    CSClient::Result sendUnregistration(std::uint16_t code,
                                        const std::vector<std::uint32_t>& serverIds);
    void handleInputReply(const RawMessage& message);
    void handleOutputReply(const RawMessage& message);
    void handleUpdate(const RawMessage& message);
    void handleVersionReply(const RawMessage& message);

    // Written by the application (setSimulatorId) and the receive thread (version
    // reply), read by every request builder.
    std::atomic<unsigned int> simulatorId_;
};

}  // namespace com_nax
