#pragma once
// The console's memory as the simulator keeps it: 4 GiB of address space,
// stored in pages only where something was written, and the written ranges
// remembered so a report can list exactly what a download put there.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace kestrel::sim {

class Memory {
public:
    struct Region {
        std::uint32_t address;
        std::uint64_t length;
    };

    // Addresses wrap round at 4 GiB, as on a 32-bit bus.
    void write(std::uint32_t address, const std::uint8_t* data, std::size_t length);
    // Memory that was never written reads as 0.
    std::uint8_t read(std::uint32_t address) const;
    // The written ranges in address order, adjacent and overlapping writes merged.
    std::vector<Region> regions() const;

private:
    static constexpr std::uint32_t pageBits = 12;
    static constexpr std::uint32_t pageSize = 1u << pageBits;
    using Page = std::array<std::uint8_t, pageSize>;

    void markWritten(std::uint64_t begin, std::uint64_t end);

    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
    std::map<std::uint64_t, std::uint64_t> written_; // begin -> end (exclusive)
};

} // namespace kestrel::sim
