// The floor for the frame-overhead figure: the binary-write conversation and
// nothing else. Blocking reads and writes on the raw device, one write per
// frame, the same acknowledgements awaited; no event loop, no progress, no
// time-outs.
//
//   kestrel-bench-sender DEVICE FILE ADDRESS
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::size_t frameData = 2048;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "kestrel-bench-sender: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("write");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Reads until `expected` has arrived; what came before it is dropped.
void awaitText(int fd, std::string_view expected) {
    std::string seen;
    char buffer[256];
    while (seen.find(expected) == std::string::npos) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("read");
        seen.append(buffer, static_cast<std::size_t>(n));
    }
}

void putBigEndian(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: kestrel-bench-sender DEVICE FILE ADDRESS\n", stderr);
        return 2;
    }
    const int line = ::open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line < 0) die(argv[1]);
    termios raw{};
    if (tcgetattr(line, &raw) == 0) {
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(line, TCSANOW, &raw);
    }
    const int file = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0) die(argv[2]);
    const auto length = static_cast<std::uint32_t>(info.st_size);
    const auto address = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 16));

    writeAll(line, reinterpret_cast<const std::uint8_t*>("bwr\r"), 4);
    awaitText(line, "bwr\r\nbinary");
    std::uint8_t header[9] = {0x01};
    putBigEndian(header + 1, address);
    putBigEndian(header + 5, length);
    writeAll(line, header, sizeof header);

    std::uint8_t frame[1 + frameData + 1];
    for (std::uint32_t sent = 0; sent < length;) {
        const ssize_t n = ::read(file, frame + 1, std::min<std::size_t>(frameData, length - sent));
        if (n <= 0) die("read file");
        sent += static_cast<std::uint32_t>(n);
        std::memset(frame + 1 + n, ' ', frameData - static_cast<std::size_t>(n));
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i <= frameData; ++i)
            sum = static_cast<std::uint8_t>(sum + frame[i]);
        frame[0] = 0x02;
        frame[1 + frameData] = sum;
        writeAll(line, frame, sizeof frame);
        awaitText(line, "Y");
    }
    const std::uint8_t end = 0x03;
    writeAll(line, &end, 1);
    awaitText(line, "end binary");
    return 0;
}
