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
        const int fd = first.get();
        UniqueFd moved(std::move(first)), assigned;
        assigned = std::move(moved);
        EXPECT_TRUE(!first.valid() && !moved.valid() && assigned.get() == fd);
        assigned = UniqueFd::Open("/dev/zero", O_RDONLY | O_CLOEXEC);  // the first one closes
        EXPECT_FALSE(IsOpen(fd));
        const int kept = assigned.release();
        EXPECT_TRUE(!assigned.valid() && IsOpen(kept));
        ::close(kept);
    }
    EXPECT_EQ(testsupport::CountOpenFds(), before);
    errno = 0;
    EXPECT_FALSE(UniqueFd::Open("/no/such/vmdetect/file", O_RDONLY).valid());
    EXPECT_EQ(errno, ENOENT);
}

std::atomic<int> g_interruptions{0};

TEST(UniqueFd, OpenInterruptedBySignalsGoesOn) {
    // A FIFO's read end waits for a writer; signals without SA_RESTART
    // interrupt that wait many times before the writer comes.
    testsupport::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction action {}, old {};
    action.sa_handler = [](int) { ++g_interruptions; };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
    g_interruptions = 0;
    std::atomic<int> opened{-2};  // -2: still waiting
    std::thread reader([&] { opened = UniqueFd::Open(fifo.c_str(), O_RDONLY | O_CLOEXEC).get(); });
    for (int i = 0; i < 20 && opened == -2; ++i) {
        ::pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    UniqueFd writer;  // non-blocking, so that a reader that gave up cannot hang the test
    for (int i = 0; i < 500 && opened == -2 && !writer.valid(); ++i) {
        writer = UniqueFd::Open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(opened.load(), 0);
    EXPECT_GT(g_interruptions.load(), 0);
}

}  // namespace
