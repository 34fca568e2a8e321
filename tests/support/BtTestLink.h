// A Bluetooth link for tests, plugged into the transport through its
// factory: a scripted device list stands for the inquiry, and each socket is
// one end of a Unix socket pair whose other end is an emulated vest behind
// the emulator's stream adapter. The socket's own reading and writing are
// the real ones; only the link under them differs.
//
// listFromBus() puts the real inquiry in place of the scripted list: it
// reads bluetoothd's list on a (private) D-Bus, and the scripted list then
// stands for what the radio inquiry would find when bluetoothd is not there.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/BtLinkFactory.h"
#include "device/bluetooth/SocketErrorText.h"
#include "tools/vest-emulator/StreamAdapter.h"
#include "tools/vest-emulator/VestModel.h"

namespace vbz_test {

class BtTestLink : public vbz::BtLinkFactory {
public:
    // --- the inquiry -------------------------------------------------------
    // A listed device, paired unless said otherwise.
    void list(const std::string& address, const std::string& name, bool authenticated = true) {
        vbz::BtDeviceInfo info;
        info.address = address;
        info.name = name;
        info.authenticated = authenticated;
        info.remembered = authenticated;
        std::lock_guard<std::mutex> lock(mutex_);
        listed_.push_back(info);
    }
    void failInquiry(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        inquiryFailure_ = std::move(text);
    }
    void failInquiryCreation(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        creationFailure_ = std::move(text);
    }
    int inquiries() const { return inquiries_.load(); }
    // Inquiries ask bluetoothd on the bus at this address first.
    void listFromBus(std::string address) {
        std::lock_guard<std::mutex> lock(mutex_);
        busAddress_ = std::move(address);
    }
    // Radio inquiries made by the real inquiry (see listFromBus).
    int radioInquiries() const { return radioInquiries_.load(); }

    // --- the vests ---------------------------------------------------------
    // A vest that answers at this address; other addresses refuse to connect.
    std::shared_ptr<vbz::emu::VestModel> addVest(const std::string& address,
                                                 vbz::emu::VestIdentity identity = {},
                                                 vbz::emu::StreamAdapter::Options options = {}) {
        auto vest = std::make_shared<vbz::emu::VestModel>(identity);
        std::lock_guard<std::mutex> lock(mutex_);
        vests_[address] = {vest, options};
        return vest;
    }
    // Making a socket for this address throws (a device that is gone).
    void refuseSocket(const std::string& address) {
        std::lock_guard<std::mutex> lock(mutex_);
        refused_.insert(address);
    }

    // Addresses connected to, in order.
    std::vector<std::string> connections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    // The adapter of the latest connection to this address.
    vbz::emu::StreamAdapter* adapter(const std::string& address) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = adapters_.find(address);
        return it == adapters_.end() ? nullptr : it->second.back().get();
    }
    int liveSockets() const { return liveSockets_.load(); }
    int mostSocketsAtOnce() const { return mostSockets_.load(); }

    // --- the factory -------------------------------------------------------
    std::unique_ptr<vbz::BtInquiry> makeInquiry() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (creationFailure_) throw vbz::BluetoothException(*creationFailure_);
        if (busAddress_) return std::make_unique<BusInquiry>(*this, *busAddress_);
        return std::make_unique<Inquiry>(*this);
    }
    std::unique_ptr<vbz::BtRfcommSocket> makeSocket(const std::string& address,
                                                    int channelID) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (refused_.count(address)) throw vbz::BluetoothException("Unable to make a socket");
        }
        return std::make_unique<Socket>(*this, address, channelID);
    }

private:
    struct Vest {
        std::shared_ptr<vbz::emu::VestModel> model;
        vbz::emu::StreamAdapter::Options options;
    };

    class Inquiry : public vbz::BtInquiry {
    public:
        explicit Inquiry(BtTestLink& link) : link_(link) {}
        std::vector<vbz::BtDeviceInfo> inquire() override {
            ++link_.inquiries_;
            std::lock_guard<std::mutex> lock(link_.mutex_);
            if (link_.inquiryFailure_) throw vbz::BluetoothException(*link_.inquiryFailure_);
            return link_.listed_;
        }

    private:
        BtTestLink& link_;
    };

    class BusInquiry : public vbz::BtInquiry {
    public:
        BusInquiry(BtTestLink& link, const std::string& address)
            : vbz::BtInquiry(address), link_(link) {}

    protected:
        std::vector<vbz::BtDeviceInfo> inquireByRadio() override {
            ++link_.radioInquiries_;
            std::lock_guard<std::mutex> lock(link_.mutex_);
            return link_.listed_;
        }

    private:
        BtTestLink& link_;
    };

    class Socket : public vbz::BtRfcommSocket {
    public:
        Socket(BtTestLink& link, const std::string& address, int channelID)
            : BtRfcommSocket(address, channelID), link_(link) {
            const int live = ++link_.liveSockets_;
            int most = link_.mostSockets_.load();
            while (live > most && !link_.mostSockets_.compare_exchange_weak(most, live)) {
            }
        }
        ~Socket() override {
            close();
            --link_.liveSockets_;
        }

    protected:
        int openLink() override { return link_.openPair(address(), channelID()); }

    private:
        BtTestLink& link_;
    };

    int openPair(const std::string& address, int channelID) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = vests_.find(address);
        if (it == vests_.end() || channelID != 1)
            throw vbz::BluetoothException("Cannot connect: " + vbz::socketErrorText(EHOSTDOWN));
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw vbz::BluetoothException("Cannot connect: " + vbz::socketErrorText(errno));
        adapters_[address].push_back(std::make_unique<vbz::emu::StreamAdapter>(
            it->second.model, ends[1], it->second.options));
        connections_.push_back(address);
        return ends[0];
    }

    mutable std::mutex mutex_;
    std::vector<vbz::BtDeviceInfo> listed_;
    std::optional<std::string> inquiryFailure_;
    std::optional<std::string> creationFailure_;
    std::optional<std::string> busAddress_;
    std::map<std::string, Vest> vests_;
    std::set<std::string> refused_;
    std::vector<std::string> connections_;
    std::map<std::string, std::vector<std::unique_ptr<vbz::emu::StreamAdapter>>> adapters_;
    std::atomic<int> inquiries_{0};
    std::atomic<int> radioInquiries_{0};
    std::atomic<int> liveSockets_{0};
    std::atomic<int> mostSockets_{0};
};

}  // namespace vbz_test
