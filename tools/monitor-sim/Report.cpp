#include "Report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace kestrel::sim {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void writeRegion(std::FILE* file, const Memory& memory, const Memory::Region& region) {
    char buffer[4096];
    std::uint64_t done = 0;
    while (done < region.length) {
        std::size_t filled = 0;
        for (; filled < sizeof buffer && done < region.length; ++filled, ++done)
            buffer[filled] =
                static_cast<char>(memory.read(static_cast<std::uint32_t>(region.address + done)));
        std::fwrite(buffer, 1, filled, file);
    }
}

} // namespace

std::string writeReport(const std::string& path, const Monitor& monitor) {
    const std::string temporary = path + ".partial";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temporary.c_str(), "wb"));
    if (!file) return temporary + ": " + std::strerror(errno);
    std::FILE* out = file.get();

    std::fputs("kestrel-monitor-sim report\n", out);
    for (const auto& [name, value] : monitor.registers())
        std::fprintf(out, "register %s %08" PRIx32 "\n", name.c_str(), value);
    const Counters& counters = monitor.counters();
    const std::pair<const char*, std::uint64_t> counterLines[] = {
        {"bytes-in", counters.bytesIn},
        {"bytes-out", counters.bytesOut},
        {"binary-writes", counters.binaryWrites},
        {"binary-reads", counters.binaryReads},
        {"frames-acknowledged", counters.framesAcknowledged},
        {"frames-refused", counters.framesRefused},
        {"stray-bytes", counters.strayBytes},
        {"blocks-dropped", counters.blocksDropped},
        {"hangups", counters.hangups},
    };
    for (const auto& [name, value] : counterLines)
        std::fprintf(out, "counter %s %" PRIu64 "\n", name, value);
    const auto regions = monitor.memory().regions();
    for (const auto& region : regions)
        std::fprintf(out, "region %08" PRIx32 " %08" PRIx64 "\n", region.address, region.length);
    std::fputs("data\n", out);
    for (const auto& region : regions)
        writeRegion(out, monitor.memory(), region);

    const bool written = std::fflush(out) == 0 && !std::ferror(out);
    file.reset();
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return error;
    }
    return {};
}

} // namespace kestrel::sim
