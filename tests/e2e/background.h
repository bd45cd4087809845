// A thread for the peer's side of a test that is joined however the test leaves its scope: a
// failure thrown by the host must reach the test report, not end the process in std::terminate.
#pragma once

#include <thread>
#include <utility>

namespace kx {

class Background {
  public:
    template <typename F> explicit Background(F &&f) : thread_(std::forward<F>(f)) {}
    ~Background() { join(); }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};

} // namespace kx
