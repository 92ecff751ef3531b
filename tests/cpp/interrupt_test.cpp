// A signal that arrives during a blocking open ends the call only when the installed check says
// so; the file layer then throws CallInterrupted and leaves no descriptor behind.
#include "errors/interrupt.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "packet/cwa_file.hpp"

namespace velmora {
namespace {

int checks = 0;

bool stop_requested() {
  ++checks;
  return true;
}

void ignore_signal(int) {}

size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(check_interrupt, retries_without_a_check_and_throws_when_the_check_stops) {
  EXPECT_NO_THROW(check_interrupt());
  checks = 0;
  {
    const InterruptCheckScope scope(stop_requested);
    EXPECT_THROW(check_interrupt(), CallInterrupted);
    EXPECT_EQ(checks, 1);
  }
  EXPECT_NO_THROW(check_interrupt());  // the scope is gone with its check
}

TEST(CwaFile, open_of_a_fifo_without_writer_ends_when_a_signal_stops_the_call) {
  const std::string fifo =
      (std::filesystem::temp_directory_path() / ("velmora-fifo-" + std::to_string(::getpid())))
          .string();
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No SA_RESTART, as with the interpreter's own handlers: the open returns EINTR.
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignore_signal;
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 100'000;
  timer.it_interval.tv_usec = 100'000;  // again, in case the first one comes too early
  ASSERT_EQ(::setitimer(ITIMER_REAL, &timer, nullptr), 0);
  const size_t before = open_descriptors();
  checks = 0;
  {
    const InterruptCheckScope scope(stop_requested);
    EXPECT_THROW((void)CwaFile::open(fifo), CallInterrupted);
  }
  timer = {};
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(checks, 1);
  EXPECT_EQ(open_descriptors(), before);
  std::remove(fifo.c_str());
}

}  // namespace
}  // namespace velmora
