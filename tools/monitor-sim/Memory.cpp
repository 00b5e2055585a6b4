#include "Memory.h"

#include <algorithm>
#include <iterator>

namespace kestrel::sim {

namespace {
constexpr std::uint64_t addressSpace = std::uint64_t{1} << 32;
}

void Memory::write(std::uint32_t address, const std::uint8_t* data, std::size_t length) {
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint32_t at = static_cast<std::uint32_t>(address + done);
        const std::uint32_t offset = at & (pageSize - 1);
        const std::uint64_t piece = std::min<std::uint64_t>(pageSize - offset, length - done);
        auto& page = pages_[at >> pageBits];
        if (!page) page = std::make_unique<Page>(Page{});
        std::copy_n(data + done, piece, page->begin() + offset);
        markWritten(at, at + piece);
        done += piece;
    }
}

std::uint8_t Memory::read(std::uint32_t address) const {
    const auto page = pages_.find(address >> pageBits);
    return page == pages_.end() ? 0 : (*page->second)[address & (pageSize - 1)];
}

std::vector<Memory::Region> Memory::regions() const {
    std::vector<Region> result;
    result.reserve(written_.size());
    for (const auto& [begin, end] : written_)
        result.push_back({static_cast<std::uint32_t>(begin), end - begin});
    return result;
}

void Memory::markWritten(std::uint64_t begin, std::uint64_t end) {
    auto next = written_.upper_bound(begin);
    if (next != written_.begin()) {
        const auto previous = std::prev(next);
        if (previous->second >= begin) {
            begin = previous->first;
            end = std::max(end, previous->second);
            next = written_.erase(previous);
        }
    }
    while (next != written_.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = written_.erase(next);
    }
    written_.emplace(begin, std::min(end, addressSpace));
}

} // namespace kestrel::sim
