// The descriptor owner: one close per descriptor, moves, and an open that a
// signal does not break.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "adapters/UniqueFd.h"

namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

TEST(UniqueFd, ClosesOnceAndFollowsMoves) {
    const int before = testsupport::CountOpenFds();
    {
        UniqueFd first = UniqueFd::Open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(first.valid());
        const int fd = first.get();
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), fd);
        UniqueFd third;
        third = std::move(second);
        EXPECT_EQ(third.get(), fd);
        third = UniqueFd::Open("/dev/zero", O_RDONLY | O_CLOEXEC);  // the first one closes
        EXPECT_FALSE(IsOpen(fd));
        const int kept = third.release();
        EXPECT_FALSE(third.valid());
        EXPECT_TRUE(IsOpen(kept));
        ::close(kept);
    }
    EXPECT_EQ(testsupport::CountOpenFds(), before);
    errno = 0;
    EXPECT_FALSE(UniqueFd::Open("/no/such/vmdetect/file", O_RDONLY).valid());
    EXPECT_EQ(errno, ENOENT);
}

std::atomic<int> g_interruptions{0};
void CountInterruption(int) { ++g_interruptions; }

TEST(UniqueFd, OpenInterruptedBySignalsGoesOn) {
    // Opening a FIFO for reading waits for a writer; signals without
    // SA_RESTART interrupt that wait many times before the writer comes.
    testsupport::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction action {}, old {};
    action.sa_handler = CountInterruption;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
    g_interruptions = 0;
    std::atomic<bool> opened{false};
    int openedFd = -1;
    std::thread reader([&] {
        UniqueFd fd = UniqueFd::Open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        openedFd = fd.get();
        opened = true;
    });
    const pthread_t handle = reader.native_handle();
    for (int i = 0; i < 20 && !opened; ++i) {
        ::pthread_kill(handle, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Non-blocking, so that a reader that gave up cannot hang the test.
    UniqueFd writer;
    for (int i = 0; i < 500 && !opened && !writer.valid(); ++i) {
        writer = UniqueFd::Open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(openedFd, 0);
    EXPECT_GT(g_interruptions.load(), 0);
}

}  // namespace
