// The text exposition: one family per figure, HELP and TYPE first, base units
// (seconds, bytes) in the names.
#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "metrics/Metrics.h"

#ifndef PSMR_VERSION
#define PSMR_VERSION "unknown"
#endif

namespace psmr_metrics {

namespace {

class Writer {
  public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const char* name, double value) { out_ << name << ' ' << number(value) << '\n'; }
    void sample(const char* name, const char* label, const std::string& labelValue, double value) {
        out_ << name << '{' << label << "=\"" << escapeLabel(labelValue) << "\"} " << number(value)
             << '\n';
    }
    template <std::size_t N>
    void labelled(const char* name, const char* label, const std::array<const char*, N>& names,
                  const std::array<Counter, N>& values) {
        for (std::size_t i = 0; i < N; ++i) {
            sample(name, label, names[i], static_cast<double>(values[i].load()));
        }
    }
    std::ostringstream& raw() { return out_; }
    std::string text() const { return out_.str(); }

  private:
    static std::string number(double v) {
        if (std::isnan(v)) {
            return "NaN";
        }
        char text[32];
        // Integral values (counters) print whole, up to 2^53.
        if (v == std::floor(v) && std::fabs(v) < 9.0e15) {
            std::snprintf(text, sizeof text, "%.0f", v);
        } else {
            std::snprintf(text, sizeof text, "%.9g", v);
        }
        return text;
    }
    std::ostringstream out_;
};

// The process's own figures from /proc/self; -1 where a file cannot be read.
struct ProcessFigures {
    double residentBytes = -1;
    double threads = -1;
    double openDescriptors = -1;
    double cpuSeconds = -1;
};

ProcessFigures processFigures() {
    ProcessFigures f;
    const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    {
        std::ifstream statm("/proc/self/statm");
        unsigned long long size = 0;
        unsigned long long resident = 0;
        if (statm >> size >> resident) {
            f.residentBytes = static_cast<double>(resident) * page;
        }
    }
    {
        std::ifstream stat("/proc/self/stat");
        std::string line;
        std::getline(stat, line);
        // The command name may hold spaces and parentheses: fields count from the last ')'.
        const std::size_t close = line.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(line.substr(close + 2));
            std::string field;
            // Field 3 (state) is the first here; utime is 14, stime 15, num_threads 20.
            for (int n = 3; fields >> field; ++n) {
                if (n == 14) {
                    f.cpuSeconds = std::stod(field) / ticks;
                } else if (n == 15) {
                    f.cpuSeconds += std::stod(field) / ticks;
                } else if (n == 20) {
                    f.threads = std::stod(field);
                    break;
                }
            }
        }
    }
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        int count = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
        f.openDescriptors = count - 1;  // not the directory's own descriptor
    }
    return f;
}

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string Registry::exposition() const {
    Writer w;
    w.family("psmr_build_info", "gauge", "The bridge's version; always 1.");
    w.sample("psmr_build_info", "version", PSMR_VERSION, 1);

    w.family("psmr_unit_found", "gauge", "1 while a MonitorRelay unit has been found.");
    w.sample("psmr_unit_found", unitFound_.load() ? 1 : 0);
    w.family("psmr_unit_enabled", "gauge", "1 while the unit is enabled (associated).");
    w.sample("psmr_unit_enabled", unitEnabled_.load() ? 1 : 0);
    w.family("psmr_unit_last_reply_age_seconds", "gauge",
             "Seconds since the unit last replied; NaN before its first reply.");
    const std::int64_t last = lastReplyNs_.load();
    w.sample("psmr_unit_last_reply_age_seconds",
             last < 0 ? std::nan("") : static_cast<double>(steadyNs() - last) / 1e9);
    {
        w.family("psmr_unit_info", "gauge", "The unit found: its serial and address; always 1.");
        psmr_sync::LockGuard lock(infoMutex_);
        if (unitFound_.load()) {
            w.raw() << "psmr_unit_info{serial=\"" << escapeLabel(unitSerial_) << "\",address=\""
                    << escapeLabel(unitAddress_) << "\"} 1\n";
        }
    }
    w.family("psmr_health_checks_total", "counter", "Health checks of the unit, by result.");
    w.labelled("psmr_health_checks_total", "result", kHealthResults, healthChecks_);
    w.family("psmr_unit_rebuilds_total", "counter", "Bridges rebuilt after the unit was given up.");
    w.sample("psmr_unit_rebuilds_total", static_cast<double>(rebuilds_.load()));
    w.family("psmr_foreign_datagrams_total", "counter",
             "Datagrams from other senders than the unit, dropped.");
    w.sample("psmr_foreign_datagrams_total", static_cast<double>(foreignDatagrams_.load()));

    w.family("psmr_server_connected", "gauge", "1 while the connection to the server is ready.");
    for (std::size_t i = 0; i < kProtocols.size(); ++i) {
        w.sample("psmr_server_connected", "protocol", kProtocols[i],
                 serverConnected_[i].load() ? 1 : 0);
    }
    w.family("psmr_server_connects_total", "counter", "Connections to the server made ready.");
    w.labelled("psmr_server_connects_total", "protocol", kProtocols, connects_);
    w.family("psmr_server_frames_total", "counter", "Update frames received from the server.");
    w.labelled("psmr_server_frames_total", "protocol", kProtocols, frames_);

    w.family("psmr_simulation_running", "gauge", "1 while the simulation runs.");
    w.sample("psmr_simulation_running", simulationRunning_.load() ? 1 : 0);
    w.family("psmr_calibrating", "gauge", "1 while a calibration is in progress.");
    w.sample("psmr_calibrating", calibrating_.load() ? 1 : 0);

    w.family("psmr_waveform_values_total", "counter", "Waveform values sent to the unit.");
    w.labelled("psmr_waveform_values_total", "waveform", kWaveforms, waveformValues_);
    w.family("psmr_waveform_values_dropped_total", "counter",
             "Waveform values pushed out of a full list before they could be sent.");
    w.labelled("psmr_waveform_values_dropped_total", "waveform", kWaveforms, waveformDropped_);
    w.family("psmr_blocks_total", "counter", "Blocks forwarded to the unit.");
    w.sample("psmr_blocks_total", static_cast<double>(blocks_.load()));
    w.family("psmr_datagrams_total", "counter", "Datagrams sent to the unit.");
    w.sample("psmr_datagrams_total", static_cast<double>(datagrams_.load()));
    w.family("psmr_numerics_total", "counter", "Numeric values sent to the unit.");
    const std::size_t numerics = numericCount_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < numerics; ++i) {
        w.sample("psmr_numerics_total", "numeric", numericNames_[i].load(std::memory_order_relaxed),
                 static_cast<double>(numerics_[i].load()));
    }

    const ProcessFigures p = processFigures();
    w.family("psmr_process_resident_memory_bytes", "gauge", "Resident memory of the bridge.");
    w.sample("psmr_process_resident_memory_bytes", p.residentBytes);
    w.family("psmr_process_threads", "gauge", "Threads of the bridge.");
    w.sample("psmr_process_threads", p.threads);
    w.family("psmr_process_open_fds", "gauge", "Open file descriptors of the bridge.");
    w.sample("psmr_process_open_fds", p.openDescriptors);
    w.family("psmr_process_cpu_seconds_total", "counter", "CPU time of the bridge (user+system).");
    w.sample("psmr_process_cpu_seconds_total", p.cpuSeconds);
    return w.text();
}

}  // namespace psmr_metrics
