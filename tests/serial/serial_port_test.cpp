// The serial port on POSIX against a pseudo-terminal pair whose master end
// the test holds, as an instrument would.
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "fake_platform.h"
#include "serial/serial_port.h"

namespace {

class PortOnAPty : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset_platform();
        char name[64];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        ::setenv("KELO_COM3", name, 1);
        ASSERT_EQ(port_.open(3, 38400), 1);
        int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    }
    void TearDown() override {
        port_.close();
        if (master_ >= 0) ::close(master_);
        ::close(slave_);
        ::unsetenv("KELO_COM3");
    }
    // What the instrument's end received within timeout_ms, up to count bytes.
    std::string take(std::size_t count, int timeout_ms = 2000) {
        std::string got;
        char buffer[4096];
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) break;
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    void answer(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the port counts count bytes of input.
    bool counted(int32_t count) {
        for (int i = 0; i < 200 && port_.input_count() < count; ++i) usleep(5000);
        return port_.input_count() == count;
    }

    SerialPort port_;
    int master_ = -1;
    int slave_ = -1;
};

TEST_F(PortOnAPty, BytesPassWholeAndInOrder) {
    std::string all;
    for (int round = 0; round < 4; ++round)
        for (int value = 0; value < 256; ++value) all.push_back(static_cast<char>(value));
    EXPECT_EQ(port_.write_bytes(all.data(), static_cast<int32_t>(all.size())), 1024);
    EXPECT_EQ(take(all.size()), all);
    EXPECT_EQ(port_.write_bytes("x", 0), 0);
}

// The instrument's cable wants DTR off and RTS on. A pty has no modem
// lines, so the port's requests are seen where it makes them.
TEST_F(PortOnAPty, OpenLeavesDtrOffAndRtsOn) {
    int dtr = -1;
    int rts = -1;
    for (const fake::ModemRequest& request : fake::platform.modem_requests)
        (request.line == modem_dtr ? dtr : rts) = request.on;
    EXPECT_EQ(dtr, 0);
    EXPECT_EQ(rts, 1);
}

// The bytes read ahead are the head of the input queue: counted, served
// first, in order with what arrives later; an empty queue is "nothing
// waiting", not a hang-up.
TEST_F(PortOnAPty, ReadAheadIsPartOfTheInputQueue) {
    char buffer[8] = {};
    EXPECT_EQ(port_.read_available(buffer, 1), receive_nothing);
    EXPECT_FALSE(port_.is_lost());
    answer("ABC");
    ASSERT_TRUE(counted(3));
    ASSERT_EQ(port_.read_available(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(port_.input_count(), 2);
    answer("D");
    ASSERT_TRUE(counted(3));
    ASSERT_EQ(port_.read_available(buffer, 8), 2);
    EXPECT_EQ(std::string(buffer, 2), "BC");
    ASSERT_EQ(port_.read_available(buffer, 8), 1);
    EXPECT_EQ(buffer[0], 'D');
    EXPECT_EQ(port_.read_available(buffer, 8), receive_nothing);
    EXPECT_EQ(port_.input_count(), 0);
    // Closing drops what was read ahead.
    answer("E");
    ASSERT_TRUE(counted(1));
    port_.close();
    EXPECT_EQ(port_.input_count(), 0);
    EXPECT_EQ(port_.read_available(buffer, 8), 0);
}

// A line that stops taking bytes costs one second without progress, then
// the rest of the transmission is dropped; the port stays usable.
TEST_F(PortOnAPty, AWriteTheLineStopsTakingGivesUpAfterASecondWithoutProgress) {
    std::string big(1 << 20, 'w');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port_.write_bytes(big.data(), static_cast<int32_t>(big.size())), 1 << 20);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 10.0);
    EXPECT_FALSE(port_.is_lost());
    std::string got = take(big.size(), 200);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(port_.write_bytes("ok", 2), 2);
    EXPECT_EQ(take(2), "ok");
}

// The far end gone: writes, counts and reads say so; what arrived before
// the loss is still served first.
TEST_F(PortOnAPty, AHangUpIsALostPortAfterWhatCameBefore) {
    answer("Z");
    ASSERT_TRUE(counted(1));
    char buffer[4];
    ASSERT_EQ(port_.read_available(buffer, 1), 1);
    ::close(master_);
    master_ = -1;
    EXPECT_EQ(port_.read_available(buffer, 1), receive_lost);
    EXPECT_TRUE(port_.is_lost());
    EXPECT_EQ(port_.input_count(), 0);
    EXPECT_EQ(port_.write_bytes("abc", 3), 3);
}

// A UUCP lock file names its process in ASCII or, from old tools, as a
// 4-byte number; only a live process holds the port (one of another user
// too: pid 1).
TEST(LockFile, HolderIsTheLiveProcessItNames) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    int32_t self = getpid();
    const std::pair<std::string, int32_t> rows[] = {
        {"      " + std::to_string(self) + "\n", self},
        {std::to_string(self), self},
        {std::string(reinterpret_cast<char*>(&self), 4), self},
        {"1\n", 1},
        {std::to_string(dead) + "\n", 0},
        {"", 0},
        {"0\n", 0},
        {"12x4\n", 0},
        {"\n", 0},
        {"99999999999\n", 0},
        {"-" + std::to_string(self) + "\n", 0}};
    for (const auto& [bytes, holder] : rows)
        EXPECT_EQ(lock_file_holder(bytes.data(), static_cast<int32_t>(bytes.size())), holder)
            << bytes;
}

} // namespace
