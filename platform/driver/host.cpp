/*
 * The host calls both drivers share (see driver.h): starting a program and
 * waiting for it, the environment, sockets, the clock, and the wake-up of
 * a loop that also waits for terminal input (an eventfd polled together
 * with the input descriptor).
 */
#include "driver/host.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tovix {

namespace {

class EventWakeUp : public WakeUp {
  public:
    EventWakeUp() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~EventWakeUp() override {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void Signal() override {
        uint64_t one = 1;
        ssize_t n = write(fd_, &one, sizeof(one));
        (void)n;
    }
    int Wait(int inputFd, int timeoutMs) override {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {inputFd, POLLIN, 0}};
        int count = inputFd >= 0 ? 2 : 1;
        if (poll(fds, count, timeoutMs) <= 0) {
            return 0;
        }
        int what = 0;
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            ssize_t n = read(fd_, &value, sizeof(value));
            (void)n;
            what |= kWoken;
        }
        if (count == 2 && fds[1].revents) {
            what |= kInput;
        }
        return what ? what : kWoken;
    }

  private:
    int fd_;
};

} // namespace

namespace host {

std::unique_ptr<WakeUp> MakeEventWakeUp() {
    return std::unique_ptr<WakeUp>(new EventWakeUp());
}

int RunProgram(const std::vector<std::string>& args) {
    if (args.empty()) {
        return -1;
    }
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

const char* GetEnvironment(const char* name) {
    return std::getenv(name);
}

int OpenSocket(int family, int type, int protocol) {
    return socket(family, type | SOCK_CLOEXEC, protocol);
}

Clock::time_point Now() {
    return Clock::now();
}

} // namespace host

std::string SocketAddressText(const void* address) {
    const sockaddr* a = static_cast<const sockaddr*>(address);
    char text[INET6_ADDRSTRLEN] = "";
    if (a->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof(text));
    } else if (a->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text,
                  sizeof(text));
    }
    return text;
}

} // namespace tovix
