// LoadLastConnectedIP on a last-connected-address file holding the fuzz bytes:
// only a whole dotted-decimal address may load, and a save of what loaded must
// load again unchanged.
#include <arpa/inet.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "relay/MonitorRelayAdaptor.h"

namespace {

std::string scratch;  // the file is read from the working directory

void loadAndSave(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::ofstream(MonitorRelayAdaptor::kLastConnectedFile, std::ios::binary) << text;
    MonitorRelayAdaptor::LastConnectedIP.clear();
    MonitorRelayAdaptor::LoadLastConnectedIP();
    const std::string loaded = MonitorRelayAdaptor::LastConnectedIP;
    if (loaded.empty()) {
        return;
    }
    in_addr address{};
    if (text.find('\0') != std::string::npos || inet_pton(AF_INET, text.c_str(), &address) != 1) {
        fuzzsupport::fail("loaded " + loaded + " from content that is not an address as a whole");
    }
    MonitorRelayAdaptor::SaveLastConnectedIP();
    MonitorRelayAdaptor::LastConnectedIP.clear();
    MonitorRelayAdaptor::LoadLastConnectedIP();
    if (MonitorRelayAdaptor::LastConnectedIP != loaded) {
        fuzzsupport::fail("saved " + loaded + ", loaded back [" +
                          MonitorRelayAdaptor::LastConnectedIP + "]");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceConsole();
    scratch = fuzzsupport::makeScratchDir("address");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::inDirectory(scratch, [&] { loadAndSave(data, size); });
    fuzzsupport::silenceConsole().str("");
    return 0;
}
