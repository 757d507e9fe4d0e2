// Discovery of a unit: a fixed address, a range scan or a directed-broadcast
// search, and the file that remembers the address that last answered.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "metrics/Metrics.h"
#include "relay/MonitorRelayAdaptor.h"
#include "relay/UnitEncoding.h"
#include "service/ServiceNotify.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;
using unit_encoding::printable;

std::string MonitorRelayAdaptor::LastConnectedIP;

namespace {

// The directed broadcast address of every local IPv4 interface that is up,
// not loopback and broadcast-capable, from its own address and netmask.
std::vector<std::string> interfaceBroadcasts() {
    std::vector<std::string> broadcasts;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return broadcasts;
    }
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        const unsigned flags = ifa->ifa_flags;
        if (ifa->ifa_addr == nullptr || ifa->ifa_netmask == nullptr ||
            ifa->ifa_addr->sa_family != AF_INET || !(flags & IFF_UP) || (flags & IFF_LOOPBACK) ||
            !(flags & IFF_BROADCAST)) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
        const auto* mask = reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask);
        const std::uint32_t own = ntohl(address->sin_addr.s_addr);
        const std::uint32_t all = own | ~ntohl(mask->sin_addr.s_addr);
        const std::string text = address_v4(all).to_string();
        // A /32 has no one else to ask.
        if (all != own &&
            std::find(broadcasts.begin(), broadcasts.end(), text) == broadcasts.end()) {
            broadcasts.push_back(text);
        }
    }
    freeifaddrs(list);
    return broadcasts;
}

}  // namespace

void MonitorRelayAdaptor::openLink(const std::string& address, UdpAdaptor::Peers peers) {
    // The earlier link goes first: it holds port 14996.
    link_.reset();
    link_ = std::make_unique<UdpAdaptor>(io_, address.c_str(), timing_.udp, peers);
    link_->start_receive();
}

bool MonitorRelayAdaptor::initialize(const std::string& serialId, const std::string& ipAddress,
                                     const std::string& ipRangeStart, const std::string& ipRangeEnd,
                                     bool retryForever) {
    std::cout << "MR>Initialization of the MonitorRelay adapter..." << std::endl;
    if (LastConnectedIP.empty()) {
        LoadLastConnectedIP();
    }
    connected_ = false;
    psmr_metrics::metrics().unitLost();
    for (unsigned attempt = 1;; ++attempt) {
        bool found = false;
        if (!ipAddress.empty()) {
            std::cout << "Fixed IP configured: " << ipAddress << std::endl;
            found = connectIP(serialId, ipAddress, timing_.fixedAddressTries);
        } else if (!ipRangeStart.empty() && !ipRangeEnd.empty()) {
            std::cout << "Range of IPs configured: " << ipRangeStart << " to " << ipRangeEnd
                      << std::endl;
            found = connectRange(serialId, ipRangeStart, ipRangeEnd);
        } else {
            std::cout << "UDP broadcast detection" << std::endl;
            found = connectUDP(serialId);
        }
        if (found) {
            foundBy_ = !ipAddress.empty()                               ? Search::Fixed
                       : (!ipRangeStart.empty() && !ipRangeEnd.empty()) ? Search::Range
                                                                        : Search::Broadcast;
            searchSerial_ = serialId;
            rangeStart_ = ipRangeStart;
            rangeEnd_ = ipRangeEnd;
            psmr_metrics::metrics().unitFound(serialId_, unitAddress_);
            return connected_;
        }
        std::this_thread::sleep_for(timing_.attemptPause);
        if (connected_) {
            psmr_metrics::metrics().unitFound(serialId_, unitAddress_);
            return true;
        }
        if (!retryForever && attempt >= timing_.boundedAttempts) {
            return false;
        }
    }
}

bool MonitorRelayAdaptor::connectIP(const std::string& serialId, const std::string& address,
                                    unsigned tries, bool anyResponder) {
    openLink(address, anyResponder ? UdpAdaptor::Peers::AnyResponder : UdpAdaptor::Peers::UnitOnly);
    disable();
    std::string probe = kProbeLine;
    boost::system::error_code ignored;
    link_->sendCommand(probe, ignored);

    // Each try is one reply window, whatever arrives in it: a stream of
    // foreign datagrams must not keep the probe waiting for ever.
    const auto window = timing_.udp.connectionPollSleep * timing_.udp.connectionPolls;
    auto windowEnd = std::chrono::steady_clock::now() + window;
    unsigned timedOut = 0;
    const auto endTry = [&] {
        service::watchdog();  // every reply window: a search may last minutes
        ++timedOut;
        windowEnd = std::chrono::steady_clock::now() + window;
    };
    while (timedOut < tries) {
        std::string sender;
        std::string reply;
        if (!link_->waitConnection(sender, reply)) {
            endTry();
            continue;
        }
        // Our own broadcast probe, echoed back, has no ":" and is skipped here.
        std::string serial;
        const bool skip =
            !unit_encoding::probeSerial(reply, serial) || (!serialId.empty() && serialId != serial);
        if (!serial.empty()) {
            std::cout << "MR>Found MonitorRelay with serial Id: " << printable(serial)
                      << " at endpoint: " << sender << std::endl;
        }
        if (skip) {
            if (std::chrono::steady_clock::now() >= windowEnd) {
                endTry();
            }
            continue;
        }
        serialId_ = serial;
        unitAddress_ = sender;
        connected_ = true;
        if (!serialId.empty()) {
            std::cout << "MR>Found MonitorRelay with requested SerialId: " << printable(serial)
                      << std::endl;
        } else {
            std::cout << "MR>SerialId not provided, connecting to first MonitorRelay: "
                      << printable(serial) << std::endl;
        }
        if (anyResponder) {
            openLink(sender);  // the link pointed at the broadcast address
        }
        // The unit's own address: a broadcast address would probe every unit.
        LastConnectedIP = sender;
        SaveLastConnectedIP();
        return connected_;
    }

    if (!serialId.empty()) {
        std::cerr << "MR>Failed to find MonitorRelay on IP " << address
                  << " with SerialId: " << serialId << std::endl;
    } else {
        std::cerr << "MR>Failed to find any MonitorRelay on IP " << address << std::endl;
    }
    link_.reset();
    return connected_;
}

bool MonitorRelayAdaptor::connectRange(const std::string& serialId, const std::string& start,
                                       const std::string& end) {
    const std::uint32_t first = boost::asio::ip::make_address_v4(start).to_uint();
    const std::uint32_t last = boost::asio::ip::make_address_v4(end).to_uint();
    if (first >= last) {
        std::cerr << "MR>ERROR>IP Range incorrect, end address > start address" << std::endl;
        // Intended: a range that can never match is a configuration error the
        // operator must fix; searching on would hide it, so the process ends here.
        std::exit(1);
    }
    // Once, before the scan, and only when the range still holds it: an
    // address from another network costs every scanned address a wait.
    boost::system::error_code ec;
    const address_v4 remembered = boost::asio::ip::make_address_v4(LastConnectedIP, ec);
    if (!ec && remembered.to_uint() >= first && remembered.to_uint() <= last) {
        std::cout << "Trying last successful IP address " << LastConnectedIP << std::endl;
        if (connectIP(serialId, LastConnectedIP, timing_.rangeTries)) {
            connected_ = true;
            return true;
        }
    }
    // 64 bits so that a range ending at 255.255.255.255 terminates.
    for (std::uint64_t value = first; value <= last; ++value) {
        const std::string address = address_v4(static_cast<std::uint32_t>(value)).to_string();
        std::cout << "Scanning " << address << std::endl;
        if (connectIP(serialId, address, timing_.rangeTries)) {
            connected_ = true;
            return true;
        }
    }
    return false;
}

std::string MonitorRelayAdaptor::localHostName() const {
    if (hostNameSource_) {
        return hostNameSource_();
    }
    char name[1024] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        throw boost::system::system_error(
            boost::system::error_code(errno, boost::system::system_category()), "gethostname");
    }
    return name;
}

bool MonitorRelayAdaptor::hostNameBroadcasts(std::vector<std::string>& broadcasts) {
    const std::string host = localHostName();
    udp::resolver resolver(io_);
    boost::system::error_code ec;
    const auto results = resolver.resolve(udp::v4(), host, std::to_string(UdpAdaptor::kPort),
                                          udp::resolver::address_configured, ec);
    if (ec) {
        return false;
    }
    const std::uint32_t hostMask = ~address_v4::from_string("255.255.0.0").to_uint();
    for (const auto& entry : results) {
        const address_v4 local = entry.endpoint().address().to_v4();
        broadcasts.push_back(address_v4(local.to_uint() | hostMask).to_string());
    }
    return true;
}

bool MonitorRelayAdaptor::connectUDP(const std::string& serialId) {
    // The interfaces first: the host name may map to a loopback address only
    // (127.0.1.1 on a usual install), and a fixed mask misses a /24's broadcast.
    std::vector<std::string> probed;
    for (const std::string& broadcast : interfaceBroadcasts()) {
        probed.push_back(broadcast);
        std::cout << "MR>Pinging " << broadcast << std::endl;
        if (connectIP(serialId, broadcast, timing_.broadcastTries, true)) {
            connected_ = true;
            return true;
        }
    }
    std::vector<std::string> broadcasts;
    if (!hostNameBroadcasts(broadcasts)) {
        std::cerr << "MR>Unable to find a network interface..." << std::endl;
        std::this_thread::sleep_for(timing_.interfaceLookupPause);
        return false;
    }
    for (const std::string& broadcast : broadcasts) {
        if (std::find(probed.begin(), probed.end(), broadcast) != probed.end()) {
            continue;
        }
        probed.push_back(broadcast);
        std::cout << "MR>Pinging " << broadcast << std::endl;
        if (connectIP(serialId, broadcast, timing_.broadcastTries, true)) {
            connected_ = true;
            return true;
        }
    }
    return false;
}

std::vector<MonitorRelayAdaptor::FoundUnit> MonitorRelayAdaptor::discoverUnits() {
    std::map<std::uint32_t, FoundUnit> found;  // by address: sorted, one line per unit
    std::vector<std::string> probed;
    const auto window = timing_.udp.connectionPollSleep * timing_.udp.connectionPolls;
    const auto probeAll = [&](const std::vector<std::string>& targets) {
        for (const std::string& target : targets) {
            if (std::find(probed.begin(), probed.end(), target) != probed.end()) {
                continue;
            }
            probed.push_back(target);
            openLink(target, UdpAdaptor::Peers::AnyResponder);
            link_->collectReplies();
            std::string probe = kProbeLine;
            boost::system::error_code ignored;
            link_->sendCommand(probe, ignored);
            // Every unit answers within the probe window; all of it is heard.
            std::this_thread::sleep_for(window);
            for (const auto& [sender, reply] : link_->takeCollected()) {
                std::string serial;
                if (unit_encoding::probeSerial(reply, serial)) {
                    found[address_v4::from_string(sender).to_uint()] = {serial, sender};
                }
            }
            link_.reset();
        }
    };
    probeAll(interfaceBroadcasts());
    std::vector<std::string> broadcasts;
    if (found.empty() && hostNameBroadcasts(broadcasts)) {
        probeAll(broadcasts);
    }
    std::vector<FoundUnit> units;
    for (auto& entry : found) {
        units.push_back(std::move(entry.second));
    }
    return units;
}

bool MonitorRelayAdaptor::researchIfSilent() {
    if (!connected_ || !link_ || (foundBy_ != Search::Range && foundBy_ != Search::Broadcast) ||
        std::chrono::steady_clock::now() - link_->lastReply() < timing_.researchAfterSilence) {
        return false;
    }
    if (!researchReported_) {
        researchReported_ = true;
        std::cerr << "MR>ERROR>No answer from the MonitorRelay unit for "
                  << std::chrono::duration_cast<std::chrono::seconds>(timing_.researchAfterSilence)
                         .count()
                  << " s; searching for it again" << std::endl;
    }
    // Not connected while searching: an enabling on the calibration worker
    // then leaves the link alone; the one under way is waited for. No DISABLE
    // goes out: the unit is silent, and the probes may reach other units.
    connected_ = false;
    enabled_ = false;
    psmr_metrics::metrics().unitEnabled(false);
    watchdogArmed_ = false;
    { psmr_sync::LockGuard wait(requestMutex_); }
    const std::string previous = unitAddress_;
    const bool found = foundBy_ == Search::Range
                           ? connectRange(searchSerial_, rangeStart_, rangeEnd_)
                           : connectUDP(searchSerial_);
    if (!found) {
        // Still the best guess: the unit may come back where it was.
        openLink(previous);
        connected_ = true;
    } else {
        psmr_metrics::metrics().unitFound(serialId_, unitAddress_);
    }
    return found;
}

void MonitorRelayAdaptor::LoadLastConnectedIP() {
    std::ifstream file(kLastConnectedFile, std::ios::binary);
    if (!file) {
        return;
    }
    // An address is at most 15 characters; anything longer is not one.
    char buffer[32];
    file.read(buffer, sizeof buffer);
    const std::string text(buffer, static_cast<std::size_t>(file.gcount()));
    if (text.size() >= sizeof buffer || text.find('\0') != std::string::npos) {
        return;  // the parser would stop at a NUL and accept the text before it
    }
    boost::system::error_code ec;
    const address_v4 address = boost::asio::ip::make_address_v4(text, ec);
    if (ec) {
        return;  // a trailing line break, spaces or junk: start without it
    }
    LastConnectedIP = address.to_string();
    std::cout << "Loaded last connected IP " << LastConnectedIP << std::endl;
}

void MonitorRelayAdaptor::SaveLastConnectedIP() {
    // A temporary file renamed over the old one: a crash mid-write leaves the
    // previous address, and a link planted at the name is replaced, not followed.
    std::string tmp = std::string(kLastConnectedFile) + ".XXXXXX";
    const int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) {
        return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
    const char* p = LastConnectedIP.data();
    std::size_t left = LastConnectedIP.size();
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        p += ok ? n : 0;
        left -= ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), kLastConnectedFile) != 0) {
        ::unlink(tmp.c_str());
    }
}
