#pragma once

namespace com_nax {

class RawMessage;

// A transport of whole frames to the simulation server.
class CSCommsInterface {
  public:
    virtual ~CSCommsInterface() = default;
    // Appends up to `size` received bytes to `message`: n > 0 bytes appended, 0 peer
    // closed or reset, -1 other error, -2 nothing within the receive timeout.
    virtual int readMessage(unsigned size, RawMessage& message) = 0;
    // Writes the whole buffer; returns the count the write reported, -1 on failure.
    virtual int writeMessage(const RawMessage& message) = 0;
    virtual void close() = 0;
    // `address` is an octet value (first dotted number in the lowest byte).
    virtual bool openConnection(unsigned address, unsigned port) = 0;
};

}  // namespace com_nax
