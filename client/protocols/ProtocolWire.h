#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "client/core/ByteCodec.h"
#include "client/core/ReceivedValue.h"

namespace com_nax {
namespace wire {

// Byte-level helpers shared by the SIM and APP codecs. They know nothing of
// sockets or of the client engine, so every layout can be tested alone.

// The codec lives in the client core; these names keep the protocol code and
// its users reading as before.
using com_nax::bitsToFloat;
using com_nax::ByteReader;
using com_nax::Bytes;
using com_nax::ByteWriter;
using com_nax::floatBits;
using com_nax::kNameFieldSize;
using com_nax::truncateToInt32;

constexpr std::size_t kHeadSize = 12;  // message head at the start of every data payload

// Update-rate selector of an input definition to the rate word both protocols send.
std::uint32_t rateWord(std::int32_t selector);

// How many of `announced` records of `recordSize` bytes starting at `first`
// actually begin inside a payload of `payloadSize` bytes. A record cut short
// still counts (its missing fields read as zero); records wholly past the end
// are not walked, so a wild count cannot keep a receive thread busy.
std::size_t recordsPresent(std::size_t payloadSize, std::size_t first, std::size_t recordSize,
                           std::uint32_t announced);

// Where the records of a reply stand: the count word, the first record, and
// the size of one record.
struct RecordLayout {
    std::size_t countAt;
    std::size_t first;
    std::size_t recordSize;
};

// How many records of `layout` the payload holds (at most the announced count).
inline std::size_t recordCount(const ByteReader& payload, const RecordLayout& layout) {
    return recordsPresent(payload.size(), layout.first, layout.recordSize,
                          payload.u32(layout.countAt));
}

// Calls `visit(record)` for each record present, without collecting them (the
// update path runs per sample); `record` reads the record's own bytes, from its
// offset 0. A last record cut short by the end of the payload reads its
// missing fields as zero. Whole records get a reader of exactly the layout's
// size, whose checks the compiler settles once this is inlined.
template <typename Visit>
void forEachRecord(const ByteReader& payload, const RecordLayout& layout, Visit visit) {
    const std::size_t n = recordCount(payload, layout);
    if (n == 0) {
        return;
    }
    const std::size_t whole = std::min(n, (payload.size() - layout.first) / layout.recordSize);
    for (std::size_t i = 0; i < whole; ++i) {
        visit(ByteReader(payload.data() + layout.first + layout.recordSize * i, layout.recordSize));
    }
    if (whole < n) {
        visit(payload.part(layout.first + layout.recordSize * whole, layout.recordSize));
    }
}

// The records of a reply whose count word stands at `countOffset`: `read(record)`
// decodes each record that recordsPresent lets through.
template <typename Record, typename Read>
std::vector<Record> readRecords(const ByteReader& payload, std::size_t countOffset,
                                std::size_t first, std::size_t recordSize, Read read) {
    const RecordLayout layout{countOffset, first, recordSize};
    std::vector<Record> out;
    out.reserve(recordCount(payload, layout));
    forEachRecord(payload, layout, [&](const ByteReader& record) { out.push_back(read(record)); });
    return out;
}

// Registry entries made into request items by `make(entry)`, one each, in their order.
template <typename Entry, typename Make>
auto itemsOf(const std::vector<Entry*>& entries, Make make) {
    std::vector<std::decay_t<std::invoke_result_t<Make, const Entry&>>> items;
    items.reserve(entries.size());
    for (const Entry* e : entries) {
        items.push_back(make(*e));
    }
    return items;
}

// Server ids of registry entries, in their order (the unsubscription requests).
template <typename Entry>
std::vector<std::uint32_t> serverIdsOf(const std::vector<Entry*>& entries) {
    return itemsOf(entries, [](const Entry& e) -> std::uint32_t { return e.serverId; });
}

// The shape of every registration, unregistration and publish request: `head`,
// the `leading` words, the count of `items`, then each item as `write(writer, item)`
// puts it.
template <typename Item, typename Write>
Bytes listRequest(Bytes head, std::initializer_list<std::uint32_t> leading,
                  const std::vector<Item>& items, Write write) {
    ByteWriter w(head);
    for (const std::uint32_t word : leading) {
        w.u32(word);
    }
    w.u32(static_cast<std::uint32_t>(items.size()));
    for (const Item& item : items) {
        write(w, item);
    }
    return head;
}

// Head of a data payload: protocol and subprotocol bytes, the fixed marker bytes
// both servers expect, the length word left at zero and the message code.
Bytes messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code);

}  // namespace wire
}  // namespace com_nax
