#pragma once

// The engine's registry records: what an application registered, the
// entries the server confirmed by their server ids, and what an update keeps
// for the next one. Guarded by the engine's registry lock.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "client/core/CSClient.h"
#include "client/core/ReceivedValue.h"

namespace com_nax {

// Server id of an entry the server has not confirmed yet.
constexpr uint32_t kUnassignedServerId = 0xFFFFF;

struct InputParameterEntry {
    std::string id;
    CSClient::ParameterType type = CSClient::PARAM_INVALID;
    int32_t rate = 0;
    uint32_t serverId = kUnassignedServerId;
    const void* tag = nullptr;  // the application's, from its InputDef
};

struct OutputParameterEntry {
    std::string id;
    CSClient::ParameterType type = CSClient::PARAM_INVALID;
    uint32_t serverId = kUnassignedServerId;
    bool hasValue = false;
    CSClient::ParameterValue value{};  // last published bytes, unchanged
    bool override = false;
};

// Registered entries by the id the server confirmed them under, hashed:
// every update record looks one up. It counts its changes, so that a
// look-up made earlier holds as long as the count stands.
template <typename Entry>
class ConfirmedIds {
  public:
    using Map = std::unordered_map<uint32_t, Entry*>;
    typename Map::iterator find(uint32_t id) { return map_.find(id); }
    typename Map::const_iterator find(uint32_t id) const { return map_.find(id); }
    typename Map::iterator end() { return map_.end(); }
    typename Map::const_iterator end() const { return map_.end(); }
    std::size_t size() const { return map_.size(); }
    std::uint64_t changes() const { return changes_; }
    void set(uint32_t id, Entry* entry) {
        map_[id] = entry;
        ++changes_;
    }
    void erase(typename Map::iterator it) {
        map_.erase(it);
        ++changes_;
    }
    void clear() {
        map_.clear();
        ++changes_;
    }

  private:
    Map map_;
    std::uint64_t changes_ = 0;
};

// The update being delivered, kept from one update to the next: the server
// repeats the same records in the same order, so neither the list nor the
// names' strings are made again, and each record's entry is looked up once.
// Used only by the thread that handles received messages (deliverValues),
// the look-ups only with the registry lock held.
struct UpdateScratch {
    // Above this, an update's lists are let go once it has been delivered.
    static constexpr std::size_t kKeptUpdateRecords = 4096;

    std::vector<CSClient::Parameter> values;
    // named[i]: the entry whose id values[i].id holds, or nullptr.
    std::vector<const InputParameterEntry*> named;
    // byRecord[r]: the server id of record r last time, and its entry (or nullptr).
    std::vector<std::pair<uint32_t, const InputParameterEntry*>> byRecord;
    std::uint64_t changes = ~std::uint64_t{0};  // of the confirmed inputs, when made

    // The lists as they stand, valid until one of them changes.
    struct View {
        const std::pair<uint32_t, const InputParameterEntry*>* byRecord;
        std::size_t records;
        CSClient::Parameter* value;
        const InputParameterEntry* const* named;
        std::size_t values;
    };
    View view() {
        return {byRecord.data(), byRecord.size(), values.data(), named.data(),
                std::min(values.size(), named.size())};
    }

    // Entries may have been removed (and freed) since: nothing is trusted.
    void forgetIfChanged(std::uint64_t now) {
        if (now != changes) {
            named.assign(named.size(), nullptr);
            byRecord.clear();
            changes = now;
        }
    }
    // values[at] (appended when `at` is the end) becomes the entry's value;
    // false for an entry of an unknown type.
    bool set(std::size_t at, const InputParameterEntry& entry, const ReceivedValue& value,
             bool override) {
        if (at == values.size()) {
            values.emplace_back();
            named.push_back(nullptr);
        }
        CSClient::Parameter& out = values[at];
        if (!valueOfType(entry.type, value, override, out)) {
            return false;
        }
        if (named[at] != &entry) {
            out.id = entry.id;
            out.tag = entry.tag;
            named[at] = &entry;
        }
        return true;
    }
    void keepFirst(std::size_t count) {
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(count), values.end());
        named.resize(count);
    }
    // A huge update must not keep its memory for ever.
    void releaseIfLarge() {
        if (byRecord.size() > kKeptUpdateRecords || values.capacity() > kKeptUpdateRecords) {
            *this = UpdateScratch();
        }
    }
};

}  // namespace com_nax
