// A client connection to one device's RFCOMM channel, over BlueZ.
//
// connect() opens the link and makes it non-blocking; read() returns at
// once with what is waiting (0 when nothing is); write() sends the whole
// buffer. Every failure throws BluetoothException; nothing is logged here.
// The socket is closed by close() and by the destructor.
//
// Threads: one thread may read while another writes; connect() and close()
// run while no I/O is under way.
//
// The link itself comes from openLink(), which a subclass may replace (tests
// hand over one end of a Unix socket pair); reading and writing are the
// same whatever stream the handle is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/bluetooth/BtAddress.h"

namespace vbz {

class BtRfcommSocket {
public:
    static constexpr int kInvalidHandle = -1;

    // Throws "ChannelID should be a positive int value" for a channel below 1.
    BtRfcommSocket(std::string address, int channelID);
    virtual ~BtRfcommSocket();
    BtRfcommSocket(const BtRfcommSocket&) = delete;
    BtRfcommSocket& operator=(const BtRfcommSocket&) = delete;

    // Closes an open link first. Throws "Address length is invalid" or
    // "Cannot connect: (code) text"; the socket is closed after a failure.
    void connect();
    // At most size bytes of what is waiting; 0 when nothing is (or the peer
    // has closed the link). Throws "connection has been closed", "buffer
    // cannot be null" or "Error reading from connection".
    int read(uint8_t* buffer, std::size_t size);
    // Sends all size bytes, waiting a bounded time while the link is full.
    // Throws "buffer cannot be null", "Attempting to write to a closed
    // connection" or "Writing attempt was unsuccessful". Never raises SIGPIPE.
    void write(const uint8_t* buffer, std::size_t size);
    void close();

    const std::string& address() const { return address_; }
    int channelID() const { return channelID_; }
    bool isOpen() const { return handle_.load() != kInvalidHandle; }

protected:
    // A connected stream socket to address_/channelID_ (blocking or not),
    // or a throw with the texts of connect().
    virtual int openLink();

private:
    std::string address_;
    int channelID_;
    std::atomic<int> handle_{kInvalidHandle};
};

// Where connect() goes: the device address and the channel, checked as
// connect() checks them (throws "Address length is invalid" or "Cannot
// connect: (22) Invalid argument").
struct RfcommTarget {
    BtAddressBytes address;
    uint8_t channel;
};
RfcommTarget rfcommTarget(const std::string& address, int channelID);

}  // namespace vbz
