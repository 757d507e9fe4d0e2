#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "relay/RelayTimings.h"
#include "relay/UdpAdaptor.h"
#include "relay/UnitEncoding.h"
#include "sync/Mutex.h"

// The bridge's object for one MonitorRelay unit: discovery, association and
// health checks, the vital-sign and waveform commands and the network
// configuration, all as "[NAME]value@" lines over a UdpAdaptor.
//
// Discovery, network configuration and sessions are serialised by the caller
// (the bridge's mutex). The health operations (enable, disable,
// checkConnection, getBattery) may run on another thread meanwhile: they
// serialise among themselves, and a command or session sent while one of
// them waits for its reply goes out at once without disturbing that reply.
class MonitorRelayAdaptor {
  public:
    // Probe line and the marker of an unassociated unit's identification.
    static constexpr const char* kProbeLine = "[ID]MonitorRelay v2.2@";
    static constexpr const char* kUnassociatedMarker = "MonitorRelay v2.2:";
    static constexpr const char* kLastConnectedFile = "_lastconnectedIPAddress.txt";
    // A unit drops lines that arrive in datagrams longer than this.
    static constexpr std::size_t kMaxSessionLength = 230;

    MonitorRelayAdaptor();
    explicit MonitorRelayAdaptor(const RelayTimings& timing);
    virtual ~MonitorRelayAdaptor();

    MonitorRelayAdaptor(const MonitorRelayAdaptor&) = delete;
    MonitorRelayAdaptor& operator=(const MonitorRelayAdaptor&) = delete;

    // Line protocol. Requests go out at once and return the reply (empty when
    // none came, or when no link exists yet); commands go out only while
    // enabled, batched when a session is open.
    // With `expected`, the request takes only that reply (see
    // UdpAdaptor::waitResponse).
    template <typename T>
    std::string sendRequest(const char* name, T value, const char* expected = nullptr)
        EXCLUDES(wireMutex_);
    template <typename T>
    void sendCommand(const char* name, T value);
    void sendCommand(const char* name, const std::string& valueText);
    void beginCommandSession();
    void commitCommandSession() EXCLUDES(wireMutex_);
    void enableDebugMode() { debug_ = true; }

    // Discovery.
    bool initialize(const std::string& serialId, const std::string& ipAddress,
                    const std::string& ipRangeStart, const std::string& ipRangeEnd,
                    bool retryForever);
    // Only the probed address may answer, unless `anyResponder` (a broadcast
    // probe): then the first matching responder is taken and the link
    // reopened to it.
    bool connectIP(const std::string& serialId, const std::string& address, unsigned tries,
                   bool anyResponder = false);
    bool connectRange(const std::string& serialId, const std::string& start,
                      const std::string& end);
    bool connectUDP(const std::string& serialId);
    static void LoadLastConnectedIP();
    static void SaveLastConnectedIP();
    // The unicast address that last answered a probe; shared by every adaptor.
    static std::string LastConnectedIP;

    // Every unit that answers a probe of the broadcast search (interfaces,
    // then the host name's addresses), sorted by address. Leaves no link.
    struct FoundUnit {
        std::string serial;
        std::string address;
    };
    std::vector<FoundUnit> discoverUnits();

    // Association and health.
    void enable();
    void disable();
    // The WDT request and the first waveform values; requestMutex_ held (enable).
    void enableWatchdog() REQUIRES(requestMutex_);
    bool checkConnection();
    void getBattery();
    // A watchdog request that failed is sent again (once per call).
    void rearmWatchdog();
    // When the unit was found by a range or a broadcast and has not answered
    // for RelayTimings::researchAfterSilence, one search pass for it; true when
    // it was found again (not enabled yet). Serialised like discovery.
    bool researchIfSilent();

    // Vital signs (clamped to what the unit accepts).
    void sendSPO2Scale(int scale);
    void sendHR_bpm(int hr);
    void sendDisableHR();
    void sendRR_brpm(int rr);
    void sendDisableRR();
    void enableSPO2Probe(bool connected);
    void sendSPO2_ratio(int ratio);
    void sendNIBP_mmHg(int systolic, int diastolic, int mean);
    void sendDisableNIBP();
    void sendT1_degC(float t);
    void sendDisableT1();
    void sendT2_degC(float t);
    void sendDisableT2();
    void sendDisableCO2();

    // Waveforms: encode every whole group at the front of `samples`, remove
    // those samples (even while not enabled) and send one line.
    void sendABP_50Hz(std::vector<float>& samples);
    void sendPAP_50Hz(std::vector<float>& samples);
    void sendCVP_25Hz(std::vector<float>& samples);
    void sendECG_100Hz(std::vector<float>& samples);
    void sendCO2_25Hz(std::vector<float>& samples);
    void sendPLETH_50Hz(std::vector<float>& samples);

    // Network configuration.
    bool enableConfigMode();
    void setEthConfig(const char* address, const char* mask, const char* gateway);
    void getEthConfig();
    bool setWifiFactoryReset();
    bool setWifiCfg(const char* ssid, const char* passPhrase);
    std::string getWifiCfg();
    std::string getWifiReport();

    // Observers, for the bridge's log and for tests.
    bool isConnected() const { return connected_; }
    bool isEnabled() const { return enabled_; }
    const std::string& serialId() const { return serialId_; }
    const std::string& unitAddress() const { return unitAddress_; }
    bool hasLink() const { return static_cast<bool>(link_); }
    bool isWatchdogArmed() const { return watchdogArmed_; }
    // Datagrams the current link dropped as not from the unit.
    std::size_t droppedDatagrams() const { return link_ ? link_->droppedDatagrams() : 0; }

    // Seam for the broadcast search: where the local host name comes from
    // (gethostname by default). Tests point it at a loopback address.
    void setHostNameSource(std::function<std::string()> source) {
        hostNameSource_ = std::move(source);
    }

  private:
    // A command line of `name` and its value text, into the open session or
    // out at once.
    void sendCommandText(const char* name, std::string_view valueText);
    // A waveform line: the whole groups of `samples` encoded (and removed)
    // and sent as sendCommand would, counted for the metrics.
    template <std::size_t N>
    void sendWaveform(const char (&name)[N], std::vector<float>& samples,
                      unit_encoding::WaveformEncoder encode);
    // Room for `size` more characters at the open session's end.
    char* sessionRoom(std::size_t size);
    // Takes the `length` characters written at the session's end as its next
    // line, starting a new datagram before it when both would not fit.
    void closeSessionLine(std::size_t length);
    // One datagram to the unit; `request` empties the reply slot first.
    void sendDatagram(const std::string& text, bool request) EXCLUDES(wireMutex_);
    bool ownsSession() const { return sessionOwner_.load() == std::this_thread::get_id(); }
    void openLink(const std::string& address,
                  UdpAdaptor::Peers peers = UdpAdaptor::Peers::UnitOnly);
    std::string localHostName() const;
    // Directed broadcast addresses of the host name's addresses (fixed
    // 255.255.0.0 mask); false when the name does not resolve.
    bool hostNameBroadcasts(std::vector<std::string>& broadcasts);
    // The WDT request; requestMutex_ held. `first`: the one of enable().
    void armWatchdog(bool first) REQUIRES(requestMutex_);
    void reportNotEnabled() REQUIRES(requestMutex_);

    enum class Search { None, Fixed, Range, Broadcast };

    RelayTimings timing_;
    // Serialises the health operations, each a request and its reply wait (or
    // several); taken before wireMutex_, never while holding it.
    psmr_sync::Mutex requestMutex_ ACQUIRED_BEFORE(wireMutex_);
    // Guards every datagram sent on link_, so that a committed session's
    // datagrams go out back to back; never held while waiting for a reply.
    psmr_sync::Mutex wireMutex_;
    // The open session: its lines in one buffer, which only grows (a line is
    // written in place, no memory cleared first), and where each datagram
    // filled so far ends. Used only by the thread that opened it
    // (sessionOwner_).
    std::vector<char> session_;
    std::size_t sessionLength_ = 0;
    std::size_t datagramStart_ = 0;  // of the datagram being filled
    std::vector<std::size_t> sessionCuts_;
    std::atomic<std::thread::id> sessionOwner_{};
    std::string serialId_;
    std::string unitAddress_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> enabled_{false};
    bool debug_ = false;
    boost::asio::io_service io_;
    std::unique_ptr<UdpAdaptor> link_;  // declared after io_: destroyed first
    // How initialize found the unit, and what to search again with.
    Search foundBy_ = Search::None;
    std::string searchSerial_, rangeStart_, rangeEnd_;
    std::atomic<bool> watchdogArmed_{false};
    // Episodes already reported once; requestMutex_ held (research: the
    // caller's serialisation).
    unsigned unansweredChecks_ GUARDED_BY(requestMutex_) = 0;
    bool silenceReported_ GUARDED_BY(requestMutex_) = false;
    bool notEnabledReported_ GUARDED_BY(requestMutex_) = false;
    bool watchdogReported_ GUARDED_BY(requestMutex_) = false;
    bool researchReported_ = false;
    std::function<std::string()> hostNameSource_;
};
