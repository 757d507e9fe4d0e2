#include "emulators/relay_unit/ControlCommands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace relayunit {

namespace {

const char* const kHelp =
    "commands: silent [SECONDS] | talk | forget | reply-loss FRACTION | drop-replies NAME N |\n"
    "          delay-replies NAME N MS | delay MS | split on|off | status | help";

bool parseCount(const std::string& text, long& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && out <= 1000000000L;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();  // "ENABLE:" has an empty count, not none
    }
    return parts;
}

std::optional<ReplyFault> faultFrom(const std::vector<std::string>& parts, bool withDelay) {
    if (parts.size() != (withDelay ? 3u : 2u) || parts[0].empty()) {
        return std::nullopt;
    }
    long count = 0;
    long ms = 0;
    if (!parseCount(parts[1], count) || (withDelay && !parseCount(parts[2], ms))) {
        return std::nullopt;
    }
    return ReplyFault{parts[0], static_cast<int>(count), std::chrono::milliseconds(ms)};
}

}  // namespace

std::optional<ReplyFault> parseReplyFault(const std::string& text, bool withDelay) {
    return faultFrom(split(text, ':'), withDelay);
}

std::optional<double> parseFraction(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0.0 && value <= 1.0)) {  // also refuses NaN
        return std::nullopt;
    }
    return value;
}

bool runControlCommand(RelayUnitEmulator& unit, const std::string& line, std::ostream& out) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    if (words.empty() || words[0][0] == '#') {
        return true;
    }
    const std::string& command = words[0];
    // "drop-replies ENABLE:1" reads as well as "drop-replies ENABLE 1".
    std::vector<std::string> args(words.begin() + 1, words.end());
    if (args.size() == 1 && (command == "drop-replies" || command == "delay-replies")) {
        args = split(args[0], ':');
    }
    long number = 0;
    if (command == "silent" && args.empty()) {
        unit.setSilent(true);
        out << "silent until 'talk'\n";
    } else if (command == "silent" && args.size() == 1 && parseCount(args[0], number)) {
        unit.setSilent(false);
        if (number > 0) {
            unit.silenceFor(std::chrono::seconds(number));
        }
        out << "silent for " << number << " s\n";
    } else if (command == "talk" && args.empty()) {
        unit.setSilent(false);
        out << "answering again\n";
    } else if (command == "forget" && args.empty()) {
        unit.dropAssociation();
        out << "association dropped\n";
    } else if (command == "reply-loss" && args.size() == 1 && parseFraction(args[0])) {
        unit.setReplyLoss(*parseFraction(args[0]));
        out << "reply loss " << *parseFraction(args[0]) << "\n";
    } else if (command == "drop-replies" && faultFrom(args, false)) {
        const auto fault = *faultFrom(args, false);
        unit.dropReplies(fault.name, fault.count);
        out << "dropping the replies to the next " << fault.count << " " << fault.name << "\n";
    } else if (command == "delay-replies" && faultFrom(args, true)) {
        const auto fault = *faultFrom(args, true);
        unit.delayReplies(fault.name, fault.count, fault.delay);
        out << "delaying the replies to the next " << fault.count << " " << fault.name << " by "
            << fault.delay.count() << " ms\n";
    } else if (command == "delay" && args.size() == 1 && parseCount(args[0], number)) {
        unit.setReplyDelay(std::chrono::milliseconds(number));
        out << "every reply " << number << " ms late\n";
    } else if (command == "split" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
        unit.setSplitReplies(args[0] == "on");
        out << "split replies " << args[0] << "\n";
    } else if (command == "status" && args.empty()) {
        const auto yesNo = [](bool b) { return b ? "yes" : "no"; };
        out << "associated " << yesNo(unit.associated()) << ", enabled " << yesNo(unit.enabled())
            << ", watchdog " << yesNo(unit.watchdogArmed()) << ", dropped replies "
            << unit.droppedReplies() << "\n";
    } else if (command == "help" && args.empty()) {
        out << kHelp << "\n";
    } else {
        out << "not understood: " << line << "\n" << kHelp << "\n";
        return false;
    }
    return true;
}

}  // namespace relayunit
